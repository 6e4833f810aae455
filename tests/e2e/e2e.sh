#!/usr/bin/env bash
# Runs one end-to-end case against the built program, natively or under
# Wine. The local hour is chosen through TZ, every run starts in a fresh
# working directory, and the only shutdown the program can reach is a
# recorder that logs its arguments and whether the marker existed, so no
# case can restart this machine.
#
# usage: e2e.sh native|wine PROGRAM CASE
# REBOOT_GUARD_EMULATOR, when set, is the command line that runs a native
# PROGRAM built for another processor (qemu-user).
set -euo pipefail

mode=$1 program=$2 case_name=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/reboot_guard_e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
bin=$work/bin
mkdir "$bin"

fail() {
	echo "FAIL ($mode $case_name): $*" >&2
	exit 1
}

skip() {
	echo "SKIPPED ($mode $case_name): $*"
	exit 77
}

case $mode in
native)
	restart_args='-r +5'
	restart_command="shutdown $restart_args"
	# The runs see a PATH with this directory alone.
	cat >"$bin/shutdown" <<'RECORDER'
#!/bin/sh
# Stands in for shutdown: records the call and restarts nothing.
if [ -e rebooted.txt ] || [ -L rebooted.txt ]; then marker=yes; else marker=no; fi
printf 'args=%s marker=%s\n' "$*" "$marker" >>shutdown-calls.log
# Its own complaint about a closed standard output is not the program's.
echo "recorder: shutdown called" 2>/dev/null
exit "${RECORDER_STATUS:-0}"
RECORDER
	chmod +x "$bin/shutdown"
	# A program built for another processor runs under its emulator.
	read -r -a launcher <<<"${REBOOT_GUARD_EMULATOR:-}"
	line_end=$'\n'
	;;
wine)
	restart_args='/f /r /t 300'
	restart_command="%SystemRoot%\\System32\\shutdown.exe $restart_args"
	: "${WINEPREFIX:?needs the private prefix made by wine_prefix.sh}"
	: "${RECORDER_EXE:?needs the recorder built for the prefix}"
	# Refuse to run anything if the prefix's shutdown.exe is not ours.
	cmp -s "$RECORDER_EXE" "$WINEPREFIX/drive_c/windows/system32/shutdown.exe" ||
		fail "system32/shutdown.exe in $WINEPREFIX is not the recorder"
	[ "${WINEDLLOVERRIDES:-}" = shutdown.exe=n ] ||
		fail "WINEDLLOVERRIDES must make Wine run the recorder"
	launcher=("$(command -v wine)")
	line_end=$'\r\n'
	;;
*)
	fail "unknown mode"
	;;
esac

source "$(dirname "$0")/local_hour.sh"

# A case may start the program through a parent of its own (a command
# line that ends with exec'ing the program): perl, found before PATH is
# narrowed.
perl=$(command -v perl)
parent=()

# launch HOUR DIR [ARG...]: starts the program in DIR at local hour HOUR,
# or in the time zone $zone when that is set, with the recorder's
# directory as its whole PATH. Every run goes through here.
launch() {
	local hour=$1 dir=$2 tz
	shift 2
	tz=${zone:-$(tz_for_hour "$hour")}
	(cd "$dir" && PATH=$bin TZ=$tz exec "${parent[@]}" "${launcher[@]}" "$program" "$@")
}

# run TAG HOUR DIR [ARG...]: one run; its output, errors and exit status
# are kept under TAG.
run() {
	local tag=$1 status=0
	shift
	launch "$@" >"$work/$tag.out" 2>"$work/$tag.err" </dev/null || status=$?
	echo "$status" >"$work/$tag.status"
}

new_dir() {
	mktemp -d "$work/dir.XXXXXX"
}

expect_status() {
	local got
	got=$(cat "$work/$1.status")
	[ "$got" = "$2" ] || fail "run $1 exited $got, not $2; stderr: $(cat "$work/$1.err")"
}

expect_no_errors() {
	[ ! -s "$work/$1.err" ] || fail "run $1 wrote on stderr: $(cat "$work/$1.err")"
}

