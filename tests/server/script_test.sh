#!/usr/bin/env bash
# Late binding from real script hosts: VBScript and JScript under wine's
# cscript create "RaroreDoziri.Scale" from the registry of a private prefix.
# First without a scale (values, error information of a refused put), then in
# sessions with the simulated scale over TCP and over a serial port (a
# pseudo-terminal linked as COM5/COM6 of the prefix).
#
# The simulator is a Linux program from a native build: RD_SIM names it, else
# build/release or build/debug of the source tree is tried. Without it the
# sessions are skipped (exit code 77) once the scale-less part has passed.
# Usage: script_test.sh DLL 64|32 TEST_SOURCE_DIR
set -u
dll=$1 bits=$2 src=$3
. "$src/wine_prefix.sh"

sim_pid=
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
  fi
}
rd_cleanup_extra=stop_sim
rd_wine_prefix "$bits" || exit 1

folder_unix="$WINEPREFIX/drive_c/Program Files/RaroreDoziri Test"
mkdir -p "$folder_unix" "$WINEPREFIX/drive_c/rd-scripts" || exit 1
cp "$dll" "$folder_unix/RaroreDoziri.dll" || exit 1
cp "$src"/scripts/*.vbs "$src"/scripts/*.js "$WINEPREFIX/drive_c/rd-scripts/" || exit 1
if ! rd_wine regsvr32 /s 'C:\Program Files\RaroreDoziri Test\RaroreDoziri.dll'; then
  echo "FAIL registration"; exit 1
fi

fail=0
work=$(mktemp -d /tmp/rd-server-scripts.XXXXXX)
rd_cleanup_extra='stop_sim; rm -rf "$work"'

# run_script FILE ARGS...: the script's exit code is its number of failures;
# its last line is "done" (wine's cscript ends silently with status 0 on a
# script error).
run_script() {
  local file=$1; shift
  local out="$work/out.txt"
  timeout 300 "$rd_loader" cscript //nologo "C:\\rd-scripts\\$file" "$@" >"$out" 2>&1
  local status=$?
  tr -d '\r' <"$out"
  if [ "$status" != 0 ] || grep -q '^FAIL' "$out" || [ "$(tail -n 1 "$out" | tr -d '\r')" != done ]; then
    echo "FAIL $file $* (exit code $status)"
    fail=1
  fi
}

run_script errors.vbs
run_script errors.js

sim=${RD_SIM:-}
if [ -z "$sim" ]; then
  for candidate in "$src/../../build/release/tools/sim/raroredoziri-sim" \
                   "$src/../../build/debug/tools/sim/raroredoziri-sim"; do
    if [ -x "$candidate" ]; then sim=$candidate; break; fi
  done
fi
if [ -z "$sim" ] || [ ! -x "$sim" ]; then
  echo "no simulated scale (set RD_SIM): sessions skipped"
  [ "$fail" = 0 ] && exit 77
  exit 1
fi
echo "simulated scale: $sim"

# start_sim ENDPOINT...: the scale that the session scripts expect.
start_sim() {
  local log="$work/sim.log"
  # The log exists before tail follows it: the background start may not
  # have created it yet.
  : >"$log"
  "$sim" --quiet --weight 1234 --division 2 --stable 1 --tare 56 --refuse A5 "$@" >"$log" 2>&1 &
  sim_pid=$!
  if ! timeout 10 grep -q -m1 '^ready' <(tail -n +1 -f --pid="$sim_pid" "$log"); then
    echo "FAIL the simulated scale did not start: $(cat "$log")"
    fail=1
    stop_sim
    return 1
  fi
}

# Each session gets a fresh scale: SetTare changes the scale's tare.
if start_sim --tcp 127.62.0.1; then
  run_script session.vbs 127.62.0.1 tcp
  stop_sim
fi
if start_sim --tcp 127.62.0.2; then
  run_script session.js 127.62.0.2 tcp
  stop_sim
fi
rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
if start_sim --pty-link "$WINEPREFIX/dosdevices/com5"; then
  run_script session.vbs COM5 serial
  stop_sim
fi
if start_sim --pty-link "$WINEPREFIX/dosdevices/com6"; then
  run_script session.js COM6 serial
  stop_sim
fi

exit "$fail"
