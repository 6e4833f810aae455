#!/usr/bin/env bash
# Installs, runs, repairs, upgrades, downgrades and uninstalls the MSI
# under Wine, in a private prefix made afresh for it, whose shutdown.exe
# is a recorder. The other packages it needs (a newer version, a rebuild
# of the same version) are built here the way the build makes the MSI. A
# rollback is tested as WiX tests it: a copy of a package gets a deferred
# action, right before InstallFinalize, that fails where
# WIXFAILWHENDEFERRED=1 is set.
#
# usage: msi.sh MSI PROGRAM SOURCE_DIR SHUTDOWN_RECORDER
set -euo pipefail
msi=$(realpath "$1") program=$(realpath "$2") source_dir=$(realpath "$3")
shutdown_recorder=$(realpath "$4")
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
export WINEDLLOVERRIDES='shutdown.exe=n;mscoree,mshtml='
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
cmp -s "$shutdown_recorder" "$system32/shutdown.exe" ||
	fail "the recorder is not in place in $WINEPREFIX"
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
	printf 'WixSetFailCmd\t51\tWIXFAIL_CMD\t[System64Folder]cmd.exe\t\r\n' >>"$tables/CustomAction.idt"
	printf 'WixFailWhenDeferred\t3122\tWIXFAIL_CMD\t/d /c exit 1\t\r\n' >>"$tables/CustomAction.idt"
	printf 'WixSetFailCmd\t\t1002\r\n' >>"$tables/InstallExecuteSequence.idt"
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
# The task's working folder is the program's own.
working_dir=$program_dir
# Where earlier versions kept the marker, and where any user may make a
# folder or a link: nothing of this package may ever touch it.
old_dir=$WINEPREFIX/drive_c/ProgramData/reboot_guard
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
	gone "$program_dir" && gone "$task" &&
		[ -z "$(products)" ] && ! wine reg query "$source_key" </dev/null
}

failed=()
check() {
	local name=$1
	shift
	if "$@" >/dev/null 2>&1; then echo "ok $name"; else echo "FAIL $name"; failed+=("$name"); fi
}

table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }

# What wixl cannot write is in the tables: the rollback actions, each
# right before what it undoes, and the program's version.
rollbacks_precede() {
	table CustomAction | awk -F '\t' '
		$1 ~ /^Rollback/ { if (int($2 / 256) % 2 && int($2 / 1024) % 2) n++; else bad = 1 }
		END { exit bad || n != 3 }' &&
	table InstallExecuteSequence | awk -F '\t' '{ at[$1] = $3 }
		END { for (a in at) if (a ~ /^Rollback/ && at[a] != at[substr(a, 9)] - 1) exit 1 }'
}
check "each rollback action is one, right before what it undoes" rollbacks_precede
check "the File table carries the program's version" \
	[ "$(table File | awk -F '\t' '$1 == "reboot_guard.exe" { print $5 "/" $6 }')" = "$version.0/1033" ]
# The working folder is the program's, inside Program Files: nothing goes
# near ProgramData, and there is nothing to defend.
names_none() { ! table CustomAction | grep -qiE "$1"; }
check "no action names ProgramData, %RANDOM%, move, takeown or icacls" \
	names_none 'CommonAppData|%RANDOM%|\<move\>|takeown|icacls'
