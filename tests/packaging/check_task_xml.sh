#!/usr/bin/env bash
# The Task Scheduler definition, as the source has it and as the MSI and
# the zip carry it, must be what Task Scheduler itself writes: UTF-16 LE
# with a byte-order mark, declaring that encoding (schtasks refuses any
# other declaration, which Wine's does not); well-formed XML; and keep
# what the program relies on: SYSTEM, every 15 minutes with a spread of up
# to 10, at start-up, in the program's own folder, and the task's own
# access: SYSTEM and Administrators full, other users read.
#
# usage: check_task_xml.sh FILE...   (the .xml, an .msi or a .zip)
set -euo pipefail
command -v xmllint >/dev/null || { echo "SKIPPED: no xmllint"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# value NAME, check NAME VALUE: of the definition in $xml, from $file.
value() {
	xmllint --xpath "string(//*[local-name()='$1'])" "$xml"
}
check() {
	[ "$(value "$1")" = "$2" ] || fail "$file: $1 is '$(value "$1")', not '$2'"
}

for file; do
	xml=$work/reboot_guard.xml
	case $file in
	*.msi)
		command -v msiextract >/dev/null || { echo "SKIPPED: no msiextract"; exit 77; }
		rm -rf "$work/msi"
		msiextract -C "$work/msi" "$file" >/dev/null
		find "$work/msi" -name reboot_guard.xml -exec cp {} "$xml" \; ;;
	*.zip) unzip -p "$file" '*/reboot_guard.xml' >"$xml" ;;
	*) cp "$file" "$xml" ;;
	esac
	[ -s "$xml" ] || fail "$file carries no reboot_guard.xml"
	[ "$(head -c 2 "$xml" | od -An -tx1 | tr -d ' ')" = fffe ] ||
		fail "$file: the task definition has no UTF-16 LE byte-order mark"
	declaration=$(head -c 200 "$xml" | iconv -f UTF-16 -t UTF-8 | head -n 1 | tr -d '\r')
	[ "$declaration" = '<?xml version="1.0" encoding="UTF-16"?>' ] ||
		fail "$file: the task definition declares '$declaration', not encoding=\"UTF-16\""
	xmllint --noout "$xml"
	check UserId S-1-5-18
	check Interval PT15M
	check RandomDelay PT10M
	check Duration P1D
	check WorkingDirectory '%ProgramFiles%\reboot_guard'
	check SecurityDescriptor 'D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;AU)'
	check Command '"%ProgramFiles%\reboot_guard\reboot_guard.exe"'
	[ "$(xmllint --xpath "count(//*[local-name()='BootTrigger'])" "$xml")" = 1 ] ||
		fail "$file: no start-up trigger"
	echo "task definition checked: $file"
done
