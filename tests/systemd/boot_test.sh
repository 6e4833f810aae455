#!/usr/bin/env bash
# Boots the freshly built packages in a throwaway Debian virtual machine
# under qemu, with the suite's own kernel, systemd, logind and disk, and
# reads what in_machine.sh found there, power-on by power-on. The first
# power-on checks the packages; each later one starts the machine's clock
# at the hour it is about, a night or an afternoon, and the shipped timer
# does the rest: the machine restarts for real, on a virtual clock on
# which idle time passes at once. Nothing reaches this machine: the
# machine has no network device and a disk image of its own.
#
# The Debian root of each suite is made once per build tree, from the
# mirror this machine's apt takes Debian from. The machine's console, all
# power-ons in turn, is BUILD_DIR/systemd-boot-SUITE.log; what became of
# the test is said in BUILD_DIR/systemd-boot-SUITE.result.
#
# usage: boot_test.sh BUILD_DIR SUITE   (bookworm, bullseye, trixie, forky)
set -euo pipefail
build=$(realpath "$1") suite=$2
here=$(cd "$(dirname "$0")" && pwd)
result=$build/systemd-boot-$suite.result
console=$build/systemd-boot-$suite.log
fail() { echo "FAIL: $*" >&2; echo "FAILED: ${*%%$'\n'*}" >"$result"; exit 1; }
skip() {
	[ "${REBOOT_GUARD_REQUIRE_SYSTEMD:-0}" != 1 ] || fail "$*; this test is required here"
	testing_skip "$@"
}
# Debian's testing release can break under us: where its root cannot be
# made or does not boot, that is no fault of ours, required or not. So is
# a run that leaves the machines to another (REBOOT_GUARD_BOOT_ELSEWHERE
# says where).
testing_skip() {
	echo "SKIPPED: $*"
	echo "SKIPPED: $*" >"$result"
	exit 77
}
rm -f "$result"

[ -z "${REBOOT_GUARD_BOOT_ELSEWHERE:-}" ] || testing_skip "$REBOOT_GUARD_BOOT_ELSEWHERE"
[ "$(id -u)" = 0 ] || skip "needs root"
for tool in debootstrap:debootstrap qemu-system-x86_64:qemu-system-x86 mkfs.ext4:e2fsprogs \
	debugfs:e2fsprogs dnf:dnf; do
	command -v "${tool%:*}" >/dev/null || skip "needs ${tool%:*} (apt-get install ${tool#*:})"
done
testing=0
[ "$suite" != forky ] || testing=1

# The power-ons, in order. The whole cycle on Debian 12 and 13, a night on
# the others; a block inhibitor lock on systemd 257 and later. Each night
# or day leaves the marker as the next one needs it; the power cut starts
# without one.
case $suite in
bullseye) steps=(packages night) ;;
bookworm) steps=(packages night day night cut after-cut) ;;
trixie) steps=(packages inhibit day night day night cut after-cut) ;;
forky) steps=(packages inhibit day night) ;;
*) fail "unknown suite $suite" ;;
esac
# A developer may pick some: REBOOT_GUARD_BOOT_STEPS="packages night".
[ -z "${REBOOT_GUARD_BOOT_STEPS:-}" ] || read -ra steps <<<"$REBOOT_GUARD_BOOT_STEPS"

source "$here/apt_mirror.sh"

# Made again when what it should hold changes.
base=$build/systemd-root-$suite
# The kernel brings the release's own initramfs maker: initramfs-tools up
# to Debian 13, dracut from 14 on.
include=systemd,systemd-sysv,dbus,libpam-systemd,rpm,busybox,linux-image-amd64
# The stable release takes its upgrades as a fleet's machines do.
[ "$suite" != trixie ] || include+=,unattended-upgrades
if [ "$(cat "$base.done" 2>/dev/null)" != "$include" ]; then
	mirror=$(apt_mirror)
	[ -n "$mirror" ] || fail "no Debian mirror in this machine's apt sources"
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
disk=$work/disk.img
# What apt said outlives the machine, for when a check fails.
trap 'debugfs -R "cat /reboot-guard-check/apt.log" "$disk" >"$build/systemd-boot-$suite.apt.log" 2>/dev/null || :; rm -rf "$work"' EXIT
root=$work/root
cp -a "$base" "$root"
check=$root/reboot-guard-check
mkdir "$check"
cp "$here/in_machine.sh" "$check/"

