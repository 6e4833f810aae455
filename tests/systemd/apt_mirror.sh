# Where this machine's apt takes Debian from, for the roots that the tests
# make with debootstrap. Sourced.

# The first URI that this machine's apt takes bookworm's packages from.
apt_mirror() {
	{
		{ cat /etc/apt/sources.list.d/*.sources 2>/dev/null || :; } | awk 'BEGIN { RS = ""; FS = "\n" }
		{
			uri = ""; deb = 0; suite = 0
			for (i = 1; i <= NF; i++) {
				if ($i ~ /^Types:/ && $i ~ /[: ]deb( |$)/) deb = 1
				if ($i ~ /^URIs:/) { split(substr($i, 6), u, " "); uri = u[1] }
				if ($i ~ /^Suites:/) {
					n = split(substr($i, 8), s, " ")
					for (j = 1; j <= n; j++) if (s[j] == "bookworm") suite = 1
				}
			}
			if (deb && suite && uri != "") print uri
		}'
		{ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || :; } | awk '
		$1 == "deb" {
			i = 2
			if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
			if ($(i + 1) == "bookworm") print $i
		}'
	} | head -n 1
}