# The report's first message, which every run prints.
intro="Checks to see if it's 1pm and if a file exists, then reboots based on that.
If the file exists, then we don't reboot. The file is deleted at 3pm"

# expect_report TAG HOUR OUTCOME: the report of run TAG, byte for byte.
# OUTCOME says what the reboot check found: found, requested (the marker
# was made and the recorder ran, printing its own line), raced (another run
# made the marker first) or none (not the reboot hour).
expect_report() {
	local tag=$1 hour=$2 outcome=$3 text time_line expected
	text=$(cat "$work/$tag.out"; echo x)
	text=${text%x}
	if [ "$line_end" != $'\n' ]; then
		# Every line end must be the host's own.
		[ "$(printf '%s' "$text" | tr -cd '\n' | wc -c)" = \
		  "$(printf '%s' "$text" | grep -c $'\r$' || true)" ] ||
			fail "run $tag: line ends are not all \\r\\n"
		text=${text//$'\r'/}
	fi
	# The time line is the C library's asctime text; its day of month is
	# padded with a zero or a space depending on the library.
	time_line=$(printf '%s\n' "$text" | sed -n 3p)
	[[ $time_line =~ ^Current\ local\ time\ and\ date:\ [A-Z][a-z]{2}\ [A-Z][a-z]{2}\ [\ 0-9][0-9]\ $(printf %02d "$hour"):[0-5][0-9]:[0-5][0-9]\ [0-9]{4}$ ]] ||
		fail "run $tag: time line '$time_line' is not at hour $hour"
	expected="$intro
$time_line

Checking if matched 1am (1 in 24hour time). Hour is: $hour
"
	case $outcome in
	none) expected+=$'- Not matched\n\n' ;;
	found) expected+=$'- Matched\n\nChecking if we have rebooted today\n- File found, not going to reboot\n' ;;
	requested) expected+=$'- Matched\n\nChecking if we have rebooted today\n- File not found, going to create file and reboot in 5mins\nrecorder: shutdown called\n' ;;
	raced) expected+=$'- Matched\n\nChecking if we have rebooted today\n- File not found, going to create file and reboot in 5mins\n' ;;
	esac
	expected+="Checking if matching for 3pm (15 in 24hour time) so rebooted.txt file can be deleted. Hour is: $hour
"
	if [ "$hour" = 15 ]; then expected+='- Matched'; else expected+='- Not matched'; fi
	[ "$text" = "$expected" ] ||
		fail "run $tag: report differs:$(diff <(printf '%s\n' "$expected") <(printf '%s\n' "$text") || true)"
}

# expect_requests DIR N: the recorder ran N times from DIR, each time with
# the restart arguments and with the marker already in place.
expect_requests() {
	local log=$1/shutdown-calls.log count=0 line
	if [ -e "$log" ]; then
		while IFS= read -r line; do
			[ "$line" = "args=$restart_args marker=yes" ] ||
				fail "recorder saw '$line'"
			count=$(( count + 1 ))
		done < <(tr -d '\r' <"$log")
	fi
	[ "$count" = "$2" ] || fail "$count restart requests in $1, not $2"
}

expect_marker() {
	[ "$(cat "$1/rebooted.txt")" = Rebooted ] || fail "marker in $1 is not 'Rebooted'"
	[ "$(wc -c <"$1/rebooted.txt")" = 8 ] || fail "marker in $1 is not 8 bytes"
}

expect_no_marker() {
	[ ! -e "$1/rebooted.txt" ] && [ ! -L "$1/rebooted.txt" ] ||
		fail "marker still in $1"
}

# Plain runs that must succeed with the given report.
expect_run() {
	local tag=$1 hour=$2 dir=$3 outcome=$4
	shift 4
	run "$tag" "$hour" "$dir" "$@"
	expect_status "$tag" 0
	expect_no_errors "$tag"
	expect_report "$tag" "$hour" "$outcome"
}

outcome_for_hour() {
	if [ "$1" = 1 ]; then echo "$2"; else echo none; fi
}

# The cases.

