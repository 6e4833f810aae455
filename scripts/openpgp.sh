# OpenPGP signatures made at a fixed time, so that one key and the same
# data give the same signature wherever and whenever it is made. KEYS
# below names one key, or several with a comma between them (a new key
# and the one it replaces, for the release that rotates them): each signs.
# Sourced.

# key_names KEYS: sets the array names to the keys that KEYS names.
key_names() { IFS=, read -ra names <<<"$1"; }

# export_keys KEYS GPG_ARGUMENT...: prints the public keys, each apart and
# in the order named, so that a tool that reads one key of each armoured
# block reads them all.
export_keys() {
	local names name
	key_names "$1"
	shift
	for name in "${names[@]}"; do
		gpg --batch --export-options export-minimal "$@" --export -- "$name"
	done
}

# signing_time KEYS: prints the time to sign with KEYS at: SOURCE_DATE_EPOCH,
# or where that is later, the newest creation, self-signature or binding
# signature of the primary key and of the subkeys that sign. Every
# verifier then finds the key bound at the signature's time: Debian 13's
# sqv refuses a signature older than the self-signature that extending
# the key's expiry made, and gpg signs with no key made after it.
signing_time() {
	local newest names
	key_names "$1"
	newest=$(gpg --batch --with-colons --fixed-list-mode --list-sigs -- "${names[@]}" 2>/dev/null | awk -F: '
		function later(t) { if (t + 0 > newest) newest = t + 0 }
		$1 == "pub" { primary = $5; counts = 1; if ($12 ~ /s/) later($6) }
		$1 == "sub" { counts = $12 ~ /s/; if (counts) later($6) }
		$1 == "sig" && counts && $5 == primary { later($6) }
		END { print newest + 0 }')
	echo $(( newest > SOURCE_DATE_EPOCH ? newest : SOURCE_DATE_EPOCH ))
}

# openpgp_sign KEYS GPG_ARGUMENT...: runs gpg to sign with KEYS at their
# signing time, into the file that the arguments name. gpg warns of the
# fixed time each time; what it says is shown only when it fails.
openpgp_sign() {
	local keys=$1 said names name users=()
	shift
	key_names "$keys"
	for name in "${names[@]}"; do
		users+=(--local-user "$name")
	done
	said=$(gpg --batch --yes "${users[@]}" \
		--faked-system-time "$(signing_time "$keys")!" "$@" 2>&1) ||
		{ echo "$said" >&2; return 1; }
}

# signing_key_check KEYS: fails, saying what to do, where a key or the
# subkey it signs with has expired or expires within 30 days: gpg still
# signs at a time before the expiry, which Debian 13 accepts and Debian
# 12's gpgv refuses. Fails with gpg's reason where it cannot sign at all.
signing_key_check() {
	local primary fingerprint expiry soon when extend names
	key_names "$1"
	soon=$(( $(date +%s) + 30 * 86400 ))
	# The primary key, then the newest subkey that signs.
	while read -r primary fingerprint expiry; do
		[ -n "$expiry" ] && [ "$expiry" -lt "$soon" ] || continue
		when="expires on"
		[ "$expiry" -gt "$(date +%s)" ] || when="expired on"
		extend="$primary 2y"
		[ "$fingerprint" = "$primary" ] || extend+=" $fingerprint"
		echo "package.sh: signing key $fingerprint $when $(date -u -d "@$expiry" +%F):" \
			"extend it (gpg --quick-set-expire $extend) and export the public key again" >&2
		return 1
	done < <(gpg --batch --with-colons --fixed-list-mode --list-keys -- "${names[@]}" 2>/dev/null | awk -F: '
		function newest_sub() { if (sub_line != "") print sub_line; sub_line = ""; created = 0 }
		$1 == "pub" { newest_sub(); kind = "pub"; expiry = $7; next_fpr = 1 }
		$1 == "sub" {
			kind = ($2 != "r" && $12 ~ /s/ && $6 >= created) ? "sub" : ""
			if (kind != "") { created = $6; expiry = $7 }
			next_fpr = kind != ""
		}
		$1 == "fpr" && next_fpr {
			if (kind == "pub") { primary = $10; print primary, primary, expiry }
			else sub_line = primary " " $10 " " expiry
			next_fpr = 0
		}
		END { newest_sub() }')
	echo | openpgp_sign "$1" --detach-sign --output /dev/null
}
