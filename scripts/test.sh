#!/usr/bin/env bash
# The project's test command: installs what is missing, builds every preset
# (Linux with sanitizers, Linux release, Windows x64 and x86) and runs every
# suite: natively, and the Windows builds under wine in a private prefix.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/deps.sh --all || { echo "dependency installation failed"; exit 1; }

jobs=$(nproc)
passed=0
failed=0
failures=()

step() { echo; echo "==== $* [${SECONDS} s]"; }

build() {
  local preset=$1
  step "build $preset"
  cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 ||
    { cat "build/$preset-configure.log"; return 1; }
  cmake --build --preset "$preset" -j "$jobs" 2>&1 | tail -n 5
  return "${PIPESTATUS[0]}"
}

# Runs one CTest suite and adds its counts to the totals.
suite() {
  local name=$1; shift
  step "tests: $name"
  local log
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log"
  local line p f
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failures+=("$name: no test ran")
  else
    f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    p=$(( $(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/') - f ))
    passed=$((passed + p)); failed=$((failed + f))
    [ "$f" -eq 0 ] || failures+=("$name: $f failed")
  fi
  rm -f "$log"
}

mkdir -p build
step "format: every C++ source as .clang-format wants it"
sources() {
  git ls-files '*.cpp' '*.h' '*.inc' 2>/dev/null ||
    find include src tools tests bench fuzz samples -name '*.cpp' -o -name '*.h' -o -name '*.inc'
}
unformatted=$(sources | xargs clang-format --dry-run 2>&1 |
  grep -oE '^[^:]+:[0-9]+:[0-9]+: warning' | cut -d: -f1 | sort -u)
if [ -z "$unformatted" ]; then
  passed=$((passed + 1))
else
  echo "$unformatted" | sed 's/^/not formatted: /'
  failed=$((failed + 1)); failures+=("format (clang-format -i the files above)")
fi

for preset in debug release mingw64 mingw32; do
  if ! build "$preset"; then
    failed=$((failed + 1)); failures+=("build $preset")
  fi
done

# The fuzz and ThreadSanitizer builds take CPU while the suites below mostly
# wait on wine and on the simulated scales; the quality steps reuse them.
bash scripts/quality.sh prebuild fuzz tsan >build/quality-prebuild.log 2>&1 &
prebuild=$!

export RD_SIM="$root/build/release/tools/sim/raroredoziri-sim"
suite "linux (ASan+UBSan)" --preset debug -j 4 --timeout 600

# One private wine prefix for this run, removed at the end.
WINEPREFIX=$(mktemp -d /tmp/raroredoziri-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
cleanup() { wineserver -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
step "wine prefix $WINEPREFIX"
wine wineboot -i >/dev/null 2>&1 || true
suite "windows x64 under wine64" --preset mingw64 -j 2 --timeout 600
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  suite "windows x86 under wine32" --preset mingw32 -j 2 --timeout 600
else
  echo "wine32 is not installed: the x86 build was built but not run"
fi

# Bad input, chaos and threads: short runs (scripts/quality.sh has the long ones).
quality() {
  step "quality: $*"
  if bash scripts/quality.sh "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); failures+=("quality.sh $*")
  fi
}
wait "$prebuild" || echo "(the early fuzz and tsan builds failed: build/quality-prebuild.log; they are tried again)"
quality fuzz --seconds 5
quality soak --build build/debug
quality tsan
quality service-load --seconds 5 --build build/release
quality fleet --services 2 --scales 3 --goal-ms 10000 --build build/release

step "packages: the Windows ZIP and the .deb, built and checked"
if bash scripts/package.sh; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); failures+=("packages (scripts/package.sh)")
fi

echo
echo "==== summary"
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed in ${SECONDS} s"
[ "$failed" -eq 0 ]
