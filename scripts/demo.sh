#!/usr/bin/env bash
# The main job: a full session against the bundled simulated scale, through
# the command-line host, over TCP and over a pseudo-terminal, with the framed
# and the legacy protocol; then what the scale received; then the scale
# service serving the same simulated scales over HTTP. With wine present,
# the same session runs once more through the registered x64 DLL from a
# VBScript host. Leaves no process behind.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/deps.sh
mkdir -p build
echo "Building the release preset (log: build/release-demo.log) ..."
if ! { cmake --preset release && cmake --build --preset release -j "$(nproc)"; } >build/release-demo.log 2>&1; then
  tail -n 40 build/release-demo.log
  exit 1
fi

cli="$root/build/release/tools/cli/raroredoziri"
sim="$root/build/release/tools/sim/raroredoziri-sim"
work=$(mktemp -d /tmp/raroredoziri-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# start_sim NAME ARGS...: starts the simulated scale and waits until it serves.
start_sim() {
  local name=$1; shift
  "$sim" "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q '^ready' "$work/$name.log" && return 0
    sleep 0.1
  done
  echo "the simulated scale did not start:"; cat "$work/$name.log"; return 1
}

show_received() {
  echo "--- what the scale received:"
  grep '^request' "$work/$1.log" | sed 's/^/    /'
}

# The configuration a session downloads: every one of the fourteen commands.
download=(Goods=Milk SetGoods Tare=1000 SetTare LabelFormat=L01 SetLabelFormat
          LabelFormatZ=Z02 SetLabelFormatZ Tape=1 SetTape Underwinder=2 SetUnderwinder
          Operation=3 RegistratorStore=Store-12 Agent=7 SetMode Operator=Anna SetOperator
          "Text=Fresh today" SetText GoodsButton1=Apples GoodsButton2=Pears
          GoodsButton8=Cheese SetGoodsButton Lock1=1 Lock10=1 SetLock
          OptionMoreLabels=1 OptionFreePrice=1 SetOptions FindGoods=1 SetFindGoods
          Screen=1 SetScreen)
session=(OpenConnection ReadWeight Weight Division Stable ReadTare Tare Division
         "${download[@]}" CloseConnection)

echo "==== 1. TCP, framed protocol (scale at 127.0.0.1, port 5001)"
start_sim tcp --tcp 127.0.0.1 --weight 1250 --division 2 --tare 100 --weight-step 5
"$cli" Connection=127.0.0.1 "${session[@]}"
show_received tcp

echo
echo "==== 2. Serial line (pseudo-terminal as COM3), framed protocol at 57600 baud"
start_sim framed --pty-link "$work/ttyFramed" --framed --weight 2500 --division 3 --tare 40
"$cli" --device "3=$work/ttyFramed" Connection=COM3 "${session[@]}"
show_received framed

echo
echo "==== 3. Serial line (pseudo-terminal as COM4), legacy protocol at 4800 baud"
echo "     (the legacy protocol has no tare request and no commands: they give 4)"
start_sim legacy --pty-link "$work/ttyLegacy" --legacy --weight 10000 --division 1
"$cli" --device "4=$work/ttyLegacy" Connection=COM4 "${session[@]}"
show_received legacy

echo
echo "==== 4. The scale service: the three simulated scales over HTTP"
service="$root/build/release/tools/service/raroredoziri-service"
"$service" --port 0 --scale counter=127.0.0.1 --scale framed=COM3 --scale legacy=COM4 \
  --device "3=$work/ttyFramed" --device "4=$work/ttyLegacy" 2>"$work/service.log" &
service_pid=$!
pids+=("$service_pid")
url=""
for _ in $(seq 100); do
  url=$(sed -nE 's|.*listening on (http://[^ ]*/)$|\1|p' "$work/service.log")
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { echo "the service did not start:"; cat "$work/service.log"; exit 1; }
# The framed scale on the serial line takes 3 to 4 s to open (legacy probe first).
for _ in $(seq 100); do
  [ "$(curl -s "${url}scales" | grep -o '"connected"' | wc -l)" -eq 3 ] && break
  sleep 0.1
done
echo "\$ curl -s ${url}scales"
curl -s "${url}scales"; echo
for name in counter framed legacy counter; do
  echo "\$ curl -s ${url}scales/$name/weight"
  curl -s "${url}scales/$name/weight"; echo
done
echo "\$ curl -s -X POST -d '{\"Goods\":\"Bread\"}' ${url}scales/counter/commands/SetGoods"
curl -s -X POST -d '{"Goods":"Bread"}' "${url}scales/counter/commands/SetGoods"; echo
echo "\$ curl -s -X POST -d '{\"Lock1\":-1}' ${url}scales/counter/commands/SetLock"
curl -s -X POST -d '{"Lock1":-1}' "${url}scales/counter/commands/SetLock"; echo
echo "The scale page: $url"
kill -TERM "$service_pid"
wait "$service_pid" 2>/dev/null || true
echo "--- the service's log:"
sed 's/^/    /' "$work/service.log"

if [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1; then
  echo
  echo "==== 5. The Windows DLL under wine: the same session from VBScript"
  bash scripts/demo-wine.sh "$sim"
fi
echo
echo "Done."
