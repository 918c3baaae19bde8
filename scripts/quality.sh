#!/usr/bin/env bash
# Proof under stress: fuzzing, the chaos soak, ThreadSanitizer, coverage and
# benchmarks. Each subcommand configures its own build directory
# (${RD_QUALITY_BUILD:-build/quality}-<name>), builds what it needs with at
# most two jobs, runs, prints its figures and exits non-zero on any failure.
#
#   scripts/quality.sh fuzz     [--seconds S]   every fuzz target S seconds (default 5)
#   scripts/quality.sh soak     [--long] [--build DIR]  chaos soak, ~40 s (--long: >= 20000 calls;
#                                            --build: reuse a sanitizer build)
#   scripts/quality.sh tsan                      the thread tests (and the service's pollers,
#                                            HTTP threads and event streams) under ThreadSanitizer
#   scripts/quality.sh coverage                  line and branch coverage of src/
#   scripts/quality.sh bench                     the benchmarks (release build)
#   scripts/quality.sh winsoak  [--cycles N]     Scale object cycles under wine (x64)
#   scripts/quality.sh service-load [--seconds N] [--build DIR] [--windows [--windows-build DIR]]
#                                            50 event streams and 200 GET /weight per second against the
#                                            scale service (default 30 s), kept-alive and event latency, a
#                                            silent scale beside a healthy one (--windows: the Windows x64
#                                            build under wine64 in a private prefix, the Linux sim)
#   scripts/quality.sh slow-clients [--seconds N] [--build DIR]  200 slow or idle clients while
#                                            GET /scales must answer within 1 s (N s a phase, default 10)
#   scripts/quality.sh fleet [--services N] [--scales M] [--goal-ms MS] [--build DIR]
#                                            one broker, N services x M simulated scales
#                                            (default 10 x 20), one command to all of them
#   scripts/quality.sh prebuild fuzz|tsan...     only the builds of fuzz and tsan
#
# The short forms (fuzz, soak, tsan) each run in about a minute after their
# build.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix=${RD_QUALITY_BUILD:-build/quality}
jobs=2

say() { echo "==== $*"; }
die() { echo "FAILED: $*" >&2; exit 1; }

# configure <dir> <cmake arguments...>
configure() {
  local dir=$1; shift
  mkdir -p "$dir"
  cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; die "configure $dir"; }
}

# build <dir> <target...>
build() {
  local dir=$1; shift
  local log="$dir.build.log"
  if ! cmake --build "$dir" -j "$jobs" --target "$@" >"$log" 2>&1; then
    grep -E 'error|FAILED' "$log" | head -n 40
    die "build $dir ($*)"
  fi
}

fuzz_targets="connection_string replies exchange receive sim_parser property_puts service_body"

build_fuzz() {
  command -v clang++ >/dev/null || die "clang++ is not installed"
  local dir="$prefix-fuzz"
  say "fuzz: build $dir"
  configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRD_FUZZ=ON -DRD_BUILD_TESTS=OFF \
    -DRD_BUILD_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
  build "$dir" fuzzers
}

build_tsan() {
  local dir="$prefix-tsan"
  say "tsan: build $dir (ThreadSanitizer)"
  # clang and lld: a third less compile time than GCC for the same checks.
  command -v clang++ >/dev/null || die "clang++ is not installed"
  configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRD_TSAN=ON -DRD_BUILD_BENCH=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld
  build "$dir" threads_tests sim_tests soak_check_tests service_tests
}

# Builds only, so that the builds can run while something else waits (the
# test command runs them beside the wine suites).
cmd_prebuild() {
  local name
  for name in "$@"; do
    case $name in
      fuzz) build_fuzz ;;
      tsan) build_tsan ;;
      *) die "prebuild: no build named $name" ;;
    esac
  done
}

