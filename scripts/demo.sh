#!/usr/bin/env bash
# The main job: a full session against the bundled simulated scale, through
# the command-line host, over TCP and over a pseudo-terminal, with the framed
# and the legacy protocol; then what the scale received; then the scale
# service serving the same simulated scales over HTTP. With wine present,
# the same session runs once more through the registered x64 DLL from a
# VBScript host. Leaves no process behind. The simulated scales listen on
# random loopback addresses (port 5001 is the scale's) and the service on a
# free port, so that the demo runs beside anything else on the machine.
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

die() { echo "demo: $*" >&2; exit 1; }

# free_address: a random address 127.x.y.z on which nothing listens on 5001.
free_address() {
  local address
  for _ in $(seq 20); do
    address=127.$((RANDOM % 200 + 50)).$((RANDOM % 256)).$((RANDOM % 253 + 2))
    (exec 3<>"/dev/tcp/$address/5001") 2>/dev/null || { echo "$address"; return 0; }
  done
  return 1
}

# start_sim NAME ARGS...: starts the simulated scale and waits until it serves.
start_sim() {
  local name=$1; shift
  "$sim" "$@" >"$work/$name.log" 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    grep -q '^ready' "$work/$name.log" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "demo: the simulated scale ($name) did not start:" >&2
  cat "$work/$name.log" >&2
  exit 1
}

# run_session NAME CLI-ARGUMENTS...: runs the session; the scale must answer the open.
run_session() {
  local name=$1; shift
  "$cli" "$@" "${session[@]}" | tee "$work/$name.out" || die "the host failed ($name): see the lines above"
  head -n 1 "$work/$name.out" | grep -qx 'OpenConnection=0' ||
    die "the host could not open the simulated scale ($name): see the lines above"
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

address=$(free_address) || die "no free loopback address for the simulated scale"
echo "==== 1. TCP, framed protocol (scale at $address, port 5001)"
start_sim tcp --tcp "$address" --weight 1250 --division 2 --tare 100 --weight-step 5
run_session tcp "Connection=$address"
show_received tcp

echo
echo "==== 2. Serial line (pseudo-terminal as COM3), framed protocol at 57600 baud"
start_sim framed --pty-link "$work/ttyFramed" --framed --weight 2500 --division 3 --tare 40
run_session framed --device "3=$work/ttyFramed" Connection=COM3
show_received framed

echo
echo "==== 3. Serial line (pseudo-terminal as COM4), legacy protocol at 4800 baud"
echo "     (the legacy protocol has no tare request and no commands: they give 4)"
start_sim legacy --pty-link "$work/ttyLegacy" --legacy --weight 10000 --division 1
run_session legacy --device "4=$work/ttyLegacy" Connection=COM4
show_received legacy

echo
echo "==== 4. The scale service: the three simulated scales over HTTP"
service="$root/build/release/tools/service/raroredoziri-service"
"$service" --port 0 --scale "counter=$address" --scale framed=COM3 --scale legacy=COM4 \
  --device "3=$work/ttyFramed" --device "4=$work/ttyLegacy" 2>"$work/service.log" &
service_pid=$!
pids+=("$service_pid")
url=""
for _ in $(seq 100); do
  url=$(sed -nE 's|.*listening on (http://[^ ]*/)$|\1|p' "$work/service.log")
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { cat "$work/service.log" >&2; die "the service did not start"; }
# The framed scale on the serial line takes 3 to 4 s to open (legacy probe
# first); 15 s for all three.
connected=0
for _ in $(seq 150); do
  connected=$(curl -s --max-time 2 "${url}scales" | grep -o '"connected"' | wc -l)
  [ "$connected" -eq 3 ] && break
  sleep 0.1
done
if [ "$connected" -ne 3 ]; then
  curl -s --max-time 2 "${url}scales" >&2; echo >&2
  cat "$work/service.log" >&2
  die "only $connected of the 3 simulated scales connected to the service within 15 s"
fi
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
  address=$(free_address) || die "no free loopback address for the simulated scale"
  bash scripts/demo-wine.sh "$sim" "$address"
fi
echo
echo "Done."
