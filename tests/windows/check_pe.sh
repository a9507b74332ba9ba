#!/usr/bin/env bash
# The PE tables of the Windows build:
#   ZEDADAD.dll  32-bit; exports ZevMain and nothing else; imports err and
#                Mox5UnCook (and nothing else) from DERUDE.exe;
#   DERUDE.exe   exports err and Mox5UnCook;
#   both         need no DLL beyond the system's own (static runtime).
# Usage: check_pe.sh ZEDADAD.dll DERUDE.exe...
set -euo pipefail
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
system_dlls='^(kernel32|msvcrt|winmm|user32|advapi32|ntdll|ws2_32)\.dll$'
failed=0
fail() { echo "FAIL $*"; failed=1; }

exports_of() {  # names in the export table
  "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort
}
dlls_of() {  # imported DLL names, lower case
  "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u
}
imports_from() {  # names imported from one DLL
  "$objdump" -p "$1" | awk -v dll="$2" '
    /DLL Name:/ { inside = (tolower($3) == tolower(dll)); next }
    inside && /^$/ { inside = 0 }
    inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $3 }' | sort
}

dll=$1; shift
"$objdump" -f "$dll" | grep -q 'file format pei-i386' || fail "$dll is not a 32-bit PE image"
got=$(exports_of "$dll" | tr '\n' ' ')
[ "$got" = "ZevMain " ] || fail "$dll exports [$got], expected ZevMain only"
got=$(imports_from "$dll" DERUDE.exe | tr '\n' ' ')
[ "$got" = "Mox5UnCook err " ] || fail "$dll imports [$got] from DERUDE.exe, expected err and Mox5UnCook"
for f in "$dll" "$@"; do
  for d in $(dlls_of "$f"); do
    [ "$d" = derude.exe ] && [ "$f" = "$dll" ] && continue
    [[ "$d" =~ $system_dlls ]] || fail "$f needs $d, which is no system DLL"
  done
done
for exe in "$@"; do
  got=$(exports_of "$exe" | tr '\n' ' ')
  [ "$got" = "Mox5UnCook err " ] || fail "$exe exports [$got], expected err and Mox5UnCook"
done
[ $failed = 0 ] || exit 1
echo "ok: $dll exports ZevMain only, imports err and Mox5UnCook from DERUDE.exe; $# host(s) export both; system DLLs only"
