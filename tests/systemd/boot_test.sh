#!/usr/bin/env bash
# Boots the freshly built .deb in a throwaway Debian container with its own
# systemd and logind, and reads what in_container.sh found there. The
# restart is requested of the container's logind and cancelled at once:
# nothing reaches this machine. The Debian root of each suite is made once
# per build tree, from the mirror this machine's apt takes bookworm from.
# What became of it is said in BUILD_DIR/systemd-boot-SUITE.result.
#
# usage: boot_test.sh BUILD_DIR SUITE   (bookworm, bullseye, trixie, forky)
set -euo pipefail
build=$(realpath "$1") suite=$2
here=$(cd "$(dirname "$0")" && pwd)
result=$build/systemd-boot-$suite.result
fail() { echo "FAIL: $*" >&2; echo "FAILED: $*" >"$result"; exit 1; }
skip() {
	[ "${REBOOT_GUARD_REQUIRE_SYSTEMD:-0}" != 1 ] || fail "$*; this test is required here"
	testing_skip "$@"
}
# Debian's testing release can break under us: where its root cannot be
# made or does not boot, that is no fault of ours, required or not.
testing_skip() {
	echo "SKIPPED: $*"
	echo "SKIPPED: $*" >"$result"
	exit 77
}
rm -f "$result"

[ "$(id -u)" = 0 ] || skip "needs root"
command -v debootstrap >/dev/null && command -v systemd-nspawn >/dev/null ||
	skip "needs debootstrap and systemd-nspawn (apt-get install debootstrap systemd-container)"
# A container has to make namespaces and mounts of its own; inside a
# container that may not, no other container can boot.
unshare --mount --pid --fork --mount-proc true 2>/dev/null ||
	skip "no container can boot in here (no mount and PID namespaces)"
testing=0
[ "$suite" != forky ] || testing=1

source "$here/apt_mirror.sh"