whole_day() {
	local dir hour
	dir=$(new_dir)
	for hour in $(seq 0 23) 0 1; do
		if [ "$hour" = 1 ]; then
			expect_run "h$hour" "$hour" "$dir" requested
			expect_marker "$dir"
		else
			expect_run "h$hour" "$hour" "$dir" none
		fi
		if [ "$hour" = 15 ]; then expect_no_marker "$dir"; fi
	done
	expect_requests "$dir" 2
}

second_run_in_hour_1() {
	local dir
	dir=$(new_dir)
	expect_run first 1 "$dir" requested
	expect_run second 1 "$dir" found
	expect_marker "$dir"
	expect_requests "$dir" 1
}

clearing_at_15() {
	local dir
	dir=$(new_dir)
	printf 'put here by hand\n' >"$dir/rebooted.txt"
	expect_run blocked 1 "$dir" found
	expect_run clear 15 "$dir" none
	expect_no_marker "$dir"
	# Nothing left to clear: silent, and still a success.
	expect_run clear_again 15 "$dir" none
	expect_run next_day 1 "$dir" requested
	expect_requests "$dir" 1
}

# A marker that is a link to nothing: the target must never be created
# and no restart requested.
dangling_link_marker() {
	local dir
	dir=$(new_dir)
	ln -s never-created "$dir/rebooted.txt"
	run link 1 "$dir"
	expect_status link 0
	expect_no_errors link
	if [ "$mode" = native ]; then
		expect_report link 1 found
	else
		# Wine shows a dangling link as no file at all, and the exclusive
		# creation then finds the name taken.
		expect_report link 1 raced
	fi
	[ ! -e "$dir/never-created" ] || fail "the link's target was created"
	[ -L "$dir/rebooted.txt" ] || fail "the link was replaced"
	expect_requests "$dir" 0
}

concurrent_runs_in_hour_1() {
	local dir i requested=0 tag
	dir=$(new_dir)
	for i in $(seq 1 8); do
		run "c$i" 1 "$dir" &
	done
	wait
	for i in $(seq 1 8); do
		tag=c$i
		expect_status "$tag" 0
		expect_no_errors "$tag"
		if grep -q 'recorder: shutdown called' "$work/$tag.out"; then
			expect_report "$tag" 1 requested
			requested=$(( requested + 1 ))
		elif grep -q 'File found' "$work/$tag.out"; then
			expect_report "$tag" 1 found
		else
			expect_report "$tag" 1 raced
		fi
	done
	[ "$requested" = 1 ] || fail "$requested runs requested a restart"
	expect_requests "$dir" 1
	expect_marker "$dir"
}

failing_restart_command() {
	local dir said events expected
	dir=$(new_dir)
	# Under Wine, each event the program reports shows on Wine's eventlog
	# channel: the request as a trace, the failure as an error.
	RECORDER_STATUS=3 WINEDEBUG=-all,trace+eventlog,err+eventlog run refused 1 "$dir"
	expect_status refused 1
	expect_report refused 1 requested
	said="reboot_guard: $restart_command: exit status 3; rebooted.txt stays, so this hour will not retry"
	[ "$(grep -v ':eventlog:' "$work/refused.err" | tr -d '\r')" = "$said" ] ||
		fail "stderr: $(cat "$work/refused.err")"
	if [ "$mode" = wine ]; then
		events=$(sed -n 's/^[0-9a-f]*:\([a-z]*:eventlog:ReportEventW .*\)/\1/p' "$work/refused.err")
		expected="trace:eventlog:ReportEventW L\"reboot_guard: requesting a restart: $restart_command\"
err:eventlog:ReportEventW L\"$said\""
		[ "$events" = "${expected//\\/\\\\}" ] || fail "events: $events"
	fi
	expect_marker "$dir"
	expect_run later 1 "$dir" found
	expect_requests "$dir" 1
	# On Windows, a shutdown that someone else scheduled makes shutdown.exe
	# answer 1190: the run leaves it, says so in a warning and succeeds.
	[ "$mode" = wine ] || return 0
	dir=$(new_dir)
	RECORDER_STATUS=1190 WINEDEBUG=-all,warn+eventlog run scheduled 1 "$dir"
	expect_status scheduled 0
	expect_report scheduled 1 requested
	said="reboot_guard: a shutdown is already scheduled; this run requested none"
	[ "$(grep -v ':eventlog:' "$work/scheduled.err" | tr -d '\r')" = "$said" ] ||
		fail "stderr: $(cat "$work/scheduled.err")"
	grep -q "^[0-9a-f]*:warn:eventlog:ReportEventW L\"$said\"" "$work/scheduled.err" ||
		fail "no warning event: $(cat "$work/scheduled.err")"
	expect_marker "$dir"
	expect_requests "$dir" 1
}

