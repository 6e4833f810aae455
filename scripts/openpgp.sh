# OpenPGP signatures made at a fixed time, so that one key and the same
# data give the same signature wherever and whenever it is made. Sourced.

# signing_time KEY: prints the time to sign with KEY at: SOURCE_DATE_EPOCH,
# or where that is later, the newest creation, self-signature or binding
# signature of the primary key and of the subkeys that sign. Every
# verifier then finds the key bound at the signature's time: Debian 13's
# sqv refuses a signature older than the self-signature that extending
# the key's expiry made, and gpg signs with no key made after it.
signing_time() {
	local newest
	newest=$(gpg --batch --with-colons --fixed-list-mode --list-sigs -- "$1" 2>/dev/null | awk -F: '
		function later(t) { if (t + 0 > newest) newest = t + 0 }
		$1 == "pub" { primary = $5; counts = 1; if ($12 ~ /s/) later($6) }
		$1 == "sub" { counts = $12 ~ /s/; if (counts) later($6) }
		$1 == "sig" && counts && $5 == primary { later($6) }
		END { print newest + 0 }')
	echo $(( newest > SOURCE_DATE_EPOCH ? newest : SOURCE_DATE_EPOCH ))
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

# signing_key_check KEY: fails, saying what to do, where KEY or the subkey
# it signs with has expired or expires within 30 days: gpg still signs at
# a time before the expiry, which Debian 13 accepts and Debian 12's gpgv
# refuses. Fails with gpg's reason where it cannot sign at all.
signing_key_check() {
	local primary fingerprint expiry soon when extend
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
	done < <(gpg --batch --with-colons --fixed-list-mode --list-keys -- "$1" 2>/dev/null | awk -F: '
		$1 == "pub" { kind = "pub"; expiry = $7; next_fpr = 1 }
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
		END { if (sub_line != "") print sub_line }')
	echo | openpgp_sign "$1" --detach-sign --output /dev/null
}