# Made again when what it should hold changes.
base=$build/systemd-root-$suite
include=systemd,systemd-sysv,dbus,libpam-systemd,rpm,busybox
if [ "$(cat "$base.done" 2>/dev/null)" != "$include" ]; then
	mirror=$(apt_mirror)
	[ -n "$mirror" ] || fail "no bookworm mirror in this machine's apt sources"
	echo "making a Debian $suite root in $base from $mirror (once per build tree)"
	rm -rf "$base" "$base.done"
	# A debootstrap older than the release knows it as sid.
	script=/usr/share/debootstrap/scripts/$suite
	[ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
	if ! debootstrap --variant=minbase --include="$include" \
		"$suite" "$base" "$mirror" "$script" >"$build/debootstrap-$suite.log" 2>&1; then
		[ "$testing" = 0 ] || testing_skip "debootstrap could not make $suite; see $build/debootstrap-$suite.log"
		fail "debootstrap failed; see $build/debootstrap-$suite.log"
	fi
	echo "$include" >"$base.done"
fi

work=$(mktemp -d "$build/systemd-boot.XXXXXX")
# What apt said outlives the container, for when a check fails.
trap 'cat "$check"/apt*.log >"$build/systemd-boot-$suite.apt.log" 2>/dev/null || :; rm -rf "$work"' EXIT
root=$work/root
cp -a "$base" "$root"
check=$root/reboot-guard-check
mkdir "$check"
cp "$here/in_container.sh" "$check/"

# package NAME VERSION: the .deb and the RPM of this build at VERSION, as
# NAME.deb and NAME.rpm; the next version is for the upgrades.
package() {
	cpack -G 'DEB;RPM' --config "$build/CPackConfig.cmake" -B "$work/$1" -R "$2" \
		>"$work/cpack.log" 2>&1 || fail "cpack: $(cat "$work/cpack.log")"
	cp "$work/$1"/*.deb "$check/$1.deb"
	cp "$work/$1"/*.rpm "$check/$1.rpm"
}
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
package reboot-guard "$version"
package reboot-guard-next "${version%.*}.$(( ${version##*.} + 1 ))"
source "$here/../e2e/local_hour.sh"
printf 'HOUR_1_TZ=%s\nHOUR_15_TZ=%s\n' "$(tz_for_hour 1)" "$(tz_for_hour 15)" >"$check/env"

# On the stable release the .deb comes as a fleet takes it: from the
# signed APT repository that the release writes, served on the
# container's own loopback, with a throwaway key. Beside the next version's
# repository lie three that apt must refuse: an index changed after
# signing, a package swapped in the pool and a release signed by another
# key.
if [ "$suite" = trixie ]; then
	export GNUPGHOME=$work/gnupg SOURCE_DATE_EPOCH=$(date +%s)
	mkdir -m 700 "$GNUPGHOME"
	for key in reboot_guard impostor; do
		gpg --batch --passphrase '' --quick-gen-key "$key boot test <$key@example.invalid>" \
			ed25519 sign 1d >/dev/null 2>&1 || fail "could not make the key $key"
	done
	url=http://127.0.0.1:8080
	# repository NAME PACKAGES KEY: the repository of a package's version.
	repository() {
		REBOOT_GUARD_REPO_URL=$url "$here/../../scripts/repository.sh" "$check/$1" \
			"$3@example.invalid" "$work/$2"/*.deb "$work/$2"/*.rpm >/dev/null ||
			fail "could not write the repository $1"
	}
	repository repo reboot-guard reboot_guard
	repository repo-next reboot-guard-next reboot_guard
	repository repo-other-key reboot-guard-next impostor
	cp -a "$check/repo-next" "$check/repo-swapped-package"
	cp "$check/reboot-guard.deb" "$check/repo-swapped-package"/deb/pool/main/r/reboot-guard/*.deb
	# The amd64 index changed wherever apt may fetch it from, by-hash too.
	cp -a "$check/repo-next" "$check/repo-edited-index"
	index=$check/repo-edited-index/deb/dists/stable/main/binary-amd64
	cp -a "$index" "$work/signed-index"
	sed -i 's/^Description: .*/Description: changed after signing/' "$index/Packages"
	gzip -9nc "$index/Packages" >"$index/Packages.gz"
	xz -9c "$index/Packages" >"$index/Packages.xz"
	for file in "$index"/by-hash/*/*; do
		for name in Packages Packages.gz Packages.xz; do
			! cmp -s "$file" "$work/signed-index/$name" || cp "$index/$name" "$file"
		done
	done
	echo "REPOSITORY=$url" >>"$check/env"
fi
cat >"$root/etc/systemd/system/reboot-guard-check.service" <<'UNIT'
[Unit]
Description=Check the reboot-guard package, then power the container off
Wants=systemd-logind.service
After=systemd-logind.service dbus.service

[Service]
Type=oneshot
ExecStart=/reboot-guard-check/in_container.sh
ExecStopPost=/bin/systemctl poweroff --no-block

[Install]
WantedBy=multi-user.target
UNIT
ln -s ../reboot-guard-check.service \
	"$root/etc/systemd/system/multi-user.target.wants/reboot-guard-check.service"

# No system bus here: nspawn neither registers the machine nor makes a
# scope for it. The container has a network of its own, its loopback. A
# systemd newer than 255 boots only on the unified cgroup hierarchy, which
# nspawn gives it where this machine mounts a hybrid one.
started=$SECONDS
status=0
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 timeout 300 systemd-nspawn --register=no --keep-unit --quiet \
	--private-network --console=pipe -b -D "$root" >"$build/systemd-boot-$suite.log" 2>&1 </dev/null || status=$?
echo "$suite container ran for $((SECONDS - started)) s (exit $status); its console: $build/systemd-boot-$suite.log"

results=$check/results
if [ ! -s "$results" ] && [ "$testing" = 1 ]; then
	testing_skip "$suite did not boot as far as the checks; its console: $build/systemd-boot-$suite.log"
fi
[ -s "$results" ] || fail "the container wrote no results"
cat "$results"
failed=$(sed -n 's/^FAIL //p' "$results")
[ -z "$failed" ] || fail "these checks did not hold: $(echo "$failed" | paste -sd ';' -)"
grep -qx done "$results" || fail "the checks stopped before the end"
echo "all checks held"
echo "ran: all checks held" >"$result"