check "no action runs cmd, which would run AutoRun commands without /d" names_none 'cmd\.exe'
# A task of that name that anyone registered before keeps none of its
# access: it is deleted, whenever ours is registered, just before.
deleted_first() {
	table CustomAction | grep -qx 'DeleteTask	[0-9]*	SCHTASKS_EXE	/delete /tn reboot_guard /f	' &&
	table InstallExecuteSequence | awk -F '\t' '{ at[$1] = $3; when[$1] = $2 }
		END { exit !(at["DeleteTask"] < at["RegisterTask"] && when["DeleteTask"] == when["RegisterTask"]) }'
}
check "any task of that name is deleted before the install registers its own" deleted_first
# Microsoft's ICE63: RemoveExistingProducts between InstallValidate and
# InstallInitialize, after InstallFinalize, or after InstallInitialize,
# InstallExecute or InstallExecuteAgain with no deferred action between.
removal_placed() {
	table InstallExecuteSequence | sort -t "$(printf '\t')" -k 3n | awk -F '\t' '
		NR == FNR { type[$1] = $2; next }
		$1 ~ /^Install(Validate|Initialize|Execute|ExecuteAgain|Finalize)$/ { last = $1; between = 0 }
		int(type[$1] / 1024) % 2 { between++ }
		$1 == "RemoveExistingProducts" {
			found = 1
			placed = last == "InstallValidate" || last == "InstallFinalize" ||
				(last != "" && between == 0) }
		END { exit !(found && placed) }' <(table CustomAction) -
}
check "RemoveExistingProducts sits where ICE63 allows" removal_placed
# Windows Installer's names are short names, or short|long pairs: ICE03.
short_names() {
	local short='[^]\\?|><:/*"+,;=[ .]{1,8}([.][^]\\?|><:/*"+,;=[ .]{1,3})?'
	{ table File | cut -f 3; table Directory | awk -F '\t' '$2 != "" && $3 != "." { print $3 }'; } |
		grep -vxE "$short|$short[|][^|]+" | grep -q . && return 1
	return 0
}
check "every file and folder name is a short name or a short|long pair" short_names
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
	table _Validation | cut -f 8 | grep -v '^$' | grep -vxE 'Text|Formatted|Template|Condition|Guid|Path|Version|Language|Identifier|Binary|UpperCase|LowerCase|Filename|Paths|AnyPath|WildCardFilename|RegPath|CustomSource|Property|Cabinet|Shortcut|FormattedSDDLText|DefaultDir|Integer|DoubleInteger|TimeDate' | grep -q . && return 1
	return 0
}
check "_Validation describes every column of every table, in Windows Installer's categories" validated
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

source "$(dirname "$0")/local_hour.sh"
# What any user may have put where earlier versions kept the marker: a
# folder of their own with a marker in it, or a link to someone else's
# folder. Its state, which nothing of the package may change.
victim=$work/victim
plant() {
	rm -rf "$old_dir" "$victim"
	mkdir -p "$victim" "$(dirname "$old_dir")"
	echo kept >"$victim/file"
	if [ "$1" = folder ]; then
		mkdir "$old_dir"
		echo planted >"$old_dir/rebooted.txt"
	else
		ln -s "$victim" "$old_dir"
	fi
}
planted() {
	find "$old_dir" "$victim" -printf '%p %y %l\n' -type f -exec cat {} \;
}