# Programs named shutdown in the working directory must never run.
planted_shutdown_programs() {
	local dir
	dir=$(new_dir)
	printf '#!/bin/sh\necho planted >planted-ran\n' >"$dir/shutdown"
	chmod +x "$dir/shutdown"
	printf '@echo planted>planted-ran\r\n' >"$dir/shutdown.bat"
	printf '@echo planted>planted-ran\r\n' >"$dir/shutdown.cmd"
	expect_run planted 1 "$dir" requested
	[ ! -e "$dir/planted-ran" ] || fail "a planted shutdown ran"
	expect_requests "$dir" 1
}

arguments_ignored() {
	local dir
	dir=$(new_dir)
	expect_run args1 1 "$dir" requested --help /? 15 -n
	expect_run args2 1 "$dir" found --force
	expect_run args15 15 "$dir" none 1 --hour=1
	expect_no_marker "$dir"
	expect_requests "$dir" 1
	# So is TZ on Windows, which takes the system's zone: Wine makes that
	# from the TZ it starts with, and one that cmd sets in the Windows
	# environment alone does not move the hour.
	[ "$mode" = wine ] || return 0
	local windows_path
	windows_path=$(winepath -w "$program" 2>/dev/null)
	local launcher=("${launcher[@]}" cmd /c)
	local program="set TZ=$(tz_for_hour 12)&& $windows_path"
	expect_run windows_tz 1 "$dir" requested
	expect_requests "$dir" 2
}

# Each working directory has its own marker.
separate_directories() {
	local first second
	first=$(new_dir)
	second=$(new_dir)
	expect_run first 1 "$first" requested
	expect_run second 1 "$second" requested
	expect_run first_again 1 "$first" found
	expect_requests "$first" 1
	expect_requests "$second" 1
}

# A scheduled task may have no console and no standard output at all: the
# run must still do its work, and exit 0.
no_standard_output() {
	local dir status=0
	dir=$(new_dir)
	launch 1 "$dir" >&- 2>&- </dev/null || status=$?
	[ "$status" = 0 ] || fail "exited $status without standard output"
	expect_marker "$dir"
	expect_requests "$dir" 1
}