cmd_fuzz() {
  local seconds=5
  while [ $# -gt 0 ]; do
    case $1 in
      --seconds) seconds=$2; shift 2 ;;
      *) die "fuzz: unknown option $1" ;;
    esac
  done
  local dir="$prefix-fuzz"
  build_fuzz
  local failed=0 target work log execs crashes rc jobs
  # Two targets at a time (one a core); each writes its exit status beside its log.
  jobs=$(nproc 2>/dev/null || echo 2)
  [ "$jobs" -le 2 ] || jobs=2
  for target in $fuzz_targets; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    work="$dir/work/$target"
    mkdir -p "$work" "$dir/artifacts/$target"
    log="$dir/$target.log"
    rm -f "$log.status"
    # New inputs go to the work corpus; the seed corpus in the tree is only read.
    (
      "$dir/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target/" \
        "$work" "fuzz/corpus/$target" >"$log" 2>&1
      echo $? >"$log.status"
    ) &
  done
  wait
  printf '%-18s %12s %8s %8s\n' target executions crashes seconds
  for target in $fuzz_targets; do
    log="$dir/$target.log"
    rc=$(cat "$log.status" 2>/dev/null || echo 1)
    execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n 1)
    crashes=$(find "$dir/artifacts/$target" -type f | wc -l)
    [ "$rc" -eq 0 ] || crashes=$((crashes > 0 ? crashes : 1))
    printf '%-18s %12s %8s %8s\n' "$target" "${execs:-?}" "$crashes" "$seconds"
    if [ "$crashes" -ne 0 ]; then
      failed=1
      grep -E 'ERROR|check failed|SUMMARY' "$log" | head -n 5
      echo "  log: $log; inputs: $dir/artifacts/$target/"
    elif [ "${execs:-0}" -eq 0 ]; then
      # A target that reports no executions did not fuzz at all.
      failed=1
      echo "  $target ran no input: log $log"
    fi
  done
  [ "$failed" -eq 0 ] || die "fuzz: a target crashed or ran no input"
  say "fuzz: no crash, hang or leak"
}

cmd_soak() {
  # Short: 16 jobs for 35 s at the full fault rate. Long: 20000 calls over
  # 32 jobs at 15 faults in 100 (a fault costs up to 4.5 s of waiting). Both
  # with every reply cut into pieces at random bytes.
  local args=(--jobs 16 --calls 1000000 --seconds 35 --chaos-percent 60 --segment)
  local dir="$prefix-soak" reuse=0
  while [ $# -gt 0 ]; do
    case $1 in
      --long) args=(--jobs 32 --calls 20000 --seconds 3600 --chaos-percent 15 --segment); shift ;;
      --seed) args+=(--seed "$2"); shift 2 ;;
      # An existing sanitizer build (the debug preset's) instead of a new one.
      --build) dir=$2; reuse=1; shift 2 ;;
      *) die "soak: unknown option $1" ;;
    esac
  done
  say "soak: build $dir (AddressSanitizer, UBSan, leak checks)"
  [ "$reuse" -eq 1 ] ||
    configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DRD_SANITIZE=ON -DRD_BUILD_BENCH=OFF
  build "$dir" raroredoziri_soak
  say "soak: raroredoziri_soak ${args[*]}"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 "$dir/tests/soak/raroredoziri_soak" "${args[@]}" ||
    die "soak"
}

cmd_tsan() {
  local dir="$prefix-tsan"
  build_tsan
  local failed=0 test
  for test in threads/threads_tests sim/sim_tests soak/soak_check_tests service/service_tests; do
    say "tsan: $test"
    TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
      "$dir/tests/$test" --gtest_brief=1 || failed=1
  done
  [ "$failed" -eq 0 ] || die "tsan: a test failed or ThreadSanitizer reported"
  say "tsan: no report"
}

