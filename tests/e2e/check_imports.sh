#!/usr/bin/env bash
# The program must start on a bare machine and as fast as any process:
# it may load the C library and the system's own DLLs, no C++ runtime.
#
# usage: check_imports.sh native|windows PROGRAM
set -euo pipefail

case $1 in
native)
	allowed='^(libc\.so\.[0-9]+|ld-linux.*)$'
	imports=$(readelf -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
	;;
windows)
	allowed='^(kernel32\.dll|msvcrt\.dll)$'
	imports=$(x86_64-w64-mingw32-objdump -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p')
	;;
*)
	echo "usage: check_imports.sh native|windows PROGRAM" >&2
	exit 2
	;;
esac

echo "imports of $2:" $imports
[ -n "$imports" ] || { echo "FAIL: no imports found" >&2; exit 1; }
status=0
for name in $imports; do
	if ! printf '%s\n' "$name" | tr '[:upper:]' '[:lower:]' | grep -Eq "$allowed"; then
		echo "FAIL: imports $name" >&2
		status=1
	fi
done
exit $status
