#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from its seeds: zone files
# taken from the system's at run time, or the rules and schedules below.
# A crash, a sanitizer's report or a failed check fails it.
#
# usage: run.sh TARGET SECONDS WORK
set -euo pipefail
target=$1 seconds=$2 work=$3
name=$(basename "$target")
seeds=$work/$name-seeds corpus=$work/$name-corpus
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus"
seed() { printf '%b' "$2" >"$seeds/$1"; }
case $name in
fuzz_zone_file)
	for zone in Europe/Berlin America/New_York Australia/Sydney Asia/Kolkata \
		UTC right/Europe/Berlin; do
		[ ! -f "/usr/share/zoneinfo/$zone" ] || cp "/usr/share/zoneinfo/$zone" "$seeds/${zone//\//_}"
	done
	if command -v zic >/dev/null; then
		printf 'Rule EU 1981 max - Mar lastSun 1:00u 1:00 S\nRule EU 1996 max - Oct lastSun 1:00u 0 -\nZone Test/Slim 1:00 EU CE%%sT\n' >"$work/slim.zi"
		zic -b slim -d "$work/zic" "$work/slim.zi" && cp "$work/zic/Test/Slim" "$seeds/slim"
	fi ;;
fuzz_rule)
	n=0
	for rule in CET-1CEST,M3.5.0,M10.5.0/3 'AEST-10AEDT,M10.1.0,M4.1.0/3' \
		'<-03>3<-02>,M3.5.0/-2,M10.5.0/-1' EST5EDT,0/0,J365/25 \
		IST-2IDT,M3.4.4/26,M10.5.0 'AAA12BBB,M12.2.6/0,J346/23' XYZ-05:30 \
		'<+0330>-3:30' CET-1CEST; do
		seed $((n += 1)) "$rule"
	done ;;
fuzz_schedule)
	seed 247 'USEC=1796995200000000\nWARN_WALL=1\nMODE=reboot\nWALL_MESSAGE=Back\\tsoon\n'
	seed 257 'USEC=1796995200000000\nWARN_WALL=1\nMODE=poweroff\nUID=0\nTTY=pts/0\nWALL_MESSAGE=Off\\ttonight\n' ;;
esac
"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
	-artifact_prefix="$work/$name-" \
	"$corpus" "$seeds"