# package NAME VERSION: the .deb and the RPM of this build at VERSION, as
# NAME.deb and NAME.rpm; the next version is for the upgrades.
package() {
	cpack -G 'DEB;RPM' --config "$build/CPackConfig.cmake" -B "$work/$1" -R "$2" \
		>"$work/cpack.log" 2>&1 || fail "cpack: $(cat "$work/cpack.log")"
	cp "$work/$1"/*.deb "$check/$1.deb"
	cp "$work/$1"/*.rpm "$check/$1.rpm"
}
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
next_version=${version%.*}.$(( ${version##*.} + 1 ))
package reboot-guard "$version"
package reboot-guard-next "$next_version"
source "$here/../e2e/local_hour.sh"
printf 'HOUR_1_TZ=%s\nHOUR_15_TZ=%s\n' "$(tz_for_hour 1)" "$(tz_for_hour 15)" >"$check/env"

# On the stable release the .deb comes as a fleet takes it: from the
# signed APT repository that the release writes, served on the machine's
# own loopback, with throwaway keys. The next release keeps the first
# one's packages and is signed after the key's expiry was extended; the
# same release is then signed anew by the key that replaces it and by
# the old one, as in a rotation.
# Beside them lie three that apt must refuse: an index changed after
# signing, a package swapped in the pool and a release signed by another
# key.
if [ "$suite" = trixie ]; then
	export GNUPGHOME=$work/gnupg SOURCE_DATE_EPOCH=$(date +%s)
	mkdir -m 700 "$GNUPGHOME"
	for key in reboot_guard:rsa3072 impostor:rsa3072 rotated:ed25519; do
		gpg --batch --passphrase '' --quick-gen-key "${key%:*} boot test <${key%:*}@example.invalid>" \
			"${key#*:}" sign 1y >/dev/null 2>&1 || fail "could not make the key ${key%:*}"
	done
	url=http://127.0.0.1:8080
	# repository NAME PACKAGES KEYS [PREVIOUS]: the repository of a
	# package's version, signed by KEYS (a comma between two), keeping
	# those of the repository PREVIOUS.
	repository() {
		REBOOT_GUARD_REPO_URL=$url REBOOT_GUARD_REPO_PREVIOUS=${4:+$check/$4} \
			"$here/../../scripts/repository.sh" "$check/$1" "${3//,/@example.invalid,}@example.invalid" \
			"$work/$2"/*.deb "$work/$2"/*.rpm >/dev/null || fail "could not write the repository $1"
	}
	repository repo reboot-guard reboot_guard
	# A new self-signature, a second or more after the first release.
	sleep 1
	gpg --batch --quick-set-expire "$(gpg --with-colons --list-keys reboot_guard@example.invalid |
		awk -F: '$1 == "fpr" { print $10; exit }')" 3y 2>/dev/null || fail "could not extend the key"
	repository repo-next reboot-guard-next reboot_guard repo
	repository repo-rotated reboot-guard-next rotated,reboot_guard repo-next
	repository repo-other-key reboot-guard-next impostor
	cp -a "$check/repo-next" "$check/repo-swapped-package"
	next_deb=$(basename "$work"/reboot-guard-next/*.deb)
	cp "$check/reboot-guard.deb" "$check/repo-swapped-package/deb/pool/main/r/reboot-guard/$next_deb"
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
	# dnf, through the .repo file as written, offers both versions too.
	mkdir "$work/dnf"
	sed "s|$url|file://$check/repo-next|" "$check/repo-next/reboot-guard.repo" >"$work/dnf/reboot-guard.repo"
	offered=$(dnf -y -q --installroot="$work/dnf/root" --setopt=reposdir="$work/dnf" \
		--releasever=1 --disableplugin='*' --showduplicates list available reboot-guard 2>&1) ||
		fail "dnf could not read the next release's repository: $offered"
	for v in "$version" "$next_version"; do
		grep -q " $v-" <<<"$offered" || fail "dnf --showduplicates does not offer $v: $offered"
	done
	# The line that the README gives for unattended-upgrades.
	grep -m 1 '^Unattended-Upgrade::Origins-Pattern' "$here/../../README.md" >"$check/unattended-upgrades.conf" ||
		fail "the README gives no line for unattended-upgrades"
	echo "REPOSITORY=$url" >>"$check/env"
fi

# The probe starts at every boot, and powers the machine off when its step
# is done.
cat >"$root/etc/systemd/system/reboot-guard-check.service" <<'UNIT'
[Unit]
Description=Check the reboot-guard package and its nights
Wants=systemd-logind.service
After=systemd-logind.service dbus.service

[Service]
Type=oneshot
ExecStart=/reboot-guard-check/in_machine.sh
TimeoutStartSec=infinity

[Install]
WantedBy=multi-user.target
UNIT
ln -s ../reboot-guard-check.service \
	"$root/etc/systemd/system/multi-user.target.wants/reboot-guard-check.service"
# The console shows every run and every check, and the journal keeps the
# boots before this one.
mkdir -p "$root/etc/systemd/journald.conf.d"
printf '[Journal]\nStorage=persistent\nForwardToConsole=yes\nTTYPath=/dev/ttyS0\nMaxLevelConsole=info\n' \
	>"$root/etc/systemd/journald.conf.d/console.conf"
# An emulated boot is slow: what the checks need no part of stays off.
for unit in apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer fstrim.timer \
	e2scrub_all.timer e2scrub_reap.service getty@tty1.service serial-getty@ttyS0.service \
	ldconfig.service systemd-journal-catalog-update.service systemd-hwdb-update.service \
	systemd-udev-trigger.service systemd-random-seed.service modprobe@drm.service \
	modprobe@efi_pstore.service modprobe@fuse.service modprobe@dm_mod.service modprobe@loop.service \
	systemd-sysusers.service systemd-update-utmp.service systemd-user-sessions.service; do
	ln -sf /dev/null "$root/etc/systemd/system/$unit"
done
# Nor do the generators, which every daemon-reload runs again.
mkdir -p "$root/etc/systemd/system-generators"
for generator in "$root"/usr/lib/systemd/system-generators/* "$root"/lib/systemd/system-generators/*; do
	[ ! -e "$generator" ] || ln -sf /dev/null "$root/etc/systemd/system-generators/${generator##*/}"
