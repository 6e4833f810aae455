#!/usr/bin/env bash
# Installs, runs, upgrades, downgrades and uninstalls the MSI under Wine,
# in a private prefix made afresh for it, whose shutdown.exe and
# icacls.exe are recorders. The other packages it needs (a newer version,
# a rebuild of the same version) are built here the way the build makes
# the MSI.
#
# usage: msi.sh MSI PROGRAM SOURCE_DIR SHUTDOWN_RECORDER ICACLS_RECORDER
set -euo pipefail
msi=$(realpath "$1") program=$(realpath "$2") source_dir=$(realpath "$3")
shutdown_recorder=$(realpath "$4") icacls_recorder=$(realpath "$5")
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v wixl >/dev/null; then
	[ "${REBOOT_GUARD_REQUIRE_WINDOWS:-0}" != 1 ] || fail "wixl is missing"
	echo "SKIPPED: wixl is missing (apt-get install wixl msitools)"
	exit 77
fi

source "$(dirname "$0")/wine_server.sh"

work=$(dirname "$msi")/msi-test
# The installer's own errors, and nothing else of Wine's, go to the log.
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all,err+msi
export WINEDLLOVERRIDES='shutdown.exe,icacls.exe=n;mscoree,mshtml='
# Wine's services inherit the output of whatever starts them: files only.
log=$work/wine.log
rm -rf "$work"
mkdir -p "$WINEPREFIX"
trap 'wineserver -k >/dev/null 2>&1 </dev/null || true' EXIT
wineboot -i >>"$log" 2>&1 </dev/null
wineserver -w # until the new prefix is wholly made
wineserver -p >>"$log" 2>&1 </dev/null
system32=$WINEPREFIX/drive_c/windows/system32
install -m 0755 "$shutdown_recorder" "$system32/shutdown.exe"
install -m 0755 "$icacls_recorder" "$system32/icacls.exe"
cmp -s "$shutdown_recorder" "$system32/shutdown.exe" &&
	cmp -s "$icacls_recorder" "$system32/icacls.exe" ||
	fail "the recorders are not in place in $WINEPREFIX"
# schtasks needs the Task Scheduler service.
wine net start schedule >>"$log" 2>&1 </dev/null

