#!/usr/bin/env bash
# The Task Scheduler definition must be well-formed XML and keep what the
# program relies on: SYSTEM, every 15 minutes with a spread of up to 10,
# at start-up, and a working directory under ProgramData.
#
# usage: check_task_xml.sh TASK_XML
set -euo pipefail
xml=$1
command -v xmllint >/dev/null || { echo "SKIPPED: no xmllint"; exit 77; }

xmllint --noout "$xml"
value() {
	xmllint --xpath "string(//*[local-name()='$1'])" "$xml"
}
check() {
	[ "$(value "$1")" = "$2" ] || { echo "FAIL: $1 is '$(value "$1")', not '$2'" >&2; exit 1; }
}
check UserId S-1-5-18
check Interval PT15M
check RandomDelay PT10M
check Duration P1D
check WorkingDirectory '%ProgramData%\reboot_guard'
check Command '"%ProgramFiles%\reboot_guard\reboot_guard.exe"'
[ "$(xmllint --xpath "count(//*[local-name()='BootTrigger'])" "$xml")" = 1 ] ||
	{ echo "FAIL: no start-up trigger" >&2; exit 1; }
echo "task definition checked"
