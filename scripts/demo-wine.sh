#!/usr/bin/env bash
# Part of the main job: the session once more through the Windows DLL, x64,
# registered with regsvr32 in a private wine prefix and driven late-bound
# from VBScript (cscript), over TCP and over a serial port (COM5 of the
# prefix, linked to the simulated scale's pseudo-terminal).
# Usage: demo-wine.sh SIMULATOR ADDRESS (a loopback address free on port 5001)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
sim=$1
address=$2

wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x "$wine64" ]; then
  echo "skipped: the MinGW-w64 cross compiler or wine64 is not installed (scripts/deps.sh --all)"
  exit 0
fi

echo "Building the x64 DLL (log: build/mingw64-demo.log) ..."
if ! { cmake --preset mingw64 && cmake --build --preset mingw64 --target RaroreDoziri; } \
    >build/mingw64-demo.log 2>&1; then
  tail -n 40 build/mingw64-demo.log
  exit 1
fi

work=$(mktemp -d /tmp/raroredoziri-demo-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

start_sim() {
  local log=$1; shift
  "$sim" "$@" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^ready' "$log" && return 0; sleep 0.1; done
  cat "$log"; return 1
}

"$wine64" wineboot -i >/dev/null 2>&1
folder="$WINEPREFIX/drive_c/RaroreDoziri"
mkdir -p "$folder"
cp build/mingw64/src/server/RaroreDoziri.dll scripts/demo-session.vbs "$folder/"
if "$wine64" regsvr32 /s 'C:\RaroreDoziri\RaroreDoziri.dll'; then
  echo "regsvr32: RaroreDoziri.dll registered"
else
  echo "regsvr32 failed"; exit 1
fi

echo "--- VBScript over TCP ($address)"
start_sim "$work/tcp.log" --tcp "$address" --weight 1250 --division 2 --tare 100 || exit 1
"$wine64" cscript //nologo 'C:\RaroreDoziri\demo-session.vbs' "$address" | tr -d '\r'
echo "--- the scale received $(grep -c '^request' "$work/tcp.log") requests"

echo "--- VBScript over the serial port COM5 (framed protocol)"
start_sim "$work/serial.log" --pty-link "$WINEPREFIX/dosdevices/com5" --framed --weight 2500 --division 3 || exit 1
"$wine64" cscript //nologo 'C:\RaroreDoziri\demo-session.vbs' COM5 | tr -d '\r'
echo "--- the scale received $(grep -c '^request' "$work/serial.log") requests"
