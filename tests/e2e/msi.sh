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

# tool_calls: the calls of icacls and takeown since the last, one a line:
# none, ever, as both follow links and open the folder to others.
tool_calls() {
	tr -d '\r' <"$WINEPREFIX/drive_c/tool-calls.log"
	: >"$WINEPREFIX/drive_c/tool-calls.log"
}
: >"$WINEPREFIX/drive_c/tool-calls.log"
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }

# What wixl cannot write is in the tables: the rollback actions, each
# right before what it undoes (on its condition, but for the task's
# registration, which only a first install takes back), and the
# program's version.
rollbacks_precede() {
	table CustomAction | awk -F '\t' '
		$1 ~ /^Rollback/ { if (int($2 / 256) % 2 && int($2 / 1024) % 2) n++; else bad = 1 }
		END { exit bad || n != 2 }' &&
	table InstallExecuteSequence | awk -F '\t' '{ at[$1] = $3; when[$1] = $2 }
		END { if (at["RollbackRegisterTask"] != at["RegisterTask"] - 1 ||
			at["RollbackUnregisterTask"] != at["UnregisterTask"] - 1 ||
			when["RollbackUnregisterTask"] != when["UnregisterTask"]) exit 1 }'
}
check "each rollback action is one, right before what it undoes" rollbacks_precede
check "the File table carries the program's version" \
	[ "$(table File | awk -F '\t' '$1 == "reboot_guard.exe" { print $5 "/" $6 }')" = "$version.0/1033" ]
# The working folder is made with its access, owner Administrators and
# two entries, protected from inheritance; on a first install, whatever
# was at its path is renamed aside first, by cmd, which follows no link;
# nothing runs takeown or icacls.
check "CreateFolders makes the working folder for SYSTEM and Administrators alone" [ "$(table MsiLockPermissionsEx)" = \
	"WorkingFolder	WorkingFolder	CreateFolder	O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)	" ]
first_install() {
	table InstallExecuteSequence | awk -F '\t' '
		$1 ~ /WorkingFolder/ && $2 == "NOT Installed AND NOT OLDER_VERSION_FOUND" { print $3, $1 }' |
		sort -n | cut -d ' ' -f 2 | paste -sd ' '
}
check "a first install removes a link, renames aside the rest and checks the path, before CreateFolders" \
	[ "$(first_install)" = "RemoveLinkAtWorkingFolder MoveAsideWorkingFolder CheckWorkingFolderPath" ]
check "no action runs takeown or icacls" sh -c "! msiinfo export '$msi' CustomAction | grep -qiE 'takeown|icacls'"
# Validation's own tables: every column of every table described, the
# set-property actions impersonated (no 0x800 on type 51), and each
# action of a sequence on a number of its own.
validated() {
	local name columns
	for name in $(msiinfo tables "$msi" | tr -d '\r' | grep -v '^_[SF]'); do
		read -r -a columns < <(msiinfo export "$msi" "$name" | head -n 1 | tr -d '\r')
		for column in "${columns[@]}"; do
			table _Validation | cut -f 1,2 | grep -qx "$name	$column" || return 1
		done
	done
}
check "_Validation describes every column of every table" validated
check "no set-property action carries the no-impersonate bit" sh -c "
	msiinfo export '$msi' CustomAction | tr -d '\r' | tail -n +4 |
	awk -F '\t' '\$2 % 64 == 51 && int(\$2 / 2048) % 2 { exit 1 }'"
check "no two actions of a sequence share a number" sh -c "
	for sequence in InstallExecuteSequence InstallUISequence AdminExecuteSequence AdminUISequence AdvtExecuteSequence; do
		msiinfo export '$msi' \$sequence | tr -d '\r' | tail -n +4 | cut -f 3 | sort | uniq -d | grep -q . && exit 1
	done; exit 0"

# A first install that fails after the task's registration takes it away.
status=0
msiexec /i "$work/failing.msi" failed-install /qn WIXFAILWHENDEFERRED=1 || status=$?
check "a first install that fails at its end fails" [ "$status" != 0 ]
check "and leaves no task, nor anything else" nothing_left

# Any user may make a link at the working folder's path before the install,
# to a folder of someone else's: the install must neither follow it nor
# touch what it leads to.
victim=$work/victim
mkdir -p "$victim" "$(dirname "$working_dir")"
echo kept >"$victim/file"
ln -s "$victim" "$working_dir"
status=0
msiexec /i "$msi" linked || status=$?
check "an install over a link leaves the folder it led to and its file as they were" \
	[ "$(ls -A "$victim"; cat "$victim/file")" = "file
kept" ]
# Windows removes the link itself (rd); Wine cannot, and follows it in
# every rename, so there the install must refuse.
if [ "$status" = 0 ]; then
	check "and makes the working folder a real one" test -d "$working_dir" -a ! -L "$working_dir"
	msiexec /x "$msi" linked-uninstall || true
else
	check "or, where the link cannot be removed, refuses and leaves it" test -L "$working_dir"
	rm "$working_dir"
fi
check "and leaves nothing of reboot_guard" nothing_left

# Or a folder of their own, with a marker in it that would stop every
# restart.
mkdir -p "$working_dir/planted"
echo planted >"$working_dir/rebooted.txt"
# With a reduced user interface, as a double-click has a full one.
status=0
msiexec /i "$msi" install /qr || status=$?
check "the install with a user interface succeeds" [ "$status" = 0 ]
check "the program is in Program Files" [ -f "$program_dir/reboot_guard.exe" ]
check "the pages the README links are beside it" [ -f "$program_dir/doc/windows.md" ]
check "the working folder exists" [ -d "$working_dir" ]
check "a first install empties the working folder" [ -z "$(ls -A "$working_dir")" ]
check "and renames aside what the user made, marker and all" \
	[ "$(cat "$working_dir".moved-*/rebooted.txt)" = planted ]
check "nothing ran takeown or icacls" [ -z "$(tool_calls)" ]
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
check "and leaves the working folder's access as it is" [ -z "$(tool_calls)" ]

status=0
msiexec /i "$newer" upgrade || status=$?
check "the upgrade succeeds" [ "$status" = 0 ]
check "one product is installed, the newer" [ "$(products)" = "$newer_version" ]
check "the task is still registered" [ -f "$task" ]
check "and the working folder's access as it is" [ -z "$(tool_calls)" ]
check "and no file kept for the older version's removal" [ ! -e "$working_dir/upgrading" ]
# Wine's removal of the older product does not set UPGRADINGPRODUCTCODE
# and takes the marker: what is checked here is the tables' conditions.
check "the tables keep task and marker in an upgrade's removal" [ "$(msiinfo export "$newer" InstallExecuteSequence |
	grep -cE '^(UnregisterTask|EmptyWorkingFolder)\sREMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE\s')" = 2 ]

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
