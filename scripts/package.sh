#!/usr/bin/env bash
# The release command. Builds the packages into build/packages: the Debian
# packages and the RPMs for amd64/x86_64 and arm64/aarch64 (program, manual
# page, systemd service and timer), the Windows Installer package and the
# Windows zip (program, Task Scheduler definition, README), and SHA256SUMS
# listing them. The same commit gives the same bytes wherever and whenever
# it is built.
#
# Signs them when, and only when, a key is handed over:
#   REBOOT_GUARD_SIGN_PKCS12, REBOOT_GUARD_SIGN_PASSWORD_FILE: Authenticode
#     on reboot_guard.exe (in the zip and the MSI) and on the MSI;
#     REBOOT_GUARD_SIGN_TIMESTAMP_URL adds an RFC 3161 time stamp.
#   REBOOT_GUARD_GPG_KEY: a key, or a new and an old one with a comma
#     between them for the release that rotates them: an OpenPGP
#     signature in the RPM (the first key's), and
#     SHA256SUMS.asc beside the public key, reboot-guard.asc (GNUPGHOME is
#     honoured); with it, the signed APT and RPM repositories in
#     build/repo, which REBOOT_GUARD_REPO_URL says where they will be
#     published, and which hold the packages of REBOOT_GUARD_REPO_PREVIOUS,
#     a copy of the tree published now, too (scripts/repository.sh). A key
#     that expires within 30 days stops it before anything is written.
# Or rebuilds a signed release to compare it with:
#   REBOOT_GUARD_SIGNATURES_FROM: a folder with the release's packages; the
#     program and the MSI get their Authenticode signatures from it.
# Then checks them: lintian on the .debs when it is installed, and the RPMs
# installed into a scratch root.
set -euo pipefail
# Files named relative to where it was started.
absolute() { [ -z "$1" ] || realpath "$1"; }
pkcs12=$(absolute "${REBOOT_GUARD_SIGN_PKCS12:-}")
password_file=$(absolute "${REBOOT_GUARD_SIGN_PASSWORD_FILE:-}")
released=$(absolute "${REBOOT_GUARD_SIGNATURES_FROM:-}")
[ -z "${REBOOT_GUARD_REPO_PREVIOUS:-}" ] ||
	export REBOOT_GUARD_REPO_PREVIOUS=$(absolute "$REBOOT_GUARD_REPO_PREVIOUS")
gpg_key=${REBOOT_GUARD_GPG_KEY:-}
cd "$(dirname "$0")/.."

# What may differ between two machines must not reach the packages.
umask 022
export LC_ALL=C TZ=UTC
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

if [ -n "$pkcs12$password_file" ] && { [ -z "$pkcs12" ] || [ -z "$password_file" ]; }; then
	echo "package.sh: REBOOT_GUARD_SIGN_PKCS12 and REBOOT_GUARD_SIGN_PASSWORD_FILE go together" >&2
	exit 1
fi
if [ -n "$pkcs12" ] && [ -n "$released" ]; then
	echo "package.sh: sign with a key or with a release's signatures, not both" >&2
	exit 1
fi
if [ -z "$pkcs12$gpg_key$released" ]; then
	echo "signing: nothing is signed and no repository is written (no REBOOT_GUARD_SIGN_PKCS12 or REBOOT_GUARD_GPG_KEY given)"
elif [ -z "$gpg_key" ]; then
	echo "repositories: none written, they need REBOOT_GUARD_GPG_KEY"
fi
source scripts/openpgp.sh
authenticode=$pkcs12$released
[ -z "$gpg_key" ] || signing_key_check "$gpg_key" || exit 1

# authenticode FILE RELEASED: signs FILE in place, SHA-256, at the commit's
# time unless a time stamp authority is named; or, rebuilding a release,
# gives it the signature of RELEASED, the release's own copy.
authenticode() {
	if [ -n "$released" ]; then
		osslsigncode extract-signature -in "$2" -out "$1.signature" >/dev/null
		# It checks the signature too, and says so when its CA is unknown;
		# whether the rebuild matches, SHA256SUMS tells.
		osslsigncode attach-signature -sigin "$1.signature" -in "$1" \
			-out "$1.signed" >/dev/null 2>&1 || [ -s "$1.signed" ]
		rm "$1.signature"
	else
		local when=(-time "$SOURCE_DATE_EPOCH")
		[ -z "${REBOOT_GUARD_SIGN_TIMESTAMP_URL:-}" ] || when=(-ts "$REBOOT_GUARD_SIGN_TIMESTAMP_URL")
		osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 \
			-n reboot_guard "${when[@]}" -in "$1" -out "$1.signed" >/dev/null
	fi
	mv "$1.signed" "$1"
}

rm -rf build/packages build/repo
cmake --workflow --preset linux
cmake --workflow --preset linux-arm64

# Windows: the program first, signed before anything packs it; the MSI
# and the zip are made from it, and the MSI is signed last. The program
# is linked again every time, so that no earlier signature stays on it.
cmake --preset windows >/dev/null
rm -f build/windows/reboot_guard.exe
cmake --build --preset windows --target reboot_guard
if [ -n "$authenticode" ]; then
	[ -z "$released" ] || unzip -p "$released"/*.zip '*/reboot_guard.exe' >build/windows/released.exe
	authenticode build/windows/reboot_guard.exe build/windows/released.exe
	rm -f build/windows/released.exe
fi
cmake --build --preset windows --target reboot_guard_msi
(cd build/windows && cpack -G ZIP -B "$PWD/../packages" >/dev/null)
rm -rf build/packages/_CPack_Packages

debs=(build/packages/*.deb)
rpms=(build/packages/*.rpm)
zip=$(ls build/packages/*.zip)
msi=build/packages/$(basename "$zip" .zip).msi
# Signed where it was built, so that the Windows tests of that tree try
# the signed package.
[ -z "$authenticode" ] || authenticode "build/windows/$(basename "$msi")" "$released/$(basename "$msi")"
cp "build/windows/$(basename "$msi")" "$msi"
if [ -n "$gpg_key" ]; then
	# Debian's rpm names a gpg2 that Debian does not have.
	# An RPM carries one signature: the first key's.
	rpmsign --addsign --define "_gpg_name ${gpg_key%%,*}" --define "__gpg $(command -v gpg)" \
		--define "_gpg_sign_cmd_extra_args --faked-system-time $(signing_time "${gpg_key%%,*}")!" \
		"${rpms[@]}" >/dev/null
fi

(cd build/packages && sha256sum -- *.deb *.rpm *.zip *.msi >SHA256SUMS)
if [ -n "$gpg_key" ]; then
	openpgp_sign "$gpg_key" --armor --detach-sign --output build/packages/SHA256SUMS.asc \
		build/packages/SHA256SUMS
	export_keys "$gpg_key" --armor >build/packages/reboot-guard.asc
	scripts/repository.sh build/repo "$gpg_key" "${debs[@]}" "${rpms[@]}"
fi

for deb in "${debs[@]}"; do
	dpkg-deb -c "$deb"
	if command -v lintian >/dev/null; then
		# Lintian refuses to run as root unless told it may.
		lintian --fail-on error --allow-root "$deb"
	else
		echo "lintian: SKIPPED, not installed (apt-get install lintian)"
	fi
done
for rpm in "${rpms[@]}"; do
	tests/packaging/check_rpm.sh "$rpm"
done
unzip -l "$zip" 2>/dev/null || cmake -E tar tf "$zip"
msiinfo export "$msi" File
cat build/packages/SHA256SUMS
echo "packages: ${debs[*]} ${rpms[*]} $zip $msi"
