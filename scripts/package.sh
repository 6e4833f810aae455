#!/usr/bin/env bash
# Builds both packages into build/packages: the Debian package (program,
# systemd service and timer) and the Windows zip (program, Task Scheduler
# definition, README). Runs lintian on the .deb when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

rm -rf build/packages
cmake --workflow --preset deb
cmake --workflow --preset windows-zip

deb=$(ls build/packages/*.deb)
zip=$(ls build/packages/*.zip)
dpkg-deb -c "$deb"
if command -v lintian >/dev/null; then
	# Lintian refuses to run as root unless told it may.
	lintian --fail-on error --allow-root "$deb"
else
	echo "lintian: SKIPPED, not installed (apt-get install lintian)"
fi
unzip -l "$zip" 2>/dev/null || cmake -E tar tf "$zip"
echo "packages: $deb $zip"
