#!/usr/bin/env bash
# Builds and runs every test: the native build (with the packages booted in
# throwaway virtual machines of Debian 11 to 14, which really restart, as
# root), the 64-bit ARM build under qemu-user, then the Windows build under
# Wine. Run as root
# where apt is, it first installs what the legs need; elsewhere it says
# what is missing. Says plainly what it skipped; with
# REBOOT_GUARD_REQUIRE_SYSTEMD=1, REBOOT_GUARD_REQUIRE_ARM64=1 or
# REBOOT_GUARD_REQUIRE_WINDOWS=1 that skip fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dependencies.sh

install_packages "${test_packages[@]}"

cmake --workflow --preset dev

# Each boot test left a line saying what became of it.
for result in build/dev/systemd-boot-*.result; do
	[ -e "$result" ] || continue
	said=$(cat "$result")
	[[ $said == SKIPPED* ]] || said+=" (console: ${result%.result}.log)"
	echo "systemd boot test on $(basename "$result" .result | sed 's/^systemd-boot-//'): $said"
done

# leg NAME REQUIRED PACKAGES TOOL...: says whether the leg's tools are all
# there. Where one is missing, says that the leg is skipped and what
# installs it (the array PACKAGES), or fails where the variable REQUIRED
# is 1.
leg() {
	local name=$1 required=$2 tool
	local -n packages=$3
	shift 3
	for tool; do
		command -v "$tool" >/dev/null && continue
		echo "$name leg: SKIPPED, $tool is missing." \
			"Install it with: apt-get install ${packages[*]}"
		if [ "${!required:-0}" = 1 ]; then
			echo "The $name leg is required here." >&2
			exit 1
		fi
		return 1
	done
}

if leg arm64 REBOOT_GUARD_REQUIRE_ARM64 arm64_packages aarch64-linux-gnu-g++ qemu-aarch64; then
	cmake --workflow --preset arm64
	echo "arm64 leg: ran under qemu-user (build/arm64/reboot_guard)"
fi

if leg Windows REBOOT_GUARD_REQUIRE_WINDOWS windows_packages x86_64-w64-mingw32-g++-posix wine; then
	cmake --workflow --preset windows
	echo "Windows leg: ran (build/windows/reboot_guard.exe)"
fi