# build_msi VERSION SOURCE OUTPUT: the MSI of PROGRAM and of the documents
# in SOURCE, as the build makes it.
build_msi() {
	cmake -DWIXL="$(command -v wixl)" -DWXS="$source_dir/contrib/windows/reboot_guard.wxs" \
		-DVERSION="$1" -DPROGRAM="$program" -DSOURCE_DIR="$2" \
		-DSTAGING="$work/staging" -DOUTPUT="$3" -P "$source_dir/cmake/build_msi.cmake" >>"$log"
}
version=$(msiinfo export "$msi" Property | sed -n 's/^ProductVersion\t//p' | tr -d '\r')
newer_version=${version%.*}.$(( ${version##*.} + 1 ))
newer=$work/reboot_guard-$newer_version.msi
build_msi "$newer_version" "$source_dir" "$newer"
# The same version built again from other documents: another package of
# the same product.
rebuilt_source=$work/rebuilt-source
mkdir -p "$rebuilt_source/contrib/windows"
cp "$source_dir/LICENSE" "$rebuilt_source/"
cp -r "$source_dir/doc" "$rebuilt_source/"
cp "$source_dir/contrib/windows/reboot_guard.xml" "$rebuilt_source/contrib/windows/"
{ cat "$source_dir/README.md"; echo "Rebuilt."; } >"$rebuilt_source/README.md"
rebuilt=$work/reboot_guard-$version-rebuilt.msi
build_msi "$version" "$rebuilt_source" "$rebuilt"

program_dir=$WINEPREFIX/drive_c/Program\ Files/reboot_guard
working_dir=$WINEPREFIX/drive_c/ProgramData/reboot_guard
task=$system32/tasks/reboot_guard
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\reboot_guard'

# msiexec ACTION PACKAGE LOG [UI]: runs it without a user interface, or
# with the one given, logging into the work folder, and notes how it ended.
msiexec() {
	local status=0
	wine msiexec "$1" "$(winepath -w "$2")" "${4:-/qn}" /l*v "$(winepath -w "$work/$3.log")" \
		>>"$log" 2>&1 </dev/null || status=$?
	echo "msiexec $3: exit $status" >>"$work/steps.txt"
	return "$status"
}
# What went wrong, said where it outlives logs thrown away with the build
# that made them: how each step ended, what is installed, and the last of
# Wine's log, which holds the installer's errors.
explain() {
	cat "$work/steps.txt"
	echo "installed now: $(products | paste -sd ' ' -)"
	tail -n 12 "$log"
}
# The version of each entry named reboot_guard in Programs and Features,
# one per line.
products() {
	wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
		tr -d '\r' | awk '
		function flush() { if (name == "reboot_guard") print version; name = version = "" }
		/^HKEY_/ { flush() }
		$1 == "DisplayName" && $2 == "REG_SZ" { name = $3 }
		$1 == "DisplayVersion" && $2 == "REG_SZ" { version = $3 }
		END { flush() }'
}
message_file() {
	wine reg query "$source_key" /v EventMessageFile 2>/dev/null | tr -d '\r' |
		sed -n 's/.*EventMessageFile.*REG_SZ *//p'
}
gone() { [ ! -e "$1" ]; }
nothing_left() {
	gone "$program_dir" && gone "$working_dir" && gone "$task" &&
		[ -z "$(products)" ] && ! wine reg query "$source_key" </dev/null
}

failed=()
check() {
	local name=$1
	shift
	if "$@" >/dev/null 2>&1; then echo "ok $name"; else echo "FAIL $name"; failed+=("$name"); fi
}

# A folder that cannot be locked fails the install, and nothing stays.
status=0
ICACLS_STATUS=5 msiexec /i "$msi" refused || status=$?
check "an install whose icacls fails fails" [ "$status" != 0 ]
check "and leaves nothing behind" nothing_left

# Any user may make the working folder before the install, and plant a
# marker in it that would stop every restart.
mkdir -p "$working_dir/planted"
echo planted >"$working_dir/rebooted.txt"
: >"$WINEPREFIX/drive_c/icacls-calls.log"
# With a reduced user interface, as a double-click has a full one.
status=0
msiexec /i "$msi" install /qr || status=$?
check "the install with a user interface succeeds" [ "$status" = 0 ]
check "the program is in Program Files" [ -f "$program_dir/reboot_guard.exe" ]
check "the pages the README links are beside it" [ -f "$program_dir/doc/windows.md" ]
check "the working folder exists" [ -d "$working_dir" ]
check "a first install empties the working folder" [ -z "$(ls -A "$working_dir")" ]
check "icacls gave it to Administrators, then locked it to SYSTEM and Administrators" \
	[ "$(tr -d '\r' <"$WINEPREFIX/drive_c/icacls-calls.log")" = \
	'C:\ProgramData\reboot_guard\. /setowner *S-1-5-32-544 /T /C /L
C:\ProgramData\reboot_guard\. /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F' ]
check "the task is registered" [ -f "$task" ]
check "the event source names the program" [ "$(message_file)" = 'C:\Program Files\reboot_guard\reboot_guard.exe' ]
check "one product is installed" [ "$(products | wc -l)" = 1 ]

# The installed program, in its working folder, at hour 1.
source "$(dirname "$0")/local_hour.sh"
(cd "$working_dir" && TZ=$(tz_for_hour 1) wine "$program_dir/reboot_guard.exe" >"$work/run.out" 2>&1 </dev/null)
check "the installed program made the marker" [ "$(cat "$working_dir/rebooted.txt")" = Rebooted ]
check "and requested one restart" [ "$(tr -d '\r' <"$working_dir/shutdown-calls.log")" = 'args=/f /r /t 300 marker=yes' ]

# Another build of the installed version is that product, never a second.
msiexec /i "$rebuilt" rebuild || true
check "a rebuild of the same version is no second product" [ "$(products)" = "$version" ]
check "and keeps the task" [ -f "$task" ]
check "and the marker" [ "$(cat "$working_dir/rebooted.txt")" = Rebooted ]

status=0
msiexec /i "$newer" upgrade || status=$?
check "the upgrade succeeds" [ "$status" = 0 ]
check "one product is installed, the newer" [ "$(products)" = "$newer_version" ]
check "the task is still registered" [ -f "$task" ]
# Wine's removal of the older product does not set UPGRADINGPRODUCTCODE
# and takes the marker: what is checked here is the tables' conditions.
check "the tables keep task and marker in an upgrade's removal" [ "$(msiinfo export "$newer" InstallExecuteSequence |
	grep -cE '^(UnregisterTask|RemoveWorkingFolder)\sREMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE\s')" = 2 ]
check "and an upgrade does not empty the working folder" [ "$(msiinfo export "$newer" InstallExecuteSequence |
	grep -cE '^EmptyWorkingFolder\sNOT Installed AND NOT OLDER_VERSION_FOUND\s')" = 1 ]

status=0
msiexec /i "$msi" downgrade || status=$?
check "an older package is refused" [ "$status" != 0 ]
check "and the newer stays" [ "$(products)" = "$newer_version" ]

status=0
msiexec /x "$newer" uninstall || status=$?
check "the uninstall succeeds" [ "$status" = 0 ]
check "and leaves nothing of reboot_guard" nothing_left

[ ${#failed[@]} = 0 ] ||
	fail "these checks did not hold: $(IFS=';'; echo "${failed[*]}") (logs in $work)
$(explain)"
echo "all checks held"
