#!/bin/sh
# Drives one day of the Debian package under the container's own systemd
# and logind, and writes one line per check into the results file. Started
# at boot by reboot-guard-check.service in the throwaway container that
# boot_test.sh makes; it refuses to run anywhere else, as it installs a
# package and asks logind for a restart.
set -u
dir=/reboot-guard-check
results=$dir/results
timer=reboot-guard.timer service=reboot-guard.service
marker=/var/lib/reboot-guard/rebooted.txt

if [ "$(systemd-detect-virt --container)" != systemd-nspawn ] ||
	[ ! -e /run/systemd/container ]; then
	echo "FAIL not in the test container" >"$results"
	exit 0
fi
# HOUR_1_TZ, HOUR_15_TZ: time zones in which it is now hh:30; REPOSITORY:
# where the APT repositories are served, on the stable release alone.
REPOSITORY=
. "$dir/env"
: >"$results"

# check NAME COMMAND...: records whether COMMAND succeeds.
check() {
	name=$1
	shift
	if "$@" >/dev/null 2>&1; then echo "ok $name"; else echo "FAIL $name"; fi >>"$results"
}
is() { [ "$(systemctl "$1" "$2" 2>/dev/null)" = "$3" ]; }
scheduled() {
	busctl get-property org.freedesktop.login1 /org/freedesktop/login1 \
		org.freedesktop.login1.Manager ScheduledShutdown | grep -q "^(st) \"$1\" "
}
requests() {
	[ "$(journalctl -q -u "$service" -o cat | grep -c 'going to create file')" = "$1" ]
}
# failed PATTERN: the service's errors in the journal hold a line that
# matches PATTERN, within a few seconds.
failed() {
	for _ in 1 2 3 4 5; do
		journalctl -q -u "$service" -p err -o cat | grep -q "$1" && return 0
		sleep 1
	done
	return 1
}
# at_hour TZ: every later run of the service sees that local time.
at_hour() {
	mkdir -p "/etc/systemd/system/$service.d"
	printf '[Service]\nEnvironment=TZ=%s\n' "$1" >"/etc/systemd/system/$service.d/hour.conf"
	systemctl daemon-reload
}
# More than five starts in ten seconds would hit the start limit.
runs() { systemctl reset-failed "$service"; systemctl start "$service"; }
gone() { [ ! -e "$1" ] && [ ! -L "$1" ]; }
marked() { [ "$(cat "$marker")" = Rebooted ]; }
runs_and_marks() { runs && marked; }
runs_and_clears() { runs && gone "$marker"; }
# refused: the run fails, and its status is 1.
refused() { ! runs && [ "$(systemctl show -P ExecMainStatus "$service")" = 1 ]; }