cmd_coverage() {
  command -v gcovr >/dev/null || die "gcovr is not installed"
  local dir="$prefix-coverage"
  say "coverage: build $dir (gcc --coverage)"
  # Atomic counter updates: the tests run threads (the simulated scale), and
  # racing plain increments leave negative counts that gcov cannot read.
  configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DRD_COVERAGE=ON -DRD_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS=-fprofile-update=atomic
  build "$dir" all
  find "$dir" -name '*.gcda' -delete
  say "coverage: every native test"
  (cd "$dir" && RD_SIM="$root/$dir/tools/sim/raroredoziri-sim" ctest -j 4 --timeout 600 \
    --output-on-failure >"$root/$dir.ctest.log" 2>&1)
  local rc=$?
  tail -n 3 "$dir.ctest.log"
  # Lines and branches of src/, the Windows-only files and the COM server
  # left out (they are not built here).
  local args=(-r "$root" --object-directory "$dir" --filter "$root/src/"
              --exclude '.*_win32\.cpp$' --exclude "$root/src/server/"
              --exclude-unreachable-branches --exclude-throw-branches
              --gcov-ignore-parse-errors)
  gcovr "${args[@]}" --txt "$dir/coverage.txt" --html-details "$dir/coverage.html" \
    --print-summary | tail -n 3
  gcovr "${args[@]}" --branches --txt "$dir/branches.txt" >/dev/null
  echo "per file: $dir/coverage.txt (lines), $dir/branches.txt (branches), $dir/coverage.html"
  [ "$rc" -eq 0 ] || die "coverage: a test failed (see $dir.ctest.log)"
}

cmd_bench() {
  local dir="$prefix-bench"
  say "bench: build $dir (release)"
  configure "$dir" -DCMAKE_BUILD_TYPE=Release -DRD_BUILD_TESTS=OFF -DRD_BUILD_BENCH=ON
  build "$dir" frame_bench scale_bench
  local name
  for name in frame_bench scale_bench; do
    say "bench: $name"
    "$dir/bench/$name" --benchmark_counters_tabular=true || die "bench: $name"
  done
}

cmd_winsoak() {
  local cycles=100000
  while [ $# -gt 0 ]; do
    case $1 in
      --cycles) cycles=$2; shift 2 ;;
      *) die "winsoak: unknown option $1" ;;
    esac
  done
  local wine64 wineserver
  wine_tools
  local dir="$prefix-winsoak"
  say "winsoak: build $dir (Windows x64, MinGW-w64)"
  configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DRD_BUILD_BENCH=OFF
  build "$dir" winsoak_tests
  local prefix_dir
  prefix_dir=$(mktemp -d /tmp/raroredoziri-winsoak.XXXXXX)
  say "winsoak: $cycles cycles under wine64 (prefix $prefix_dir)"
  local rc=0
  WINEPREFIX="$prefix_dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    RD_WINSOAK_CYCLES=$cycles "$wine64" "$dir/tests/soak_win/winsoak_tests.exe" || rc=$?
  WINEPREFIX="$prefix_dir" "$wineserver" -k >/dev/null 2>&1
  rm -rf "$prefix_dir"
  [ "$rc" -eq 0 ] || die "winsoak"
}

# wine_tools: sets wine64 and wineserver, or dies.
wine_tools() {
  wine64=wine64 wineserver=wineserver
  command -v wine64 >/dev/null || wine64=/usr/lib/wine/wine64
  command -v wineserver >/dev/null || wineserver=/usr/lib/wine/wineserver
  [ -x "$(command -v "$wine64")" ] || die "wine64 is not installed"
}

