#!/usr/bin/env bash
# Makes the tests' private Wine prefix once and puts the recorder in place
# of system32's shutdown.exe, so that a run under Wine restarts nothing.
set -euo pipefail
: "${WINEPREFIX:?names the private prefix}"
: "${RECORDER_EXE:?names the recorder to install}"
export WINEDEBUG=-all
source "$(dirname "$0")/wine_server.sh"

# Wine's server and helper processes inherit the output of the first
# program started in a prefix and keep it open. Started here, with nowhere
# to write, they cannot hold a test's output open later.
wineserver -k >/dev/null 2>&1 </dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
	# A prefix whose server was killed before it saved the registry (Wine
	# 10 saves it only as the server ends) is half made: make it afresh.
	rm -rf "$WINEPREFIX"
	mkdir -p "$WINEPREFIX"
	# No Mono or Gecko: nothing here needs them, and there is no network.
	WINEDLLOVERRIDES='mscoree,mshtml=' wineboot -i >/dev/null 2>&1 </dev/null
	wineserver -w # until the prefix is made and saved
fi
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit 0 >/dev/null 2>&1 </dev/null

install -m 0755 "$RECORDER_EXE" "$WINEPREFIX/drive_c/windows/system32/shutdown.exe"
echo "recorder installed in $WINEPREFIX"