# serve NAME: the repository NAME is what the loopback's web server has,
# published later than the last one, as a new release is: apt must not
# take it for the files it already has, or a part of them.
published=$(date +%s)
serve() {
	rm -rf "$dir/www/"*
	cp -r "$dir/$1/." "$dir/www/"
	published=$((published + 60))
	find "$dir/www" -exec touch -d "@$published" {} +
	# busybox's server answers a range request whatever its If-Range says:
	# what apt kept of a refused file must not be resumed from another.
	rm -rf /var/lib/apt/lists/partial/* /var/cache/apt/archives/partial/*
	apt_log=$dir/apt-$1.log
}
apt_log=$dir/apt.log
apt_does() { DEBIAN_FRONTEND=noninteractive apt-get -q -y "$@" >>"$apt_log" 2>&1; }
version() { [ "$(dpkg-query -W -f '${Version}' reboot-guard)" = "$1" ]; }
upgrades() { apt_does update && apt_does upgrade; }
# refuses NAME WHY: what apt does with the repository NAME leaves the
# installed version as it was, and apt said WHY.
refuses() { serve "$1"; upgrades; version "$current" && grep -q "$2" "$apt_log"; }
current=$(dpkg-deb -f "$dir/reboot-guard.deb" Version)
next=$(dpkg-deb -f "$dir/reboot-guard-next.deb" Version)

# The .deb: one day, an upgrade, a removal and a reinstall, a purge. On
# the stable release it comes from the repository, as an administrator
# sets it up: the key, the sources file as the release writes it, apt.
if [ -n "$REPOSITORY" ]; then
	mkdir -p "$dir/www" /etc/apt/keyrings
	busybox httpd -p 127.0.0.1:8080 -h "$dir/www"
	serve repo
	busybox wget -q -O /etc/apt/keyrings/reboot-guard.gpg "$REPOSITORY/reboot-guard.gpg"
	busybox wget -q -O /etc/apt/sources.list.d/reboot-guard.sources \
		"$REPOSITORY/reboot-guard.sources"
	# Debian's own mirror is out of reach here.
	rm -f /etc/apt/sources.list /etc/apt/sources.list.d/debian.sources
	check "apt-get update reads the signed repository" apt_does update
	check "apt-get install reboot-guard installs it" apt_does install reboot-guard
else
	dpkg -i "$dir/reboot-guard.deb" >/dev/null
fi
check "install leaves the timer disabled" is is-enabled "$timer" disabled
check "install leaves the timer inactive" is is-active "$timer" inactive
# Before the timer starts, so that no run of it sees the real hour.
at_hour "$HOUR_1_TZ"
systemctl enable --now "$timer"
check "enable --now makes the timer active" is is-active "$timer" active
check "the run in hour 1 succeeds" runs
check "the marker holds Rebooted" marked
check "logind has the restart scheduled" scheduled reboot
shutdown -c
check "shutdown -c cancels it" scheduled ""
check "a second run in hour 1 succeeds" runs
check "the second run schedules nothing" scheduled ""
check "one restart was requested in all" requests 1
if [ -n "$REPOSITORY" ]; then
	check "apt refuses a release signed by another key" refuses repo-other-key 'Missing key'
	check "apt refuses an index changed after signing" refuses repo-edited-index 'Failed to fetch .*/binary-amd64/'
	check "apt refuses a package swapped in the pool" refuses repo-swapped-package 'Failed to fetch .*/pool/'
	serve repo-next
	check "apt-get upgrade takes the next version" upgrades
	check "and installs it" version "$next"
else
	dpkg -i "$dir/reboot-guard-next.deb" >/dev/null
fi
check "an upgrade keeps the timer enabled" is is-enabled "$timer" enabled
check "an upgrade keeps the timer active" is is-active "$timer" active
check "an upgrade keeps the marker" marked
at_hour "$HOUR_15_TZ"
check "the run in hour 15 succeeds" runs
check "hour 15 clears the marker" gone "$marker"
# A marker the run cannot clear: the journal files the failure as an
# error, on a line of its own.
mkdir -p "$marker/kept"
runs 2>/dev/null
check "a failed clearing is an error in the journal, on its own line" \
	failed '^reboot_guard: rebooted.txt: Directory not empty; the marker stays'
rm -rf "$marker"
# From systemd 257 on, logind refuses a restart that a block inhibitor
# lock forbids, even to root (a backup, firmware being written): the run
# says so, keeps the marker and skips the night; the next night restarts.
if [ "$(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')" -ge 257 ]; then
	systemd-run --quiet --unit=backup-lock systemd-inhibit --what=shutdown \
		--mode=block --who=backup --why="writing the backup" sleep infinity
	for _ in 1 2 3 4 5; do
		systemd-inhibit --list --no-legend | grep -q backup && break
		sleep 1
	done
	at_hour "$HOUR_1_TZ"
	check "with a block lock held, the run in hour 1 exits 1" refused
	check "its failure is an error in the journal, on its own line" \
		failed '^reboot_guard: shutdown -r +5: exit status 1; rebooted.txt stays, so this hour will not retry$'
	check "the lock leaves nothing scheduled" scheduled ""
	check "the refused request leaves the marker" marked
	check "a second run in that hour succeeds" runs
	check "and requests nothing" requests 2
	systemctl stop backup-lock
	at_hour "$HOUR_15_TZ"
	check "with the lock gone, hour 15 clears the marker" runs_and_clears
	at_hour "$HOUR_1_TZ"
	check "and the next hour 1 restarts" runs_and_marks
	check "logind has that restart scheduled" scheduled reboot
	shutdown -c
fi
dpkg -r reboot-guard >/dev/null
check "dpkg -r stops the timer" is is-active "$timer" inactive
check "dpkg -r masks the timer" [ "$(readlink "/etc/systemd/system/$timer")" = /dev/null ]
dpkg -i "$dir/reboot-guard-next.deb" >/dev/null
check "a reinstall after dpkg -r enables the timer again" is is-enabled "$timer" enabled
check "and starts it" is is-active "$timer" active
dpkg -P reboot-guard >/dev/null
check "dpkg -P forgets the enablement" gone "/etc/systemd/system/timers.target.wants/$timer"
check "dpkg -P leaves no mask" gone "/etc/systemd/system/$timer"
check "dpkg -P removes /var/lib/reboot-guard" gone /var/lib/reboot-guard
dpkg -i "$dir/reboot-guard.deb" >/dev/null
check "a reinstall after dpkg -P leaves the timer disabled" is is-enabled "$timer" disabled
check "a reinstall after dpkg -P leaves the timer inactive" is is-active "$timer" inactive
dpkg -P reboot-guard >/dev/null

# The RPM, with its scriptlets run by Debian's rpm: install, a run,
# an upgrade and an erase. Its requirements are for an RPM host's
# database, which has none of Debian's packages.
# Debian's rpm before 4.20 installs nothing without --force-debian.
rpm_force=
! rpm --force-debian --version >/dev/null 2>&1 || rpm_force=--force-debian
rpm_do() { rpm $rpm_force --nodeps "$@" >/dev/null 2>&1; }
rpm_do -i "$dir/reboot-guard.rpm"
check "rpm -i leaves the timer disabled" is is-enabled "$timer" disabled
check "rpm -i leaves the timer inactive" is is-active "$timer" inactive
at_hour "$HOUR_1_TZ"
systemctl enable --now "$timer"
check "the RPM's run in hour 1 makes the marker" runs_and_marks
shutdown -c
rpm_do -U "$dir/reboot-guard-next.rpm"
check "rpm -U keeps the timer enabled" is is-enabled "$timer" enabled
check "rpm -U keeps the timer active" is is-active "$timer" active
check "rpm -U keeps the marker" marked
rpm_do -e reboot-guard
check "rpm -e stops the timer" is is-active "$timer" inactive
check "rpm -e disables it" gone "/etc/systemd/system/timers.target.wants/$timer"
check "rpm -e removes /var/lib/reboot-guard" gone /var/lib/reboot-guard
echo done >>"$results"