# service_script NAME SCRIPT SECONDS WHAT [--seconds N] [--build DIR]
# [--windows [--windows-build DIR]]: runs a load script against a release
# build of the service and the simulated scale; with --windows against the
# Windows x64 build under wine64 (a private prefix, removed at the end).
service_script() {
  local name=$1 script=$2 seconds=$3 what=$4 dir="$prefix-service" windows=
  local windir="$prefix-service-win64"
  shift 4
  while [ $# -gt 0 ]; do
    case $1 in
      --seconds) seconds=$2; shift 2 ;;
      --build) dir=$2; shift 2 ;;
      --windows) windows=1; shift ;;
      --windows-build) windir=$2; shift 2 ;;
      *) die "$name: unknown option $1" ;;
    esac
  done
  if [ ! -f "$dir/build.ninja" ]; then
    say "$name: build $dir (release)"
    configure "$dir" -DCMAKE_BUILD_TYPE=Release -DRD_BUILD_TESTS=OFF -DRD_BUILD_BENCH=OFF
  fi
  local service="$dir/tools/service/raroredoziri-service" run=()
  if [ -z "$windows" ]; then
    build "$dir" raroredoziri-service raroredoziri-sim
  else
    wine_tools
    build "$dir" raroredoziri-sim
    if [ ! -f "$windir/build.ninja" ]; then
      say "$name: build $windir (Windows x64, MinGW-w64)"
      configure "$windir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DRD_BUILD_TESTS=OFF -DRD_BUILD_BENCH=OFF
    fi
    build "$windir" raroredoziri-service
    service="$windir/tools/service/raroredoziri-service.exe" run=(--wine "$wine64")
    WINEPREFIX=$(mktemp -d /tmp/raroredoziri-service-wine.XXXXXX)
    export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap '"$wineserver" -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"' EXIT
    say "$name: wine64 prefix $WINEPREFIX"
    "$wine64" wineboot -i >/dev/null 2>&1 || die "$name: wineboot"
    what="$what, the Windows build under wine64"
  fi
  say "$name: ${what/N/$seconds} on loopback"
  python3 "tools/loadtest/$script" --service "$service" "${run[@]}" \
    --sim "$dir/tools/sim/raroredoziri-sim" --seconds "$seconds" || die "$name"
}

cmd_service_load() { service_script service-load service_load.py 30 "N s" "$@"; }
cmd_slow_clients() {
  case " $* " in *" --windows"*) die "slow-clients: no --windows (the descriptors it counts are wine's)" ;; esac
  service_script slow-clients slow_clients.py 10 "3 phases of N s" "$@"
}

cmd_fleet() {
  local dir="$prefix-fleet" args=()
  while [ $# -gt 0 ]; do
    case $1 in
      --services|--scales|--goal-ms) args+=("$1" "$2"); shift 2 ;;
      --build) dir=$2; shift 2 ;;
      *) die "fleet: unknown option $1" ;;
    esac
  done
  if [ ! -f "$dir/build.ninja" ]; then
    say "fleet: build $dir (release)"
    configure "$dir" -DCMAKE_BUILD_TYPE=Release -DRD_BUILD_TESTS=OFF -DRD_BUILD_BENCH=OFF
  fi
  build "$dir" raroredoziri-service raroredoziri-sim raroredoziri-fleet
  say "fleet: ${args[*]:-10 services x 20 scales} on loopback"
  python3 tools/loadtest/fleet_load.py --service "$dir/tools/service/raroredoziri-service" \
    --sim "$dir/tools/sim/raroredoziri-sim" --fleet "$dir/tools/fleet/raroredoziri-fleet" \
    "${args[@]}" || die "fleet"
}

usage() { sed -n '2,/^set /p' "$0" | grep '^#'; exit 2; }

main() {
  [ $# -ge 1 ] || usage
  local command=$1
  shift
  case $command in
    fuzz) cmd_fuzz "$@" ;;
    soak) cmd_soak "$@" ;;
    tsan) cmd_tsan "$@" ;;
    coverage) cmd_coverage "$@" ;;
    bench) cmd_bench "$@" ;;
    winsoak) cmd_winsoak "$@" ;;
    service-load) cmd_service_load "$@" ;;
    slow-clients) cmd_slow_clients "$@" ;;
    fleet) cmd_fleet "$@" ;;
    prebuild) cmd_prebuild "$@" ;;
    *) usage ;;
  esac
}

# One line, read whole before it runs: editing this file during a run is safe.
main "$@"; exit $?
