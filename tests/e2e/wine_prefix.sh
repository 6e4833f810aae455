#!/usr/bin/env bash
# Makes the tests' private Wine prefix once and puts the recorder in place
# of system32's shutdown.exe, so that a run under Wine restarts nothing.
set -euo pipefail
: "${WINEPREFIX:?names the private prefix}"
: "${RECORDER_EXE:?names the recorder to install}"
export WINEDEBUG=-all

mkdir -p "$WINEPREFIX"
# Wine's server and helper processes inherit the output of the first
# program started in a prefix and keep it open. Started here, staying up
# and with nowhere to write, they cannot hold a test's output open later.
wineserver -k >/dev/null 2>&1 </dev/null || true
wineserver -p >/dev/null 2>&1 </dev/null
if [ ! -f "$WINEPREFIX/system.reg" ]; then
	# No Mono or Gecko: nothing here needs them, and there is no network.
	WINEDLLOVERRIDES='mscoree,mshtml=' wineboot -i >/dev/null 2>&1 </dev/null
fi
wine cmd /c exit 0 >/dev/null 2>&1 </dev/null

install -m 0755 "$RECORDER_EXE" "$WINEPREFIX/drive_c/windows/system32/shutdown.exe"
echo "recorder installed in $WINEPREFIX"
