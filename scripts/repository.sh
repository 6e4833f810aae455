#!/usr/bin/env bash
# Writes the signed package repositories of a release into OUT_DIR, ready
# to be published as they are on any static web host, with the files an
# administrator drops in to use them:
#   deb/                  an APT repository: suite and codename stable,
#                         component main, amd64 and arm64
#   rpm/x86_64/, rpm/aarch64/   an RPM repository each, repomd.xml signed
#   reboot-guard.asc, reboot-guard.gpg   the public key, armoured and binary
#   reboot-guard.sources  for apt, in /etc/apt/sources.list.d/
#   reboot-guard.repo     for dnf and zypper, in /etc/yum.repos.d/
# Every signature is made at SOURCE_DATE_EPOCH (or the key's creation),
# so the same packages and key give the same bytes.
#
# usage: repository.sh OUT_DIR KEY PACKAGE...
# REBOOT_GUARD_REPO_URL is where OUT_DIR will be published.
set -euo pipefail
out=$1 key=$2
shift 2
source "$(dirname "$0")/openpgp.sh"
: "${SOURCE_DATE_EPOCH:?is the time of the release}"
export LC_ALL=C TZ=UTC
url=${REBOOT_GUARD_REPO_URL:-https://example.invalid/set-REBOOT_GUARD_REPO_URL}
url=${url%/}

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
pool=$out/deb/pool/main/r/reboot-guard
mkdir -p "$pool"
for package; do
	case $package in
	*.deb) cp "$package" "$pool/" ;;
	*.rpm)
		arch=$(rpm -qp --qf '%{ARCH}' "$package")
		mkdir -p "$out/rpm/$arch"
		cp "$package" "$out/rpm/$arch/"
		;;
	esac
done
# createrepo_c records each package's time; every file gets the release's.
find "$out" -type f -exec touch -d "@$SOURCE_DATE_EPOCH" {} +

# APT: an index per architecture, and the Release that lists the indexes'
# hashes, signed inline (InRelease) and apart (Release.gpg, for older apt).
(
	cd "$out/deb"
	for arch in amd64 arm64; do
		dir=dists/stable/main/binary-$arch
		mkdir -p "$dir"
		apt-ftparchive --arch "$arch" packages pool >"$dir/Packages"
		gzip -9nc "$dir/Packages" >"$dir/Packages.gz"
		xz -9c "$dir/Packages" >"$dir/Packages.xz"
	done
	fields=(Origin=reboot_guard Label=reboot_guard Suite=stable Codename=stable
		Components=main "Architectures=amd64 arm64"
		"Date=$(date -R -d "@$SOURCE_DATE_EPOCH")" Acquire-By-Hash=yes)
	options=(-o APT::FTPArchive::DoByHash=yes)
	for field in "${fields[@]}"; do
		options+=(-o "APT::FTPArchive::Release::$field")
	done
	apt-ftparchive "${options[@]}" release dists/stable >"$out/Release"
	mv "$out/Release" dists/stable/Release
	openpgp_sign "$key" --clearsign -o dists/stable/InRelease dists/stable/Release
	openpgp_sign "$key" --armor --detach-sign -o dists/stable/Release.gpg dists/stable/Release
)

# RPM: one repository per architecture, its repomd.xml signed apart.
for dir in "$out"/rpm/*/; do
	createrepo_c --quiet --no-database --revision "$SOURCE_DATE_EPOCH" \
		--set-timestamp-to-revision "$dir" >/dev/null
	openpgp_sign "$key" --armor --detach-sign -o "$dir/repodata/repomd.xml.asc" \
		"$dir/repodata/repomd.xml"
done

gpg --batch --export-options export-minimal --armor --export "$key" >"$out/reboot-guard.asc"
gpg --batch --export-options export-minimal --export "$key" >"$out/reboot-guard.gpg"
cat >"$out/reboot-guard.sources" <<EOF
Types: deb
URIs: $url/deb
Suites: stable
Components: main
Signed-By: /etc/apt/keyrings/reboot-guard.gpg
EOF
cat >"$out/reboot-guard.repo" <<EOF
[reboot-guard]
name=reboot_guard
baseurl=$url/rpm/\$basearch
enabled=1
gpgcheck=1
repo_gpgcheck=1
pkg_gpgcheck=1
gpgkey=$url/reboot-guard.asc
EOF
find "$out" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
echo "repositories: $out (to be published at $url)"
