#!/usr/bin/env bash
# The project's test command: installs what is missing, builds every preset
# (Linux with sanitizers, Linux release, Windows x64 and x86) and the fuzz and
# ThreadSanitizer trees, then runs every suite: natively, and the Windows
# builds under wine in a private prefix. Every build comes first: no suite
# shares the machine with a compiler.
#
# A check that could not run (a tool missing, a CTest skipped or not run) is
# a failure in CI (CI=true) and a loud warning by hand.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/deps.sh --all || { echo "dependency installation failed"; exit 1; }

jobs=$(nproc)
passed=0
failed=0
failures=()
warnings=()
in_ci=0
case "${CI:-}" in true | TRUE | 1 | yes) in_ci=1 ;; esac

step() { echo; echo "==== $* [${SECONDS} s]"; }

build() {
  local preset=$1
  step "build $preset"
  cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 ||
    { cat "build/$preset-configure.log"; return 1; }
  cmake --build --preset "$preset" -j "$jobs" 2>&1 | tail -n 5
  return "${PIPESTATUS[0]}"
}

# not_checked WHAT: something could not be checked.
not_checked() {
  if [ "$in_ci" = 1 ]; then
    echo "FAILED (CI): not checked: $*"
    failed=$((failed + 1)); failures+=("not checked: $*")
  else
    printf '\n!!!!!!!!!! WARNING: not checked: %s\n!!!!!!!!!! (a failure in CI)\n\n' "$*"
    warnings+=("$*")
  fi
}

# machine_limit WHAT: this machine cannot run a check, and nothing that the
# set-up installs could change that (the kernel's own limits).
limits=()
machine_limit() {
  printf '\n!!!!!!!!!! NOT RUN ON THIS MACHINE: %s\n\n' "$*"
  limits+=("$*")
}

