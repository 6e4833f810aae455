# Where this machine's apt takes Debian from, for the roots that the tests
# make with debootstrap. Sourced.

# The first URI that this machine's apt takes a Debian release from,
# whichever release it names, in the one-line or the deb822 form. Security
# and update suites, and other vendors' repositories, hold no release.
apt_mirror() {
	local release='^(oldstable|stable|testing|unstable|sid|buster|bullseye|bookworm|trixie|forky|duke)$'
	local file
	# In the order apt reads them.
	for file in /etc/apt/sources.list /etc/apt/sources.list.d/*; do
		case $file in
		*.list)
			awk -v release="$release" '$1 == "deb" {
				i = 2
				if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
				if ($(i + 1) ~ release) print $i
			}' "$file" 2>/dev/null ;;
		*.sources)
			awk -v release="$release" 'BEGIN { RS = ""; FS = "\n" }
			{
				uri = ""; deb = 0; found = 0
				for (i = 1; i <= NF; i++) {
					if ($i ~ /^Types:/ && $i ~ /[: ]deb( |$)/) deb = 1
					if ($i ~ /^URIs:/) { split(substr($i, 6), u, " "); uri = u[1] }
					if ($i ~ /^Suites:/) {
						n = split(substr($i, 8), s, " ")
						for (j = 1; j <= n; j++) if (s[j] ~ release) found = 1
					}
				}
				if (deb && found && uri != "") print uri
			}' "$file" 2>/dev/null ;;
		esac
	done | head -n 1
}