done
echo reboot-guard-test >"$root/etc/hostname"

kernel=$work/vmlinuz initrd=$work/initrd.img
cp "$(ls "$root"/boot/vmlinuz-* | tail -n 1)" "$kernel"
cp "$(ls "$root"/boot/initrd.img-* | tail -n 1)" "$initrd"
truncate -s 4G "$disk"
mkfs.ext4 -q -d "$root" "$disk" || fail "mkfs.ext4 could not make the disk"
rm -rf "$root"

# KVM where it boots this kernel (it stops some hosts in the kernel's
# decompressor), for the power-on that needs no virtual clock; emulation
# otherwise, and always on the virtual clock, which KVM cannot keep.
packages_accel=(-accel tcg)
if [ -w /dev/kvm ]; then
	qemu-system-x86_64 -accel kvm -m 256 -display none -nodefaults -no-reboot \
		-serial "file:$work/kvm.log" -kernel "$kernel" -append "console=ttyS0 panic=-1" \
		>"$work/kvm.err" 2>&1 &
	for _ in $(seq 30); do
		kill -0 $! 2>/dev/null && ! grep -q 'internal error' "$work/kvm.err" || break
		sleep 1
	done
	kill $! 2>/dev/null || :
	{ wait $!; } 2>/dev/null || :
	! grep -q 'Kernel panic' "$work/kvm.log" || packages_accel=(-accel kvm)
