#!/usr/bin/env bash
# Registration of RaroreDoziri.dll with regsvr32 in a private wine prefix:
# the module sits in a folder whose path holds spaces and whose name lies
# outside every ANSI code page (Cyrillic and Greek), so InprocServer32 must
# hold its short (8.3) path and the type library its long path. Registering
# twice gives the same eight values and an object can be created by ProgID;
# unregistering removes them and may be repeated. Then once more from a
# folder below it that takes the path past MAX_PATH.
# Usage: registration_test.sh DLL 64|32
set -u
dll=$1 bits=$2
here=$(dirname "$0")
# shellcheck source=wine_prefix.sh
. "$here/wine_prefix.sh"
rd_wine_prefix "$bits" || exit 1

clsid='{A05E2075-3492-414F-9460-0415E7BFCF54}'
libid='{721BA90E-DAB2-4610-B7C0-7003804BC83A}'
name='RaroreDoziri Test Весы Ζυγαριά'
folder_unix="$WINEPREFIX/drive_c/Program Files/$name"
folder="C:\\Program Files\\$name"
long_name="A Folder Name Long Enough To Take The Path Past MAX_PATH$(printf ' Padding%.0s' {1..20})"
mkdir -p "$folder_unix/$long_name" "$WINEPREFIX/drive_c/rd-test" || exit 1
cp "$dll" "$folder_unix/RaroreDoziri.dll" && cp "$dll" "$folder_unix/$long_name/RaroreDoziri.dll" ||
  exit 1
module="$folder\\RaroreDoziri.dll"
long_module="$folder\\$long_name\\RaroreDoziri.dll"
printf '%s\r\n' 'Set s = CreateObject("RaroreDoziri.Scale")' 'WScript.Echo "weight " & s.Weight' \
  >"$WINEPREFIX/drive_c/rd-test/create.vbs"

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
# The default value of a key as reg export writes it (UTF-16): text outside
# the ANSI code page comes through, where reg query prints "?".
exported() {
  rm -f "$WINEPREFIX/drive_c/rd-test/export.reg"
  rd_wine reg export "$1" 'C:\rd-test\export.reg' /y >/dev/null 2>&1
  iconv -f UTF-16 -t UTF-8 "$WINEPREFIX/drive_c/rd-test/export.reg" 2>/dev/null | tr -d '\r' |
    sed -n 's/^@="\(.*\)"$/\1/p' | head -n 1 | sed 's/\\\\/\\/g'
}
# The Linux file a Windows path names, "" when there is none.
file_of() { realpath -e "$(rd_wine winepath -u "$1" 2>/dev/null | tr -d '\r')" 2>/dev/null; }
count_values() { rd_wine reg query "$1" /s 2>/dev/null | tr -d '\r' | grep -c ' REG_SZ '; }
present() { rd_wine reg query "$1" >/dev/null 2>&1 && echo present || echo absent; }

# check_server ROUND MODULE_UNIX: InprocServer32 is a short path to the module
# and an object can be created by ProgID.
check_server() {
  local server
  server=$(value "HKCR\\CLSID\\$clsid\\InprocServer32" "")
  case "$server" in
    *" "* | "") echo "FAIL $1: InprocServer32 [$server] is not a short path"; fail=1 ;;
    *) check "$1: InprocServer32 is the module's short path" "$(file_of "$server")" "$(realpath "$2")" ;;
  esac
  check "$1: object created by ProgID" \
    "$(rd_wine cscript //nologo 'C:\rd-test\create.vbs' 2>/dev/null | tr -d '\r')" "weight 0"
}

check_registered() {
  local round=$1
  check "$round: CLSID default" "$(value "HKCR\\CLSID\\$clsid" "")" "Scale Object"
  check_server "$round" "$folder_unix/RaroreDoziri.dll"
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
  check "$round: type library path" "$(exported "HKCR\\TypeLib\\$libid\\1.0\\409\\win32")" "$module"
  check "$round: type library help directory" "$(exported "HKCR\\TypeLib\\$libid\\1.0\\HELPDIR")" \
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

# Past MAX_PATH the runtime reads both paths in their short form.
rd_wine regsvr32 /s "$long_module"
check "long path: registration status" $? 0
check_server "long path" "$folder_unix/$long_name/RaroreDoziri.dll"
check "long path: type library" "$(file_of "$(exported "HKCR\\TypeLib\\$libid\\1.0\\409\\win32")")" \
  "$(realpath "$folder_unix/$long_name/RaroreDoziri.dll")"
rd_wine regsvr32 /u /s "$long_module"
check "long path: unregistration status" $? 0
check_unregistered "long path"

exit "$fail"
