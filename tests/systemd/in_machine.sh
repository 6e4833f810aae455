#!/bin/sh
# Drives the Debian package under the machine's own systemd and logind, and
# writes one line per check into a results file for each power-on. Started
# at every boot by reboot-guard-check.service in the throwaway virtual
# machine that boot_test.sh makes, which names the power-on's step on the
# kernel's command line (reboot_guard_check=N-STEP). It refuses to run
# anywhere else, as it installs a package and lets the machine restart.
#
# Steps: packages (install, upgrade, removal, the repository, the journal
# levels, at hours chosen through TZ); and, on the machine's own clock
# started by the power-on at the hour it is about: night, day, inhibit,
# cut and after-cut.
set -u
dir=/reboot-guard-check
timer=reboot-guard.timer service=reboot-guard.service
marker=/var/lib/reboot-guard/rebooted.txt

step=$(sed -n 's/.*reboot_guard_check=\([^ ]*\).*/\1/p' /proc/cmdline)
[ -n "$step" ] && [ "$(systemd-detect-virt --vm)" != none ] || {
	echo "not in the test machine" >&2
	exit 1
}
results=$dir/results-$step
# HOUR_1_TZ, HOUR_15_TZ: time zones in which it is now hh:30; REPOSITORY:
# where the APT repositories are served, on the stable release alone.
REPOSITORY=
. "$dir/env"
# Which boot of this power-on this is.
echo boot >>"$dir/boots-$step"
boot=$(wc -l <"$dir/boots-$step")
echo "reboot-guard-check: $step, boot $boot"

