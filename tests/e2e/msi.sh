#!/usr/bin/env bash
# Installs, runs, upgrades, downgrades and uninstalls the MSI under Wine,
# in a private prefix made afresh for it, whose shutdown.exe and
# icacls.exe and takeown.exe are recorders. The other packages it needs
# (a newer version, a rebuild of the same version) are built here the way
# the build makes the MSI. A rollback is tested as WiX tests it: a copy of
# a package gets a deferred action, right before InstallFinalize, that
# fails where WIXFAILWHENDEFERRED=1 is set.
#
# usage: msi.sh MSI PROGRAM SOURCE_DIR SHUTDOWN_RECORDER TOOL_RECORDER
set -euo pipefail
msi=$(realpath "$1") program=$(realpath "$2") source_dir=$(realpath "$3")
shutdown_recorder=$(realpath "$4") tool_recorder=$(realpath "$5")
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
export WINEDLLOVERRIDES='shutdown.exe,icacls.exe,takeown.exe=n;mscoree,mshtml='
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
install -m 0755 "$tool_recorder" "$system32/icacls.exe"
install -m 0755 "$tool_recorder" "$system32/takeown.exe"
cmp -s "$shutdown_recorder" "$system32/shutdown.exe" &&
	cmp -s "$tool_recorder" "$system32/icacls.exe" &&
	cmp -s "$tool_recorder" "$system32/takeown.exe" ||
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
# failing PACKAGE OUTPUT: PACKAGE with WiX's action for testing rollback.
failing() {
	local tables=$work/tables
	rm -rf "$tables"
	mkdir "$tables"
	cp "$1" "$2"
	msidump -t -d "$tables" "$2" >/dev/null
	printf 'WixFailWhenDeferred\t3122\tCMD_EXE\t/c exit 1\t\r\n' >>"$tables/CustomAction.idt"
	printf 'WixFailWhenDeferred\tWIXFAILWHENDEFERRED=1\t6599\r\n' >>"$tables/InstallExecuteSequence.idt"
	msibuild "$2" -i "$tables/CustomAction.idt" -i "$tables/InstallExecuteSequence.idt"
}
version=$(msiinfo export "$msi" Property | sed -n 's/^ProductVersion\t//p' | tr -d '\r')
newer_version=${version%.*}.$(( ${version##*.} + 1 ))
newer=$work/reboot_guard-$newer_version.msi
build_msi "$newer_version" "$source_dir" "$work/newer.msi"
failing "$work/newer.msi" "$newer"
failing "$msi" "$work/failing.msi"
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

# msiexec ACTION PACKAGE LOG [ARG...]: runs it without a user interface,
# or with the arguments given, logging into the work folder, and notes how
# it ended.
msiexec() {
	local status=0 action=$1 package=$2 tag=$3
	shift 3
	[ $# -gt 0 ] || set -- /qn
	wine msiexec "$action" "$(winepath -w "$package")" "$@" /l*v "$(winepath -w "$work/$tag.log")" \
		>>"$log" 2>&1 </dev/null || status=$?
	echo "msiexec $tag: exit $status" >>"$work/steps.txt"
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

# tool_calls: the calls of icacls and takeown since the last, one a line.
tool_calls() {
	tr -d '\r' <"$WINEPREFIX/drive_c/tool-calls.log"
	: >"$WINEPREFIX/drive_c/tool-calls.log"
}
folder='C:\ProgramData\reboot_guard\.'
taken="takeown.exe /f $folder /a
icacls.exe $folder /reset /L"
locked="icacls.exe $folder /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F"

# What wixl cannot write is in the tables: the rollback actions, each
# right before what it undoes (on its condition, but for the task's
# registration, which only a first install takes back), and the
# program's version.
rollbacks_precede() {
	local sequence
	sequence=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r')
	msiinfo export "$msi" CustomAction | tr -d '\r' | awk -F '\t' '
		$1 ~ /^Rollback/ { if (int($2 / 256) % 2 && int($2 / 1024) % 2) n++; else bad = 1 }
		END { exit bad || n != 3 }' &&
	awk -F '\t' '{ at[$1] = $3; when[$1] = $2 }
		END { split("RegisterTask UnregisterTask RemoveWorkingFolder", undone, " ")
			for (i in undone) if (at["Rollback" undone[i]] != at[undone[i]] - 1 ||
				(undone[i] != "RegisterTask" && when["Rollback" undone[i]] != when[undone[i]])) exit 1 }' <<<"$sequence"
}
check "each rollback action is one, right before what it undoes" rollbacks_precede
check "the File table carries the program's version" \
	[ "$(msiinfo export "$msi" File | tr -d '\r' | awk -F '\t' '$1 == "reboot_guard.exe" { print $5 "/" $6 }')" = "$version.0/1033" ]

# A folder that cannot be taken over fails the install, and nothing stays.
status=0
TOOL_STATUS=5 msiexec /i "$msi" refused || status=$?
check "an install whose takeown fails fails" [ "$status" != 0 ]
check "and leaves nothing behind" nothing_left
# A first install that fails after the task's registration takes it away.
status=0
msiexec /i "$work/failing.msi" failed-install /qn WIXFAILWHENDEFERRED=1 || status=$?
check "a first install that fails at its end fails" [ "$status" != 0 ]
check "and leaves no task, nor anything else" nothing_left

# Any user may make the working folder before the install, and plant a
# marker in it that would stop every restart.
mkdir -p "$working_dir/planted"
echo planted >"$working_dir/rebooted.txt"
: >"$WINEPREFIX/drive_c/tool-calls.log"
# With a reduced user interface, as a double-click has a full one.
status=0
msiexec /i "$msi" install /qr || status=$?
check "the install with a user interface succeeds" [ "$status" = 0 ]
check "the program is in Program Files" [ -f "$program_dir/reboot_guard.exe" ]
check "the pages the README links are beside it" [ -f "$program_dir/doc/windows.md" ]
check "the working folder exists" [ -d "$working_dir" ]
check "a first install empties the working folder" [ -z "$(ls -A "$working_dir")" ]
check "Administrators took it, cleared its access list, then locked it to SYSTEM and Administrators" \
	[ "$(tool_calls)" = "$taken
$locked" ]
check "the task is registered" [ -f "$task" ]
check "the event source names the program" [ "$(message_file)" = 'C:\Program Files\reboot_guard\reboot_guard.exe' ]
check "the program carries its version and an asInvoker manifest" sh -c "
	strings -el '$program_dir/reboot_guard.exe' | grep -qx '$version' &&
	grep -q 'level=\"asInvoker\"' '$program_dir/reboot_guard.exe'"
check "one product is installed" [ "$(products | wc -l)" = 1 ]

# The installed program, in its working folder, at hour 1.
source "$(dirname "$0")/local_hour.sh"
(cd "$working_dir" && TZ=$(tz_for_hour 1) wine "$program_dir/reboot_guard.exe" >"$work/run.out" 2>&1 </dev/null)
check "the installed program made the marker" [ "$(cat "$working_dir/rebooted.txt")" = Rebooted ]
check "and requested one restart" [ "$(tr -d '\r' <"$working_dir/shutdown-calls.log")" = 'args=/f /r /t 300 marker=yes' ]

# What Wine cannot roll back, the uninstall's rollback action shows run as
# Windows Installer formats it: it registers the task again from the
# installed definition.
reregisters() {
	local command
	command=$(msiinfo export "$msi" CustomAction | tr -d '\r' |
		awk -F '\t' '$1 == "RollbackUnregisterTask" { print $4 }')
	command=${command//\[ProgramFolder\]/C:\\Program Files\\reboot_guard\\}
	wine schtasks /delete /tn reboot_guard /f && [ ! -f "$task" ] &&
		eval "wine schtasks $command" && [ -f "$task" ]
}
check "the uninstall's rollback registers the task again from the installed definition" reregisters

# Another build of the installed version is that product, never a second.
msiexec /i "$rebuilt" rebuild || true
check "a rebuild of the same version is no second product" [ "$(products)" = "$version" ]
check "and keeps the task" [ -f "$task" ]
check "and the marker" [ "$(cat "$working_dir/rebooted.txt")" = Rebooted ]
check "and takes the working folder and locks it again" [ "$(tool_calls)" = "$taken
$locked" ]

status=0
msiexec /i "$newer" upgrade || status=$?
check "the upgrade succeeds" [ "$status" = 0 ]
check "one product is installed, the newer" [ "$(products)" = "$newer_version" ]
check "the task is still registered" [ -f "$task" ]
check "and the working folder taken and locked again, not emptied" [ "$(tool_calls)" = "$taken
$locked" ]
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

# An uninstall that fails at its end. Wine's rollback of an uninstall
# stops at its own copy of the removed files, before any rollback action,
# and leaves the product half removed: only that it fails is checked here,
# and the product is installed again for the last step.
status=0
msiexec /x "$newer" failed-uninstall /qn WIXFAILWHENDEFERRED=1 || status=$?
check "an uninstall that fails at its end fails" [ "$status" != 0 ]
msiexec /i "$newer" reinstall || true

status=0
msiexec /x "$newer" uninstall || status=$?
check "the uninstall succeeds" [ "$status" = 0 ]
check "and leaves nothing of reboot_guard" nothing_left

[ ${#failed[@]} = 0 ] ||
	fail "these checks did not hold: $(IFS=';'; echo "${failed[*]}") (logs in $work)
$(explain)"
echo "all checks held"
