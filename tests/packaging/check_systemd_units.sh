#!/usr/bin/env bash
# The systemd units must pass systemd-analyze verify without a word, and
# keep what the program relies on: a private state directory as working
# directory, and a timer that starts it every quarter hour, spread over
# ten minutes per machine. Their Documentation= names the manual page.
#
# usage: check_systemd_units.sh UNIT_DIR PROGRAM
set -euo pipefail
units=$1 program=$2
command -v systemd-analyze >/dev/null || { echo "SKIPPED: no systemd-analyze"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# verify wants the program where ExecStart says; use the one just built.
sed "s|^ExecStart=/usr/bin/reboot_guard\$|ExecStart=$program|" \
	"$units/reboot-guard.service" >"$work/reboot-guard.service"
cp "$units/reboot-guard.timer" "$work/"
grep -q "^ExecStart=$program\$" "$work/reboot-guard.service" ||
	{ echo "FAIL: ExecStart is not /usr/bin/reboot_guard" >&2; exit 1; }

# The manual page has a check of its own, and a machine without man-db
# could not look it up.
said=$(cd "$work" && systemd-analyze verify --man=no reboot-guard.service reboot-guard.timer 2>&1) ||
	{ echo "FAIL: $said" >&2; exit 1; }
[ -z "$said" ] || { echo "FAIL: systemd-analyze says: $said" >&2; exit 1; }

for line in 'Type=oneshot' 'TimeoutStartSec=5min' 'StateDirectory=reboot-guard' \
	'WorkingDirectory=%S/reboot-guard' 'StateDirectoryMode=0700' \
	'Documentation=man:reboot_guard(8)'; do
	grep -qx "$line" "$work/reboot-guard.service" ||
		{ echo "FAIL: service lacks $line" >&2; exit 1; }
done
for line in 'OnCalendar=*-*-* *:00/15:00' 'RandomizedDelaySec=10min' 'FixedRandomDelay=yes' \
	'Documentation=man:reboot_guard(8)'; do
	grep -qxF "$line" "$work/reboot-guard.timer" ||
		{ echo "FAIL: timer lacks $line" >&2; exit 1; }
done
echo "units verified"
