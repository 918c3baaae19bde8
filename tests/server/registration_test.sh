#!/usr/bin/env bash
# Registration of RaroreDoziri.dll with regsvr32 in a private wine prefix:
# the module sits in a folder whose path holds spaces, so InprocServer32 must
# hold its short (8.3) path and the type library its long path. Registering
# twice gives the same eight values; unregistering removes them and may be
# repeated.
# Usage: registration_test.sh DLL 64|32
set -u
dll=$1 bits=$2
here=$(dirname "$0")
# shellcheck source=wine_prefix.sh
. "$here/wine_prefix.sh"
rd_wine_prefix "$bits" || exit 1

clsid='{A05E2075-3492-414F-9460-0415E7BFCF54}'
libid='{721BA90E-DAB2-4610-B7C0-7003804BC83A}'
folder_unix="$WINEPREFIX/drive_c/Program Files/RaroreDoziri Test"
folder='C:\Program Files\RaroreDoziri Test'
mkdir -p "$folder_unix" && cp "$dll" "$folder_unix/RaroreDoziri.dll" || exit 1
module="$folder\\RaroreDoziri.dll"

fail=0
check() {  # check WHAT ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: [$2], expected [$3]"; fail=1; fi
}
# The data of one value ("" for the default value); empty when it is missing.
# reg answers 0 when it found the value and 1 when it did not; any other
# status is a failed run of reg itself, which is tried again rather than
# read as a missing value.
value() {
  local args=(/ve) out status try
  [ -n "$2" ] && args=(/v "$2")
  for try in 1 2 3; do
    out=$(rd_wine reg query "$1" "${args[@]}" 2>/dev/null)
    status=$?
    [ "$status" -le 1 ] && break
    echo "note: reg query $1 ended with status $status (try $try)" >&2
  done
  printf '%s\n' "$out" | tr -d '\r' | sed -nE 's/^ +\S.*REG_SZ +(.*)$/\1/p' | head -n 1
}
count_values() { rd_wine reg query "$1" /s 2>/dev/null | tr -d '\r' | grep -c ' REG_SZ '; }
present() { rd_wine reg query "$1" >/dev/null 2>&1 && echo present || echo absent; }

check_registered() {
  local round=$1
  check "$round: CLSID default" "$(value "HKCR\\CLSID\\$clsid" "")" "Scale Object"
  local server
  server=$(value "HKCR\\CLSID\\$clsid\\InprocServer32" "")
  case "$server" in
    *" "* | "") echo "FAIL $round: InprocServer32 [$server] is not a short path"; fail=1 ;;
    *)
      # The short path names the copied module.
      local unix
      unix=$(rd_wine winepath -u "$server" 2>/dev/null | tr -d '\r')
      check "$round: InprocServer32 is the module's short path" \
        "$(realpath -e "$unix" 2>/dev/null)" "$(realpath "$folder_unix/RaroreDoziri.dll")" ;;
  esac
  check "$round: ThreadingModel" "$(value "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel)" \
    "Apartment"
  check "$round: ProgID default" "$(value 'HKCR\RaroreDoziri.Scale' "")" "Scale Object"
  check "$round: ProgID Clsid" "$(value 'HKCR\RaroreDoziri.Scale\Clsid' "")" "$clsid"
  check "$round: CLSID ProgID" "$(value "HKCR\\CLSID\\$clsid\\ProgID" "")" "RaroreDoziri.Scale"
  check "$round: CLSID Version" "$(value "HKCR\\CLSID\\$clsid\\Version" "")" "1.0"
  check "$round: CLSID TypeLib" "$(value "HKCR\\CLSID\\$clsid\\TypeLib" "")" "$libid"
  # Exactly the eight values: six under the CLSID, two under the ProgID.
  check "$round: values under the CLSID" "$(count_values "HKCR\\CLSID\\$clsid")" 6
  check "$round: values under the ProgID" "$(count_values 'HKCR\RaroreDoziri.Scale')" 2
  # The type library: long path, help directory up to the last backslash.
  check "$round: type library path" "$(value "HKCR\\TypeLib\\$libid\\1.0\\409\\win32" "")" "$module"
  check "$round: type library help directory" "$(value "HKCR\\TypeLib\\$libid\\1.0\\HELPDIR" "")" \
    "$folder\\"
}

check_unregistered() {
  local round=$1
  check "$round: CLSID key" "$(present "HKCR\\CLSID\\$clsid")" absent
  check "$round: ProgID key" "$(present 'HKCR\RaroreDoziri.Scale')" absent
  check "$round: type library" "$(present "HKCR\\TypeLib\\$libid\\1.0\\409\\win32")" absent
}

rd_wine regsvr32 /s "$module"
check "first registration status" $? 0
check_registered first
rd_wine regsvr32 /s "$module"
check "second registration status" $? 0
check_registered second
rd_wine regsvr32 /u /s "$module"
check "unregistration status" $? 0
check_unregistered unregistered
rd_wine regsvr32 /u /s "$module"
check "unregistration with nothing registered" $? 0
check_unregistered again

exit "$fail"
