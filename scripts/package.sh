#!/usr/bin/env bash
# Builds the packages into build/packages: the Debian package and the RPM
# (program, manual page, systemd service and timer), the Windows Installer
# package and the Windows zip (program, Task Scheduler definition, README). Checks them: lintian on the
# .deb when it is installed, and the RPM installed into a scratch root.
set -euo pipefail
cd "$(dirname "$0")/.."

rm -rf build/packages
cmake --workflow --preset linux
cmake --workflow --preset windows-zip

deb=$(ls build/packages/*.deb)
rpm=$(ls build/packages/*.rpm)
zip=$(ls build/packages/*.zip)
msi=build/packages/$(basename "$zip" .zip).msi
cp "build/windows/$(basename "$msi")" "$msi"
dpkg-deb -c "$deb"
if command -v lintian >/dev/null; then
	# Lintian refuses to run as root unless told it may.
	lintian --fail-on error --allow-root "$deb"
else
	echo "lintian: SKIPPED, not installed (apt-get install lintian)"
fi
tests/packaging/check_rpm.sh "$rpm"
unzip -l "$zip" 2>/dev/null || cmake -E tar tf "$zip"
msiinfo export "$msi" File
echo "packages: $deb $rpm $zip $msi"
