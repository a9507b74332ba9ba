#!/usr/bin/env bash
# Which Windows can load ZEDADAD.dll: every function it imports from
# a system DLL is looked up in win_api_min.txt (the oldest Windows that has
# it); one missing from the table, or newer than the target, fails, as does
# an OS or subsystem version in the PE header above the target. Imports from
# the host module DERUDE.exe are check_pe.sh's. Also says which imports
# Windows 2000 (5.0) lacks.
#
#   check_win_api.sh [--target 5.1] ZEDADAD.dll [TABLE]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
target=5.1
if [ "${1:-}" = --target ]; then target=$2; shift 2; fi
dll=$1
table=${2:-$here/win_api_min.txt}

"$objdump" -p "$dll" | awk -v target="$target" -v dll="$dll" -v table="$(basename "$table")" '
  function num(v, p) { split(v, p, "."); return p[1] * 100 + p[2] }
  function name(v) { return v in names ? names[v] : v }
  function fail(msg) { print "FAIL " msg; failed = 1 }
  function above(v) { return num(v) > num(target) }
  BEGIN {
    split("5.0 2000 5.1 XP 5.2 Server-2003 6.0 Vista 6.1 7 6.2 8 6.3 8.1 10.0 10", w)
    for (i = 1; i in w; i += 2) names[w[i]] = w[i + 1]
  }
  FNR == NR {  # the table
    if ($0 !~ /^[[:space:]]*(#|$)/) min[$1 " " tolower($2)] = $3
    next
  }
  /^[[:space:]]*Major(OSystem|Subsystem)Version/ { major[$1] = $2 }
  /^[[:space:]]*Minor(OSystem|Subsystem)Version/ { minor[$1] = $2 }
  /DLL Name:/ { from = $3; lib = tolower(from); sub(/\.(dll|exe)$/, "", lib); next }
  from != "" && /^$/ { from = "" }
  from != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {
    if (lib == "derude") next
    imports++
    key = $3 " " lib
    if (!(key in min)) { fail($3 " from " from " is not in " table ": add its oldest Windows"); next }
    if (above(min[key])) fail($3 " from " from " needs Windows " name(min[key]) " (" min[key] "), above the target " target)
    if (num(min[key]) > 500) newer = newer " " $3 " (" min[key] ")"
  }
  END {
    for (f in major) {
      k = f; sub(/Major/, "Minor", k)
      v = major[f] "." minor[k]
      if (above(v)) fail(dll " header: " substr(f, 6) " " v ", above the target " target)
      header = header " " substr(f, 6) " " v
    }
    if (header == "" || imports == 0) fail(dll ": no header versions or imports read")
    if (failed) { print "Windows 2000 (5.0) lacks, of the listed imports:" (newer == "" ? " none" : newer); exit 1 }
    print "ok: " dll " fits Windows " name(target) " (" target "):" header ", " imports \
          " imports from system DLLs, all in " table "; Windows 2000 (5.0) lacks:" (newer == "" ? " nothing" : newer)
  }' "$table" -