fi
echo "$suite: the packages under ${packages_accel[1]}, the nights under tcg"

# console_of STEP: what the console said in that power-on.
console_of() {
	awk -v head="=== power-on $1 " 'index($0, head) == 1 { shown = 1 } shown' "$console"
}
# section STEP: of that, what the checks would show: the runs, logind and
# the probe.
section() {
	console_of "$1" | grep -a -e reboot_guard -e reboot-guard -e systemd-logind \
		-e in_machine -e 'Hour is' | tail -n 40
}
# power_on STEP CLOCK: the machine from power-on to power-off, its clock
# starting at CLOCK (utc: this machine's time now).
power_on() {
	local accel=(-accel tcg -icount shift=auto,sleep=off)
	[ "$2" != utc ] || accel=("${packages_accel[@]}")
	echo "=== power-on $1 at $2 ===" >>"$console"
	timeout 1500 qemu-system-x86_64 "${accel[@]}" -m 1024 -display none -no-user-config -nodefaults \
		-chardev "file,id=console,path=$console,append=on" -serial chardev:console \
		-kernel "$kernel" -initrd "$initrd" -device virtio-rng-pci -nic none \
		-append "root=/dev/vda rw console=ttyS0 systemd.show_status=false reboot_guard_check=$1" \
		-drive "file=$disk,format=raw,if=virtio" -rtc "base=$2,clock=vm" \
		>>"$work/qemu.log" 2>&1
}

# unbooted: Debian's testing release may not boot as far as the checks
# of its first power-on.
unbooted() {
	[ "$testing" = 0 ] || [ "$step" != packages ] ||
		testing_skip "$suite did not boot as far as the checks; its console: $console"
}

: >"$console"
started=$SECONDS
day=$(date -u -d tomorrow +%F)
n=0
for step in "${steps[@]}"; do
	n=$((n + 1))
	name=$n-$step
	case $step in
	packages) clock=utc ;;
	after-cut) clock=${day}T01:20:00 ;;
	day) clock=${day}T14:40:00 ;;
	# The run two minutes after the boot falls in hour 0, however slow
	# the boot, and the probe is ready before hour 1.
	*) clock=${day}T00:40:00 ;;
	esac
	powered_on=$SECONDS
	if ! power_on "$name" "$clock"; then
		unbooted
		fail "$name: the machine did not power off ($(tail -n 3 "$work/qemu.log")); $console said:"$'\n'"$(section "$name")"
	fi
	[ "$step" != day ] || day=$(date -u -d "$day + 1 day" +%F)
	echo "$name: powered off after $((SECONDS - powered_on)) s"
	said=$(debugfs -R "cat /reboot-guard-check/results-$name" "$disk" 2>/dev/null)
	if [ "$step" = cut ]; then
		# The power went before anything reached the disk.
		[ -z "$said" ] && console_of "$name" | grep -aq 'logind has the restart; cutting the power' ||
			fail "$name: the power was not cut: ${said:-no request}; $console said:"$'\n'"$(section "$name")"
		echo "$name: logind took the request, and the power was cut"
		continue
	fi
	[ -n "$said" ] || unbooted
	printf '%s\n' "$said" | sed "s/^/$name: /"
	failed=$(printf '%s\n' "$said" | sed -n 's/^FAIL //p')
	[ -z "$failed" ] ||
		fail "$name: these checks did not hold: $(echo "$failed" | paste -sd ';' -); $console said:"$'\n'"$(section "$name")"
	printf '%s\n' "$said" | grep -qx done ||
		fail "$name: the checks stopped before the end; $console said:"$'\n'"$(section "$name")"
done
echo "$suite: ${#steps[@]} power-ons in $((SECONDS - started)) s; all checks held"
echo "ran: all checks held in ${#steps[@]} power-ons" >"$result"
