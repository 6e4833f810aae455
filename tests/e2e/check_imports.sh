#!/usr/bin/env bash
# The program must start on a bare machine and as fast as any process. On
# Linux it is fully static: no dynamic loader and no shared library, so it
# runs whatever the host's C library. On Windows it may load the system's
# own DLLs, no C++ runtime.
#
# usage: check_imports.sh native|windows PROGRAM
set -euo pipefail

case $1 in
native)
	imports=$(readelf -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
	interpreter=$(readelf -l "$2" | sed -n 's/.*interpreter: \(.*\)]/\1/p')
	if [ -n "$imports$interpreter" ]; then
		echo "FAIL: $2 is not static: loader '$interpreter', imports:" $imports >&2
		exit 1
	fi
	echo "$2 is static"
	exit 0
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
