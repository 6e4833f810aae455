#!/usr/bin/env bash
# Every relative link of the README and of the pages under doc/ names a
# file that exists, and every link to a heading (#anchor), the README's
# table of contents among them, lands on one, anchored as GitHub anchors
# headings.
#
# usage: check_links.sh SOURCE_DIR
set -euo pipefail
cd "$1"
status=0

# outside_code FILE: FILE without its fenced code blocks.
outside_code() { awk '/^```/ { code = !code; next } !code' "$1"; }
# anchors FILE: the anchors of FILE's headings.
anchors() {
	outside_code "$1" | awk '/^#+ / {
		sub(/^#+ /, ""); anchor = tolower($0)
		gsub(/[^a-z0-9 _-]/, "", anchor); gsub(/ /, "-", anchor); print anchor
	}'
}

for page in README.md doc/*.md; do
	while IFS= read -r target; do
		case $target in http://* | https://* | mailto:*) continue ;; esac
		file=${target%%#*} anchor=
		[ "$file" = "$target" ] || anchor=${target#*#}
		path=$page
		[ -z "$file" ] || path=$(dirname "$page")/$file
		if [ ! -e "$path" ]; then
			echo "FAIL: $page: $target: there is no $path"
			status=1
		elif [ -n "$anchor" ] && ! anchors "$path" | grep -qxF -- "$anchor"; then
			echo "FAIL: $page: $target: $path has no such heading"
			status=1
		fi
	done < <(outside_code "$page" | grep -o '\]([^)]*)' | sed 's/^](//; s/)$//')
done
[ "$status" = 0 ] && echo "links hold"
exit "$status"