# A log reader that has gone away: the reader's end of the pipe is closed
# before the program starts, which has SIGPIPE at its default as a shell
# leaves it. The report is lost; the restart must not be.
closed_pipe_in_hour_1() {
	local dir
	dir=$(new_dir)
	parent=("$perl" -e 'pipe(my $r, my $w) or die; close $r;
		open(STDOUT, ">&", $w) or die; $SIG{PIPE} = "DEFAULT"; exec @ARGV')
	run dead_reader 1 "$dir"
	parent=()
	expect_status dead_reader 0
	expect_no_errors dead_reader
	expect_marker "$dir"
	expect_requests "$dir" 1
}

# The report and standard error in one log, as `>>log 2>&1` makes it: a
# failure after the report's open last line starts a line of its own.
shared_log_file() {
	local dir status=0
	dir=$(new_dir)
	mkdir -p "$dir/rebooted.txt/kept"
	launch 15 "$dir" >"$work/shared.log" 2>&1 </dev/null || status=$?
	[ "$status" = 1 ] || fail "exited $status with a marker it cannot clear"
	[ "$(tail -n 2 "$work/shared.log" | tr -d '\r')" = "- Matched
reboot_guard: rebooted.txt: Directory not empty; the marker stays and blocks the next restart" ] ||
		fail "the log ends: $(tail -n 2 "$work/shared.log")"
	# Standard error as the journal, which JOURNAL_STREAM names: the line
	# carries the journal's level for errors.
	[ "$mode" = native ] || return 0
	: >"$work/journal.err"
	JOURNAL_STREAM=$(stat -c %d:%i "$work/journal.err") launch 15 "$dir" \
		>/dev/null 2>>"$work/journal.err" </dev/null || true
	[ "$(cat "$work/journal.err")" = "<3>reboot_guard: rebooted.txt: Directory not empty; the marker stays and blocks the next restart" ] ||
		fail "the journal's line: $(cat "$work/journal.err")"
}

# A parent that ignores SIGCHLD passes that on; the request it made must
# still count as made.
sigchld_ignored() {
	local dir
	dir=$(new_dir)
	parent=("$perl" -e '$SIG{CHLD} = "IGNORE"; exec @ARGV')
	expect_run ignoring 1 "$dir" requested
	parent=()
	expect_marker "$dir"
	expect_requests "$dir" 1
}

# Past a file-size limit the marker cannot be written: the run says so,
# leaves no marker and requests nothing, and the first run without the
# limit restarts. Standard error goes through a pipe, which has no limit.
file_size_limit() {
	local dir said status=0
	dir=$(new_dir)
	said=$( (ulimit -f 0; launch 1 "$dir" 2>&1 >/dev/null </dev/null) ) || status=$?
	[ "$status" = 1 ] || fail "exited $status past the limit; said: $said"
	[ "$said" = "reboot_guard: rebooted.txt: File too large; no restart requested" ] ||
		fail "said: $said"
	expect_no_marker "$dir"
	expect_requests "$dir" 0
	expect_run after_limit 1 "$dir" requested
	expect_requests "$dir" 1
}

# A zone name without its file (as Debian 13 keeps the old names apart)
# would be UTC in silence, and a rule or a zone file whose rule at its end
# is cut short would be read in part: the run stops after its first
# message. A rule needs no file.
unknown_time_zone() {
	local dir tag zone why sign noon=$work/zones/Test/Noon
	dir=$(new_dir)
	mkdir "$work/no-zones"
	[ -f /usr/share/zoneinfo/Europe/Berlin ] || skip "needs the system's zone files (tzdata)"
	# A zone at hour 12 as zic makes it since 2020 (slim: after its last
	# change, the rule at its end is the whole zone), and cut in that rule.
	# POSIX counts offsets west, zic east.
	zone=$(tz_for_hour 12)
	sign=-
	[ "${zone:3:1}" != - ] || sign=
	printf 'Zone Test/Noon %s%s - XYZ\n' "$sign" "${zone:4}" >"$work/noon.zi"
	zic -b slim -d "$work/zones" "$work/noon.zi"
	head -c -3 "$noon" >"$noon.cut"
	# The same zone as zic -r makes it, its data ended a day ago; and a
	# file with no types, on which glibc's tzset crashes.
	zic -b slim -r "/@$(( $(date +%s) - 86400 ))" -d "$work/ranged" "$work/noon.zi"
	{ printf 'TZif2'; head -c 39 /dev/zero; printf 'TZif2'; head -c 39 /dev/zero
		printf '\nXYZ-5\n'; } >"$work/typeless"
	while read -r tag zone why; do
		TZDIR=$work/no-zones zone=$zone run "$tag" 1 "$dir"
		expect_status "$tag" 1
		[ "$(cat "$work/$tag.out")" = "$intro" ] ||
			fail "run $tag: the report went on: $(cat "$work/$tag.out")"
		[ "$(cat "$work/$tag.err")" = "reboot_guard: unknown time zone $zone: $why" ] ||
			fail "run $tag: stderr: $(cat "$work/$tag.err")"
	done <<-ZONES
	legacy US/Eastern No such file or directory
	cut $noon.cut not a time zone file
	typeless $work/typeless not a time zone file
	ranged $work/ranged/Test/Noon its data end before now, and no rule follows them
	undated CET-1CEST its summer time names no dates: write them, as in CET-1CEST,M3.5.0,M10.5.0/3, or name the zone, as Europe/Berlin
	ZONES
	expect_no_marker "$dir"
	zone=$noon expect_run slim 12 "$dir" none
	TZDIR=$work/no-zones expect_run rule 1 "$dir" requested
	expect_requests "$dir" 1
	# The host's zone: Berlin whole in length but without its rule, the
	# zone above cut, and with a type glibc refuses, in a mount namespace
	# of the run's own, as root and as a setuid copy run by nobody, for
	# which glibc opens the host's zone by its own path alone.
	[ "$(id -u)" = 0 ] && [ -z "${REBOOT_GUARD_EMULATOR:-}" ] &&
		unshare -m sh -c 'mount -t tmpfs tmpfs /etc' 2>/dev/null || return 0
	local berlin=/usr/share/zoneinfo/Europe/Berlin rule file who as target status
	rule=$(tail -n 1 "$berlin")
	head -c $(( $(wc -c <"$berlin") - ${#rule} - 2 )) "$berlin" >"$work/no-rule"
	# The first type's summer-time flag, after the second header.
	perl -0777 -pe 'my @c = unpack "N6", substr($_, 20, 24);
		my $at = 44 + $c[3] * 5 + $c[4] * 6 + $c[5] + $c[2] * 8 + $c[1] + $c[0];
		my @d = unpack "N6", substr($_, $at + 20, 24);
		substr($_, $at + 44 + $d[3] * 9 + 4, 1) = "\x7f"' "$noon" >"$noon.bad"
	install -m 4755 "$program" "$work/setuid"
	chmod 755 "$work" "$dir"
	for file in "$work/no-rule" "$noon.cut" "$noon.bad" "$noon"; do
		for who in root nobody; do
			tag=host_${file##*/}_$who as=() target=$program
			if [ "$who" = nobody ]; then
				as=("$(command -v setpriv)" --reuid=65534 --regid=65534 --clear-groups)
				target=$work/setuid
			fi
			(cd "$dir" && env -u TZ ASAN_OPTIONS=detect_leaks=0 unshare -m sh -c 'mount -t tmpfs tmpfs /etc &&
				ln -s "$1" /etc/localtime && PATH=$2 && shift 2 && exec "$@"' sh "$file" "$bin" \
				"${as[@]}" "$target") \
				>"$work/$tag.out" 2>"$work/$tag.err" </dev/null && status=0 || status=$?
			echo "$status" >"$work/$tag.status"
			if [ "$file" = "$noon" ]; then
				expect_status "$tag" 0
				expect_report "$tag" 12 none
			else
				expect_status "$tag" 1
				[ "$(cat "$work/$tag.err")" = \
					"reboot_guard: unknown time zone /etc/localtime -> $file: not a time zone file" ] ||
					fail "run $tag: stderr: $(cat "$work/$tag.err")"
			fi
		done
	done
	expect_requests "$dir" 1
}

# logind's schedule of another's shutdown, in a mount namespace of the
# run's own: one due in this hour stands in for the restart and keeps the
# marker; one due later leaves none, so that the first run after it is
# cancelled restarts; one in the past, a dry run and one without a time
# are no shutdown. The journal files the line as a warning.
other_shutdown_scheduled() {
	local tag due lines outcome dir said now
	[ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null || skip "needs root and a mount namespace"
	parent=("$(command -v unshare)" -m "$(command -v sh)" -c 'path=$PATH
		PATH=/usr/sbin:/usr/bin:/sbin:/bin
		mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/shutdown && {
			if [ -p "$0" ]; then mkfifo /run/systemd/shutdown/scheduled
			elif [ -s "$0" ]; then cp "$0" /run/systemd/shutdown/scheduled; fi; } &&
		PATH=$path exec "$@"' "$work/scheduled")
	while read -r tag due lines outcome; do
		dir=$(new_dir)
		now=$(date +%s)
		rm -f "$work/scheduled"
		if [ "$lines" = fifo ]; then
			mkfifo "$work/scheduled"
		else
			# A wall message, escaped as systemd escapes it, of up to 4
			# KB and past: size=N makes the file N bytes.
			{
				[ "$due" = - ] || echo "USEC=$(( (now + due) * 1000000 ))"
				printf '%s\n' ${lines//,/ } | grep -v '^size='
			} >"$work/scheduled"
			if [[ $lines =~ size=([0-9]+) ]]; then
				local pad=$(( BASH_REMATCH[1] - $(wc -c <"$work/scheduled") - 14 ))
				printf 'WALL_MESSAGE=%s\n' "$(head -c "$pad" /dev/zero | tr '\0' x)" >>"$work/scheduled"
			fi
		fi
		: >"$work/$tag.err"
		JOURNAL_STREAM=$(stat -c %d:%i "$work/$tag.err") run "$tag" 1 "$dir"
		expect_status "$tag" 0
		case $outcome in
		marker)
			expect_report "$tag" 1 raced
			said="<4>reboot_guard: a shutdown is already scheduled; this run requested none"
			expect_marker "$dir" ;;
		none)
			expect_report "$tag" 1 raced
			said="<4>reboot_guard: a shutdown is already scheduled, due in 180 minutes, after this hour; this run requested none and made no marker"
			expect_no_marker "$dir"
			# Cancelled: the next run of the hour restarts.
			: >"$work/scheduled"
			expect_run "${tag}_cancelled" 1 "$dir" requested ;;
		requested)
			expect_report "$tag" 1 requested
			said=
			expect_marker "$dir" ;;
		esac
		[ "$(cat "$work/$tag.err")" = "$said" ] || fail "run $tag: stderr: $(cat "$work/$tag.err")"
		expect_requests "$dir" "$([ "$outcome" = marker ] && echo 0 || echo 1)"
	done <<-ROWS
	this_hour 600 WARN_WALL=1,MODE=reboot,WALL_MESSAGE=Back\tsoon marker
	later 10800 WARN_WALL=1,MODE=poweroff,UID=0,TTY=pts/0,WALL_MESSAGE=Off\ttonight\x21 none
	at_4k 600 WARN_WALL=1,MODE=poweroff,UID=1000,TTY=pts/1,size=4096 marker
	past_4k 600 WARN_WALL=1,MODE=poweroff,UID=1000,TTY=pts/1,size=5000 marker
	past -600 WARN_WALL=0,MODE=poweroff requested
	no_time - WARN_WALL=1,MODE=poweroff requested
	fifo - fifo requested
	ROWS
	parent=()
}

# The marker reaches the disk before the restart is asked for: its
# exclusive creation, its content, its fsync, the fsync of its directory,
# then the command, in that order.
durable_steps_in_hour_1() {
	local dir steps
	dir=$(new_dir)
	command -v strace >/dev/null || skip "needs strace (apt-get install strace)"
	[ -z "${REBOOT_GUARD_EMULATOR:-}" ] || skip "strace would trace the emulator"
	parent=("$(command -v strace)" -f -qq -o "$work/trace" -e trace=openat,write,fsync,execve)
	# A sanitizer build's leak check cannot work under ptrace.
	ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 expect_run traced 1 "$dir" requested
	parent=()
	expect_requests "$dir" 1
	steps=$(sed -nE 's/^[0-9]+ +//
		s/^openat\(AT_FDCWD, "rebooted.txt", O_WRONLY\|O_CREAT\|O_EXCL[^)]*\) = ([0-9]+)$/create \1/p
		s/^write\(([0-9]+), "Rebooted", 8\) += 8$/write \1/p
		s/^openat\(AT_FDCWD, "\.", O_RDONLY[^)]*O_DIRECTORY[^)]*\) = ([0-9]+)$/folder \1/p
		s/^fsync\(([0-9]+)\) += 0$/fsync \1/p
		s/^execve\("\/bin\/sh".*/command/p' "$work/trace" | paste -sd ' ')
	[[ $steps =~ ^create\ ([0-9]+)\ write\ ([0-9]+)\ fsync\ ([0-9]+)\ folder\ ([0-9]+)\ fsync\ ([0-9]+)\ command$ ]] &&
		[ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] && [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[3]}" ] &&
		[ "${BASH_REMATCH[4]}" = "${BASH_REMATCH[5]}" ] ||
		fail "the durable steps: $steps"
}

declare -F "$case_name" >/dev/null || fail "no such case"
"$case_name"
echo "ok ($mode $case_name)"
