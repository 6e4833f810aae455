#!/usr/bin/env bash
# The RPM installs into a scratch root and verifies there, holds exactly
# the program, its units, its manual page and docs (no system directory),
# and requires no library. rpmlint, where installed, finds no
# error. Nothing is installed on this machine itself.
#
# usage: check_rpm.sh PACKAGE.rpm
set -euo pipefail
package=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

rpm --root "$root" --initdb
# The scriptlets are for a booted host: the scratch root has no shell. A
# package for another processor is looked at all the same.
rpm -i --root "$root" --nodeps --noscripts --ignorearch "$package"
name=$(rpm -qp --qf '%{NAME}' "$package")
changed=$(rpm -V --nodeps --root "$root" "$name") || fail "rpm -V: $changed"

expected='/usr/bin/reboot_guard
/usr/lib/systemd/system/reboot-guard.service
/usr/lib/systemd/system/reboot-guard.timer
/usr/share/doc/reboot-guard
/usr/share/doc/reboot-guard/README.md
/usr/share/doc/reboot-guard/changelog.gz
/usr/share/doc/reboot-guard/copyright
/usr/share/doc/reboot-guard/doc
/usr/share/doc/reboot-guard/doc/design.md
/usr/share/doc/reboot-guard/doc/development.md
/usr/share/doc/reboot-guard/doc/fleet.md
/usr/share/doc/reboot-guard/doc/releases.md
/usr/share/doc/reboot-guard/doc/scheduling.md
/usr/share/doc/reboot-guard/doc/windows.md
/usr/share/man/man8/reboot_guard.8.gz'
files=$(rpm -ql --root "$root" "$name")
[ "$files" = "$expected" ] || fail "files differ:
$(diff <(echo "$expected") <(echo "$files") || true)"

# The program is static: it needs no library of any release, whatever
# the C library it was built with.
others=$(rpm -qp --requires "$package" | grep -Ev '^(rpmlib\(.*|/bin/sh)$' || true)
[ -z "$others" ] || fail "requires more than a shell for its scriptlets: $others"
grep -qx "ExecStart=/usr/bin/reboot_guard" "$root/usr/lib/systemd/system/reboot-guard.service" ||
	fail "the service does not start /usr/bin/reboot_guard"

if command -v rpmlint >/dev/null; then
	rpmlint -c "$(dirname "$0")/rpmlint.toml" "$package"
else
	echo "rpmlint: SKIPPED, not installed (apt-get install rpmlint)"
fi
echo "RPM checked: $(rpm -qp "$package")"
