#!/usr/bin/env bash
# Writes the signed package repositories of a release into OUT_DIR, ready
# to be published on any static web host, with the files an administrator
# drops in to use them:
#   deb/                  an APT repository: suite and codename stable,
#                         component main, amd64 and arm64
#   rpm/x86_64/, rpm/aarch64/   an RPM repository each, repomd.xml signed,
#                         the public key beside it as repomd.xml.key
#   reboot-guard.asc, reboot-guard.gpg   the public keys, armoured and binary
#   reboot-guard.sources  for apt, in /etc/apt/sources.list.d/
#   reboot-guard.repo     for dnf and zypper, in /etc/yum.repos.d/
# Every signature is made at SOURCE_DATE_EPOCH, or later where the key was
# made or last changed then (openpgp.sh), so the same packages and key
# give the same bytes. The packages carry SOURCE_DATE_EPOCH as their time;
# the indexes the time they were written, so that a client sees a tree
# signed anew even where it is copied with its times.
#
# usage: repository.sh OUT_DIR KEYS PACKAGE...   (KEYS: openpgp.sh)
# REBOOT_GUARD_REPO_URL is where OUT_DIR will be published, and
# REBOOT_GUARD_REPO_PREVIOUS the tree published there now (a copy of it):
# its packages stay beside this release's, and so do its indexes' by-hash
# files, for clients that have not read the new ones yet.
set -euo pipefail
out=$1 key=$2
shift 2
previous=${REBOOT_GUARD_REPO_PREVIOUS:-}
[ -z "$previous" ] || previous=$(realpath "$previous")
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
# place PACKAGE: where in the tree PACKAGE goes.
place() {
	case $1 in
	*.deb) echo "$pool/${1##*/}" ;;
	*.rpm) echo "$out/rpm/$(rpm -qp --qf '%{ARCH}' "$1")/${1##*/}" ;;
	esac
}
# contents PACKAGE: what makes two packages of one version the same: every
# byte of a .deb; an RPM's header and payload, whatever signs them.
contents() {
	case $1 in
	*.deb) sha256sum <"$1" ;;
	*.rpm) rpm -qp --qf '%{SHA256HEADER} %{PAYLOADDIGEST}\n' "$1" ;;
	esac
}
# One version is one set of contents, forever: a package of the tree
# published now stays as it is, signature and all, and this release may
# hold another file of that version only with the same contents.
for package; do
	target=$(place "$package")
	published=$previous/${target#"$out/"}
	if [ -n "$previous" ] && [ -e "$published" ]; then
		[ "$(contents "$package")" = "$(contents "$published")" ] || {
			echo "repository.sh: $package and $published are one version with other contents:" \
				"a version is published once" >&2
			exit 1
		}
		continue
	fi
	mkdir -p "$(dirname "$target")"
	cp "$package" "$target"
done
if [ -n "$previous" ]; then
	for package in "$previous"/deb/pool/main/r/reboot-guard/*.deb "$previous"/rpm/*/*.rpm; do
		[ -e "$package" ] || continue
		mkdir -p "$(dirname "$(place "$package")")"
		cp -n "$package" "$(place "$package")"
	done
	for index in "$previous"/deb/dists/stable/main/binary-*/by-hash; do
		[ -d "$index" ] || continue
		mkdir -p "$out/deb/${index#"$previous/deb/"}"
		cp -r "$index/." "$out/deb/${index#"$previous/deb/"}/"
	done
fi
# createrepo_c records each package's time; every package gets the
# release's.
find "$out" -type f \( -name '*.deb' -o -name '*.rpm' \) -exec touch -d "@$SOURCE_DATE_EPOCH" {} +

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
	[ -d "$dir" ] || continue
	createrepo_c --quiet --no-database --revision "$SOURCE_DATE_EPOCH" \
		--set-timestamp-to-revision "$dir" >/dev/null
	openpgp_sign "$key" --armor --detach-sign -o "$dir/repodata/repomd.xml.asc" \
		"$dir/repodata/repomd.xml"
done

# The public keys: this release's, then any other that signed the
# published tree's RPMs, which keep their signatures.
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
export_keys "$key" >"$keys/this.gpg"
GNUPGHOME=$keys gpg --batch --quiet --import "$keys/this.gpg" 2>/dev/null
[ -z "$previous" ] || [ ! -e "$previous/reboot-guard.gpg" ] ||
	GNUPGHOME=$keys gpg --batch --quiet --import "$previous/reboot-guard.gpg" 2>/dev/null
fingerprints=$(GNUPGHOME=$keys gpg --batch --with-colons --list-keys 2>/dev/null |
	awk -F: '$1 == "pub" { want = 1 } $1 == "fpr" && want { print $10; want = 0 }' | paste -sd , -)
# One armoured block for each key: rpm --import reads the first key of a
# block alone.
GNUPGHOME=$keys export_keys "$fingerprints" --armor >"$out/reboot-guard.asc"
GNUPGHOME=$keys export_keys "$fingerprints" >"$out/reboot-guard.gpg"
for dir in "$out"/rpm/*/; do
	[ ! -d "$dir" ] || cp "$out/reboot-guard.asc" "$dir/repodata/repomd.xml.key"
done
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
type=rpm-md
enabled=1
autorefresh=1
metadata_expire=6h
gpgcheck=1
repo_gpgcheck=1
pkg_gpgcheck=1
gpgkey=$url/reboot-guard.asc
EOF
echo "repositories: $out (to be published at $url)"
