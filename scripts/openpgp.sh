# OpenPGP signatures made at a fixed time, so that one key and the same
# data give the same signature wherever and whenever it is made: at
# SOURCE_DATE_EPOCH, or at the key's creation where that is later (gpg
# signs with no key made after the signing time). Sourced.

# signing_time KEY: prints the time to sign with KEY at.
signing_time() {
	local created
	created=$(gpg --batch --with-colons --list-secret-keys -- "$1" | awk -F: '
		($1 == "sec" || $1 == "ssb") && $12 ~ /s/ && $6 > newest { newest = $6 }
		END { print newest + 0 }')
	echo $(( created > SOURCE_DATE_EPOCH ? created : SOURCE_DATE_EPOCH ))
}

# openpgp_sign KEY GPG_ARGUMENT...: runs gpg to sign with KEY at its
# signing time, into the file that the arguments name. gpg warns of the
# fixed time each time; what it says is shown only when it fails.
openpgp_sign() {
	local key=$1 said
	shift
	said=$(gpg --batch --yes --local-user "$key" \
		--faked-system-time "$(signing_time "$key")!" "$@" 2>&1) ||
		{ echo "$said" >&2; return 1; }
}