# check NAME COMMAND...: records whether COMMAND succeeds.
check() {
	name=$1
	shift
	if said=$("$@" 2>&1); then
		echo "ok $name"
	else
		echo "FAIL $name${said:+: $(echo "$said" | tail -n 3 | paste -sd ' ' -)}"
	fi | tee -a "$results"
}
is() { [ "$(systemctl "$1" "$2" 2>/dev/null)" = "$3" ]; }
scheduled() {
	busctl get-property org.freedesktop.login1 /org/freedesktop/login1 \
		org.freedesktop.login1.Manager ScheduledShutdown | grep -q "^(st) \"$1\" "
}
# failed PATTERN: the service's errors in this boot's journal hold a line
# that matches PATTERN, within a few seconds.
failed() {
	for _ in 1 2 3 4 5; do
		journalctl -q -b -u "$service" -p err -o cat | grep -q "$1" && return 0
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

# serve NAME: the repository NAME is what the loopback's web server has,
# copied as an administrator publishes it, its files' times kept: apt must
# see a new release, or the same one signed anew, all the same.
serve() {
	rm -rf "$dir/www/"*
	cp -a "$dir/$1/." "$dir/www/"
	# busybox's server answers a range request whatever its If-Range says:
	# what apt kept of a refused file must not be resumed from another.
	rm -rf /var/lib/apt/lists/partial/* /var/cache/apt/archives/partial/*
	apt_log=$dir/apt-$1.log
}
apt_log=$dir/apt.log
apt_does() { DEBIAN_FRONTEND=noninteractive apt-get -q -y "$@" >>"$apt_log" 2>&1; }
version() { [ "$(dpkg-query -W -f '${Version}' reboot-guard)" = "$1" ]; }
upgrades() { apt_does update && apt_does upgrade; }
unattended() { apt_does update && unattended-upgrade -v >>"$apt_log" 2>&1; }
offers() { apt-cache madison reboot-guard | grep -q " $1 "; }
downgrades() { apt_does install --allow-downgrades "reboot-guard=$1" && version "$1"; }
# fetched NAME: apt read the InRelease that the repository NAME has.
fetched() {
	apt_does update &&
		cmp /var/lib/apt/lists/*_dists_stable_InRelease "$dir/$1/deb/dists/stable/InRelease"
}
# refuses NAME WHY: what apt does with the repository NAME leaves the
# installed version as it was, and apt said WHY.
refuses() { serve "$1"; upgrades; version "$current" && grep -q "$2" "$apt_log"; }
current=$(dpkg-deb -f "$dir/reboot-guard.deb" Version)
next=$(dpkg-deb -f "$dir/reboot-guard-next.deb" Version)

# The .deb and the RPM, at hours chosen through TZ; the restarts they ask
# for are cancelled.
packages() {
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
	check "one restart was requested in all" asked 1
	# A poweroff that an administrator scheduled for 11:00 stands: the run
	# of hour 1 leaves it, says so as a warning, succeeds and keeps no
	# marker, so that once the poweroff is cancelled the next run restarts.
	rm -f "$marker"
	shutdown -h +600 >/dev/null 2>&1
	check "a run in hour 1 beside a poweroff due later succeeds" runs
	check "and leaves the poweroff scheduled" scheduled poweroff
	check "and says so in the journal as a warning, with no marker" sh -c "journalctl -q -b -u $service -p warning..warning -o cat |
		grep -qx 'reboot_guard: a shutdown is already scheduled, due in [0-9]* minutes, after this hour; this run requested none and made no marker'"
	check "and keeps no marker" gone "$marker"
	shutdown -c
	check "once it is cancelled, the next run in hour 1 restarts" runs_and_marks
	check "logind has that restart scheduled" scheduled reboot
	shutdown -c
	if [ -n "$REPOSITORY" ]; then
		check "apt refuses a release signed by another key" refuses repo-other-key 'Missing key'
		check "apt refuses an index changed after signing" refuses repo-edited-index 'Failed to fetch .*/binary-amd64/'
		check "apt refuses a package swapped in the pool" refuses repo-swapped-package 'Failed to fetch .*/pool/'
		# The next release keeps the first one's packages, and is signed by
		# the same key, its expiry extended since.
		serve repo-next
		cp "$dir/unattended-upgrades.conf" /etc/apt/apt.conf.d/51reboot-guard
		check "unattended-upgrades, told as the README says, takes the next version" unattended
		check "and installs it" version "$next"
		check "apt-cache madison offers the first version" offers "$current"
		check "and the next" offers "$next"
		check "apt-get install reboot-guard=$current --allow-downgrades takes the first back" \
			downgrades "$current"
		# The same release signed anew by the key that replaces the first
		# and by the old one, published with the times it was written; its
		# keyring holds both keys.
		serve repo-rotated
		check "apt-get update fetches it signed by both keys, with the old keyring" fetched repo-rotated
		busybox wget -q -O /etc/apt/keyrings/reboot-guard.gpg "$REPOSITORY/reboot-guard.gpg"
		find /var/lib/apt/lists -maxdepth 1 -type f -name '*_dists_stable_*' -delete
		check "and verifies it with the new keyring" fetched repo-rotated
		check "apt-get upgrade takes the next version again" upgrades
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

	# The nights that follow run the package as a fleet has it: installed,
	# the timer enabled, on the machine's own clock and zone.
	dpkg -i "$dir/reboot-guard.deb" >/dev/null
	systemctl enable "$timer" 2>/dev/null
	rm -rf "/etc/systemd/system/$service.d"
	systemctl daemon-reload
	check "the package is installed for the nights, its timer enabled" is is-enabled "$timer" enabled
}

# The nights, on the machine's own clock, with the shipped timer: a step
# waits for what the timer's runs do.
# follow PATTERN: waits until a line of the service's in this boot matches
# PATTERN, or for an hour. It looks once: on an emulated machine each look
# costs more than the minutes between them. Through a FIFO, so that the
# wait ends with the match, not with what journalctl writes after it.
follow() {
	rm -f /run/follow
	mkfifo /run/follow
	timeout 3600 journalctl -q -f -b -u "$service" -o cat >/run/follow &
	grep -q -m 1 -e "$1" </run/follow
	found=$?
	kill $! 2>/dev/null
	return $found
}
# The run's line in hour 1, printed once its request has returned.
hour_1_run='Checking if matching for 3pm.*Hour is: 1$'
# sleep_until HH: sleeps until HH:00.
sleep_until() { sleep $(($(date -d "$1:00" +%s) - $(date +%s))); }
# this_boot [OFFSET]: the service's report lines in this boot, or in the
# boot OFFSET before it.
this_boot() { journalctl -q -b "${1:-0}" -u "$service" -o cat; }
# asked N [OFFSET]: the runs of this boot asked for N restarts.
asked() { [ "$(this_boot "${2:-0}" | grep -c 'going to create file')" = "$1" ]; }
first_run_found() { this_boot | grep -m 1 -e 'File found' -e 'going to create' | grep -q 'File found'; }
# restart_delay: the seconds from the request in the boot before to
# logind's restart, within 10 s of 300.
restart_delay() {
	at() { journalctl -q -b -1 -u "$1" -o short-unix | sed -n "/$2/{s/[. ].*//p;q}"; }
	delay=$(($(at systemd-logind.service 'System is rebooting') - $(at "$service" 'going to create file')))
	echo "logind restarted the machine $delay s after the request"
	[ "$delay" -ge 290 ] && [ "$delay" -le 310 ]
}
poweroff() { systemctl poweroff --no-block; }

# Hour 1: the timer's run asks for the restart, logind restarts the
# machine five minutes later, and the first run after the boot finds the
# marker.
night() {
	if [ "$boot" = 1 ]; then
		# The restart ends this wait.
		sleep_until 02
		check "the machine restarted in hour 1" false
	else
		check "the timer's run in hour 1 asked for one restart" asked 1 -1
		check "the machine restarted 300 s after it" restart_delay
		found_after_boot
	fi
}
# found_after_boot: the first run after the boot found the marker, and
# asked for nothing.
found_after_boot() {
	follow "$hour_1_run"
	check "the marker holds Rebooted" marked
	check "the first run after the boot found it" first_run_found
	check "and asked for nothing" asked 0
	check "nothing is scheduled" scheduled ""
}

# Hour 15 clears the marker; the runs before it ask for nothing.
day() {
	check "the day starts with the night's marker" marked
	# Hour 15's last line, printed once the marker is gone.
	follow '^- Matched$'
	check "a run in hour 15 cleared the marker" gone "$marker"
	check "the runs in hour 14 asked for nothing" sh -c "journalctl -q -b -u $service -o cat | grep -q 'Hour is: 14\$'"
	check "no run of the day asked for a restart" asked 0
}

# From systemd 257 on, logind refuses a restart that a block inhibitor
# lock forbids, even to root (a backup, firmware being written): the run
# says so, keeps the marker and skips the night.
inhibit() {
	systemd-run --quiet --unit=backup-lock systemd-inhibit --what=shutdown \
		--mode=block --who=backup --why="writing the backup" sleep infinity
	sleep_until 02
	check "the lock was held through hour 1" sh -c 'systemd-inhibit --list --no-legend | grep -q backup'
	check "the run in hour 1 asked once" asked 1
	check "and exited 1" sh -c "journalctl -q -b -u $service | grep -q 'status=1/FAILURE'"
	check "its failure is an error in the journal, on its own line" \
		failed '^reboot_guard: shutdown -r +5: exit status 1; rebooted.txt stays, so this hour will not retry$'
	check "the lock left nothing scheduled" scheduled ""
	check "the refused request left the marker" marked
	# The lock would refuse the probe's power-off too.
	systemctl stop backup-lock
}

# The power is cut the moment logind has taken the request: the marker
# must already be on the disk. The kernel powers off without writing
# back what it holds, as a power cut leaves the disk; nothing here syncs.
cut() {
	[ "$boot" = 1 ] || {
		check "the power was cut before the restart" false
		return
	}
	# A night that starts without a marker, as after a day.
	rm -f "$marker"
	# Within a second of the request, before the file system's own
	# commit, five seconds, could save a marker that was never synced.
	# shutdown's own line may reach the journal after shutdown has gone,
	# and name no unit: the run's own line follows the request.
	follow "$hour_1_run"
	if scheduled reboot; then
		# Straight to the console, past the journal, which syncs its files
		# on an urgent message and would save the marker with them.
		echo "reboot-guard-check: logind has the restart; cutting the power" >/dev/ttyS0
		echo o >/proc/sysrq-trigger
		sleep infinity
	fi
	check "logind took the request" false
}

case $step in
*-packages) packages ;;
*-night) night ;;
*-day) day ;;
*-inhibit) inhibit ;;
# Powered on again in the same night: the marker outlived the cut.
*-after-cut) found_after_boot ;;
*-cut) cut ;;
*) check "a known step" false ;;
esac
echo done >>"$results"
sync
poweroff
