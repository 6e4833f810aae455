# The Debian packages that the tests need, leg by leg, in one list:
# scripts/test.sh installs them as root where apt is, and CI those of the
# release as well. Sourced.
native_packages=(cmake ninja-build g++ libgtest-dev googletest binutils
	systemd libxml2-utils mandoc e2fsprogs strace)
# The boot test packs the .deb and the RPM (dpkg-dev, file, rpm), writes
# the repositories (apt-utils, createrepo-c, gnupg, xz-utils), reads them
# with dnf and boots the machines.
boot_packages=(debootstrap qemu-system-x86 dpkg-dev file rpm gnupg apt-utils
	createrepo-c xz-utils dnf)
arm64_packages=(g++-aarch64-linux-gnu qemu-user)
windows_packages=(g++-mingw-w64-x86-64 wine wine64 wixl msitools)
# scripts/package.sh, the release check and the sanitizer build; CI's
# newcomer, in a container.
release_packages=(clang lintian rpmlint man-db osslsigncode openssl unzip
	systemd-container)
test_packages=("${native_packages[@]}" "${boot_packages[@]}"
	"${arm64_packages[@]}" "${windows_packages[@]}")

# missing_packages PACKAGE...: prints those that are not installed.
missing_packages() {
	local package
	for package; do
		dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null |
			grep -q 'install ok installed' || echo "$package"
	done
}

# install_packages PACKAGE...: installs those that are missing, as root
# where apt is; elsewhere says in one line what is missing and how to
# install it.
install_packages() {
	local missing
	command -v dpkg-query >/dev/null && command -v apt-get >/dev/null || return 0
	mapfile -t missing < <(missing_packages "$@")
	[ ${#missing[@]} -gt 0 ] || return 0
	if [ "$(id -u)" != 0 ]; then
		echo "missing: ${missing[*]}; install them with: sudo apt-get install ${missing[*]}"
		return 0
	fi
	echo "installing: ${missing[*]}"
	apt-get update -q
	DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}