# The whole life of an install, with PLANTED put there before it: install,
# the first hour 1, a repair, an upgrade that keeps the marker, and the
# uninstall, which leaves nothing.
lifecycle() {
	local planted=$1 status before
	plant "$planted"
	before=$(planted)
	status=0
	# With a reduced user interface once, as a double-click has a full one.
	msiexec /i "$msi" "install-$planted" $([ "$planted" = folder ] && echo /qr) || status=$?
	check "over a planted $planted: the install succeeds" [ "$status" = 0 ]
	check "the program is in Program Files" [ -f "$program_dir/reboot_guard.exe" ]
	check "the pages the README links are beside it" [ -f "$program_dir/doc/windows.md" ]
	check "the task is registered" [ -f "$task" ]
	check "the event source names the program" [ "$(message_file)" = 'C:\Program Files\reboot_guard\reboot_guard.exe' ]
	check "one product is installed" [ "$(products | wc -l)" = 1 ]
	check "the install leaves the planted $planted as it was" [ "$(planted)" = "$before" ]

	# The installed program, in the task's working folder, twice in hour 1.
	local tz
	tz=$(tz_for_hour 1)
	for run in first second; do
		(cd "$working_dir" && TZ=$tz wine "$program_dir/reboot_guard.exe" >"$work/run-$run.out" 2>&1 </dev/null)
	done
	check "the installed program made the marker in its folder" [ "$(cat "$working_dir/rebooted.txt")" = Rebooted ]
	check "and requested one restart in that hour" \
		[ "$(tr -d '\r' <"$working_dir/shutdown-calls.log")" = 'args=/f /r /t 300 marker=yes' ]
	rm "$working_dir/shutdown-calls.log"
	check "hour 1 leaves the planted $planted as it was" [ "$(planted)" = "$before" ]

	# Another build of the installed version is that product, never a
	# second; reinstalled, it is a repair.
	msiexec /i "$rebuilt" "repair-$planted" REINSTALL=ALL REINSTALLMODE=vomus /qn || true
	check "a repair is no second product" [ "$(products)" = "$version" ]
	check "and keeps the task" [ -f "$task" ]
	check "and the marker" [ "$(cat "$working_dir/rebooted.txt")" = Rebooted ]
	check "and leaves the planted $planted as it was" [ "$(planted)" = "$before" ]

	status=0
	msiexec /i "$newer" "upgrade-$planted" || status=$?
	check "the upgrade succeeds" [ "$status" = 0 ]
	check "one product is installed, the newer" [ "$(products)" = "$newer_version" ]
	check "the task is still registered" [ -f "$task" ]
	# Restarted at 01:30 and upgraded then, it must not restart at 01:45.
	check "the marker is still there" [ "$(cat "$working_dir/rebooted.txt")" = Rebooted ]
	check "the upgrade leaves the planted $planted as it was" [ "$(planted)" = "$before" ]

	status=0
	msiexec /x "$newer" "uninstall-$planted" || status=$?
	check "the uninstall succeeds" [ "$status" = 0 ]
	check "and leaves nothing of reboot_guard, the marker and its folder included" nothing_left
	check "nor changes the planted $planted" [ "$(planted)" = "$before" ]
	rm -rf "$old_dir" "$victim"
}

# What Wine cannot roll back, the rollback actions that register the task
# again show run as Windows Installer formats them.
reregisters() {
	local command
	msiexec /i "$msi" rollback-commands || return 1
	for action in RollbackUnregisterTask RollbackDeleteTask; do
		command=$(table CustomAction | awk -F '\t' -v action=$action '$1 == action { print $4 }')
		command=${command//\[ProgramFolder\]/C:\\Program Files\\reboot_guard\\}
		wine schtasks /delete /tn reboot_guard /f && [ ! -f "$task" ] &&
			eval "wine schtasks $command" && [ -f "$task" ] || return 1
	done
	msiexec /x "$msi" rollback-commands-uninstall && nothing_left
}
check "the rollbacks of a removal register the task again from the installed definition" reregisters

# A newer version installed: an older package is refused. Installed
# afresh, as Wine's removal of the older version in an upgrade takes the
# newer's upgrade code with its own, which Windows does not, and the
# newer could then no longer be found.
msiexec /i "$newer" newer || true
status=0
msiexec /i "$msi" downgrade || status=$?
check "an older package is refused" [ "$status" != 0 ]
check "and the newer stays" [ "$(products)" = "$newer_version" ]
# An uninstall that fails at its end. Wine's rollback of an uninstall
# stops at its own copy of the removed files, before any rollback action,
# and leaves the product half removed: only that it fails is checked
# here, and the product is installed again for the last step.
status=0
msiexec /x "$newer" failed-uninstall /qn WIXFAILWHENDEFERRED=1 || status=$?
check "an uninstall that fails at its end fails" [ "$status" != 0 ]
msiexec /i "$newer" reinstall || true
msiexec /x "$newer" newer-uninstall || true
check "and, uninstalled, leaves nothing" nothing_left

lifecycle folder
lifecycle link

[ ${#failed[@]} = 0 ] ||
	fail "these checks did not hold: $(IFS=';'; echo "${failed[*]}") (logs in $work)
$(explain)"
echo "all checks held"
