#!/usr/bin/env bash
# `cmake --install` with any prefix must give a service whose ExecStart
# names the program under that prefix, and DESTDIR staging must not show
# in anything installed.
#
# usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1 prefix=/opt/reboot-guard-check
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >/dev/null
root=$stage$prefix
[ -x "$root/bin/reboot_guard" ] || fail "no program in $prefix/bin"
[ -f "$root/share/man/man8/reboot_guard.8.gz" ] || fail "no manual page"
[ -f "$root/lib/systemd/system/reboot-guard.timer" ] || fail "no timer"
grep -qx "ExecStart=$prefix/bin/reboot_guard" "$root/lib/systemd/system/reboot-guard.service" ||
	fail "service says $(grep ExecStart= "$root/lib/systemd/system/reboot-guard.service")"
! grep -rqF "$stage" "$stage" || fail "the staging directory shows in: $(grep -rlF "$stage" "$stage")"
echo "installed under $prefix: ExecStart=$prefix/bin/reboot_guard"
