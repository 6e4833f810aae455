#!/usr/bin/env bash
# Measures what an ordinary-hour run costs against starting /bin/true:
# hyperfine without a shell, 200 runs each, both in the same call.
# usage: bench/startup.sh [PROGRAM]   (default: build/dev/reboot_guard)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$root/build/dev/reboot_guard}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Local hour 10: neither hour 1 nor 15, so the run only reports. PATH
# holds an empty directory all the same, so that no shutdown could be found.
source "$root/tests/e2e/local_hour.sh"
tz=$(tz_for_hour 10)
mkdir "$work/bin" "$work/run"

cd "$work/run"
TZ=$tz PATH=$work/bin "$(command -v hyperfine)" -N --runs 200 --warmup 20 --output=null \
	--export-json "$work/times.json" /bin/true "$program"
python3 - "$work/times.json" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
true, program = (r["median"] for r in results)
ratio = program / true
print(f"median /bin/true: {true * 1e3:.3f} ms, reboot_guard: {program * 1e3:.3f} ms, "
      f"ratio {ratio:.2f} (goal: at most 0.85)")
sys.exit(0 if ratio <= 0.85 else 1)
PY