# Runs one CTest suite and adds its counts to the totals.
suite() {
  local name=$1; shift
  step "tests: $name"
  local log
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log"
  local line p f skipped disabled
  # CTest counts a skipped test as passed and leaves a disabled one out of
  # its total; a test that could not start ("Not Run") is already a failure.
  skipped=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*Skipped' "$log")
  disabled=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*Not Run \(Disabled\)' "$log")
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failures+=("$name: no test ran")
  else
    f=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    p=$(( $(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/') - f - skipped ))
    [ "$p" -ge 0 ] || p=0
    passed=$((passed + p)); failed=$((failed + f))
    [ "$f" -eq 0 ] || failures+=("$name: $f failed")
  fi
  if [ $((skipped + disabled)) -gt 0 ]; then
    grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(\*\*\*Skipped|Not Run \(Disabled\))' "$log" |
      sed 's/^ */  did not run: /'
    not_checked "$name: $((skipped + disabled)) tests skipped or disabled"
  fi
  rm -f "$log"
}

mkdir -p build
step "deps.sh on a bare machine, as root and through sudo (stand-ins for dpkg, apt and sudo)"
if bash scripts/deps_check.sh; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); failures+=("deps.sh (scripts/deps_check.sh)")
fi

step "format: every C++ source as .clang-format wants it"
sources() {
  git ls-files '*.cpp' '*.h' '*.inc' 2>/dev/null ||
    find include src tools tests bench fuzz samples -name '*.cpp' -o -name '*.h' -o -name '*.inc'
}
if ! command -v clang-format >/dev/null; then
  not_checked "format: clang-format is not installed"
elif [ ! -r .clang-format ]; then
  failed=$((failed + 1)); failures+=("format: .clang-format is missing or unreadable")
else
  # --Werror: a file that is not formatted fails; a style that cannot be read
  # fails too (no fallback style).
  format_log=$(sources | xargs clang-format --style=file --fallback-style=none --dry-run --Werror 2>&1)
  format_status=$?
  unformatted=$(sed -nE 's/^([^:]+):[0-9]+:[0-9]+: (warning|error): code should be clang-formatted.*/\1/p' \
    <<<"$format_log" | sort -u)
  if [ "$format_status" -eq 0 ] && [ -z "$unformatted" ]; then
    passed=$((passed + 1))
  else
    [ -z "$unformatted" ] || echo "$unformatted" | sed 's/^/not formatted: /'
    grep -iE '(^|: )error' <<<"$format_log" | grep -v 'code should be clang-formatted' | head -n 10
    failed=$((failed + 1)); failures+=("format (clang-format -i the files above; status $format_status)")
  fi
fi

for preset in debug release mingw64 mingw32; do
  if ! build "$preset"; then
    failed=$((failed + 1)); failures+=("build $preset")
  fi
done

# The fuzz and ThreadSanitizer trees the quality steps use, built before any
# suite runs (a build beside the timing-sensitive suites makes them flaky).
step "build the fuzz and ThreadSanitizer trees (log: build/quality-prebuild.log)"
bash scripts/quality.sh prebuild fuzz tsan >build/quality-prebuild.log 2>&1 ||
  echo "(the fuzz and tsan builds failed: build/quality-prebuild.log; the quality steps try again)"

# A suite CTest never registered cannot report a skip: the browser test is
# registered only with chromium-driver and python3-selenium.
ctest --preset debug -N 2>/dev/null | grep -q ' browser\.page$' ||
  not_checked "the browser test of the service page is not registered (chromium-driver, python3-selenium)"

export RD_SIM="$root/build/release/tools/sim/raroredoziri-sim"
suite "linux (ASan+UBSan)" --preset debug -j 4 --timeout 600

# One private wine prefix for this run, removed at the end.
WINEPREFIX=$(mktemp -d /tmp/raroredoziri-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
cleanup() { wineserver -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
step "wine prefix $WINEPREFIX"
# Made by wine64 (/usr/bin/wine prefers wine32, which may not run here: the
# prefix would stay empty), and booted to the end before the suites: the
# service tests link serial ports into its dosdevices, and a boot still going
# on holds the service manager that the service test uses.
{ bash cmake/wine-run.sh 64 wineboot -i && timeout 120 wineserver -w; } >/dev/null 2>&1 || true
# Three at a time: the wine tests mostly wait (for the wine server, timeouts,
# the simulated scale), 85 -> 69 s.
suite "windows x64 under wine64" --preset mingw64 -j 3 --timeout 600
# 32-bit wine needs wine32 (a package: missing is a failure in CI) and a
# kernel that runs 32-bit programs (no package brings that: said loudly).
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  suite "windows x86 under wine32" --preset mingw32 -j 3 --timeout 600
elif [ -x /usr/lib/wine/wine ] && bash scripts/kernel32.sh; then
  machine_limit "windows x86 under wine32: this kernel cannot execute 32-bit programs; the x86 build was built and its imports checked, not run"
else
  not_checked "windows x86 under wine32: 32-bit wine cannot run here (wine32 missing or broken); the x86 build was built but not run"
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
quality fuzz --seconds 5
quality soak --build build/debug
quality tsan
quality service-load --seconds 5 --build build/release
quality fleet --services 2 --scales 3 --goal-ms 10000 --build build/release

step "the examples of the user guide and README against the simulated scale"
if ! command -v python3 >/dev/null; then
  not_checked "the guide's examples: python3 is not installed"
elif python3 scripts/guide_check.py --bin build/release; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); failures+=("the guide's examples (scripts/guide_check.py)")
fi

step "the main job: scripts/demo.sh (log: build/demo.log)"
if bash scripts/demo.sh >build/demo.log 2>&1; then
  passed=$((passed + 1))
else
  tail -n 20 build/demo.log
  failed=$((failed + 1)); failures+=("the main job (scripts/demo.sh, build/demo.log)")
fi

step "packages: the Windows ZIP and the .deb, built and checked"
if bash scripts/package.sh; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); failures+=("packages (scripts/package.sh)")
fi

echo
echo "==== summary"
for f in "${warnings[@]}"; do echo "WARNING: not checked: $f"; done
for f in "${limits[@]}"; do echo "NOT RUN ON THIS MACHINE: $f"; done
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed in ${SECONDS} s"
[ "$failed" -eq 0 ]
