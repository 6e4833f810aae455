#!/usr/bin/env bash
# Builds and runs every test: the native build (with the packages booted in
# throwaway systemd containers, as root with debootstrap and
# systemd-nspawn), the 64-bit ARM build under qemu-user when the cross
# compiler and qemu-user are installed, then the Windows build under Wine
# when MinGW-w64 and Wine are installed. Says plainly what it skipped; with
# REBOOT_GUARD_REQUIRE_SYSTEMD=1, REBOOT_GUARD_REQUIRE_ARM64=1 or
# REBOOT_GUARD_REQUIRE_WINDOWS=1 that skip fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset dev

if [ "$(id -u)" = 0 ] && command -v debootstrap >/dev/null &&
	command -v systemd-nspawn >/dev/null; then
	echo "systemd boot test: ran on bookworm and bullseye (consoles: build/dev/systemd-boot-*.log)"
else
	# With REBOOT_GUARD_REQUIRE_SYSTEMD=1 the test itself failed already.
	echo "systemd boot test: SKIPPED, it needs root, debootstrap and" \
		"systemd-nspawn (apt-get install debootstrap systemd-container)"
fi

if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
	cmake --workflow --preset arm64
	echo "arm64 leg: ran under qemu-user (build/arm64/reboot_guard)"
else
	echo "arm64 leg: SKIPPED, the cross compiler or qemu-user is missing." \
		"Install them with: apt-get install g++-aarch64-linux-gnu qemu-user"
	if [ "${REBOOT_GUARD_REQUIRE_ARM64:-0}" = 1 ]; then
		echo "The arm64 leg is required here." >&2
		exit 1
	fi
fi

if command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
	command -v wine >/dev/null; then
	cmake --workflow --preset windows
	echo "Windows leg: ran (build/windows/reboot_guard.exe)"
else
	echo "Windows leg: SKIPPED, MinGW-w64 or Wine is missing." \
		"Install them with: apt-get install g++-mingw-w64-x86-64 wine wine64"
	if [ "${REBOOT_GUARD_REQUIRE_WINDOWS:-0}" = 1 ]; then
		echo "The Windows leg is required here." >&2
		exit 1
	fi
fi
