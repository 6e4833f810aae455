# tz_for_hour HOUR: prints a TZ whose local time is HOUR:30 right now, so
# that whoever runs the program at that hour has half an hour's slack on
# either side. POSIX offsets count west: local = UTC - offset. Sourced.
tz_for_hour() {
	local now_minute target offset sign=+
	now_minute=$(( $(date -u +%s) / 60 % 1440 ))
	target=$(( $1 * 60 + 30 ))
	offset=$(( ((now_minute - target) % 1440 + 1440) % 1440 ))
	(( offset > 720 )) && offset=$(( offset - 1440 ))
	(( offset < 0 )) && { sign=-; offset=$(( -offset )); }
	printf 'XYZ%s%02d:%02d:00' "$sign" $(( offset / 60 )) $(( offset % 60 ))
}
