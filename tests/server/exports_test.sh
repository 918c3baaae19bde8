#!/usr/bin/env bash
# The module exports exactly the four server entry points, undecorated, and
# imports nothing but system libraries (no MinGW runtime DLL).
# Usage: exports_test.sh OBJDUMP DLL
set -u
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll") || { echo "objdump failed"; exit 1; }
fail=0

exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -nE 's/^\s+\[\s*[0-9]+\]\s+(\S+).*/\1/p' | sort -u | tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
if [ "$exports" != "$expected" ]; then
  echo "exports: [$exports], expected [$expected]"; fail=1
fi

imports=$(echo "$dump" | sed -nE 's/^\s+DLL Name: (\S+)/\1/p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $imports
allowed=" advapi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll user32.dll ws2_32.dll "
for name in $imports; do
  case "$allowed" in
    *" $name "*) ;;
    *) echo "unexpected import: $name"; fail=1 ;;
  esac
done
[ "$fail" = 0 ] && echo "exports and imports ok"
exit "$fail"
