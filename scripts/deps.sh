#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is
# missing. Idempotent: when everything is there it changes nothing. Runs as
# root, or as a user who may use sudo (every change goes through sudo then).
#   scripts/deps.sh          native build, tests, benchmarks, fuzzing
#   scripts/deps.sh --all    the above plus the Windows cross compilers and wine
set -euo pipefail

native=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest
        libbenchmark-dev clang lld llvm clang-format gcovr zip unzip file
        dpkg-dev libcpp-httplib-dev libboost1.81-dev nlohmann-json3-dev libssl-dev openssl curl python3
        libmosquitto-dev mosquitto mosquitto-clients libprotobuf-dev protobuf-compiler)
# The browser test of the scale service's page.
browser=(chromium chromium-driver python3-selenium)
windows=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
         libwine-dev wine64 wine)

with_windows=0
case "${1:-}" in
  --all) with_windows=1 ;;
  "") ;;
  *) echo "usage: scripts/deps.sh [--all]" >&2; exit 2 ;;
esac

# as_root COMMAND...: runs the command as root, through sudo unless we are root.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "deps.sh: '$*' needs root: run this script as root, or install sudo" >&2
    return 1
  fi
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The sanitizer and libFuzzer runtime of the default clang: the release's
# libclang-rt-dev where it exists, else libclang-rt-N-dev for the major
# version N of the clang the release installs.
clang_rt_installed() {
  installed libclang-rt-dev && return 0
  local major
  major=$(clang --version 2>/dev/null | sed -nE '1s/.*clang version ([0-9]+).*/\1/p')
  [ -n "$major" ] && installed "libclang-rt-$major-dev"
}
clang_rt_package() {
  if apt-cache show libclang-rt-dev >/dev/null 2>&1; then
    echo libclang-rt-dev
    return
  fi
  local major
  major=$(apt-cache depends clang 2>/dev/null | sed -nE 's/^ *Depends: clang-([0-9]+)$/\1/p' | head -n 1)
  [ -n "$major" ] || major=$(clang --version 2>/dev/null | sed -nE '1s/.*clang version ([0-9]+).*/\1/p')
  if [ -n "$major" ]; then echo "libclang-rt-$major-dev"; else echo libclang-rt-dev; fi
}

want=("${native[@]}")
[ "$with_windows" = 0 ] || want+=("${windows[@]}" "${browser[@]}")
missing=()
for pkg in "${want[@]}"; do
  installed "$pkg" || missing+=("$pkg")
done
need_clang_rt=0
clang_rt_installed || need_clang_rt=1
# wine32 runs the x86 build; it needs the i386 architecture (amd64 hosts only).
need_wine32=0
if [ "$with_windows" = 1 ] && [ "$(dpkg --print-architecture)" = amd64 ] &&
   ! installed wine32:i386; then
  need_wine32=1
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture (for wine32)"
    as_root dpkg --add-architecture i386
  fi
fi

[ "${#missing[@]}" -gt 0 ] || [ "$need_clang_rt" = 1 ] || [ "$need_wine32" = 1 ] || exit 0

# A mirror caught mid-sync fails the update now and then: try again, and go
# on with the lists there are if it still fails.
as_root apt-get update -qq || { sleep 10; as_root apt-get update -qq; } ||
  echo "apt-get update reported errors; installing from the package lists there are"
[ "$need_clang_rt" = 0 ] || missing+=("$(clang_rt_package)")
[ "$need_wine32" = 0 ] || missing+=(wine32:i386)
echo "Installing: ${missing[*]}"
# sudo drops the environment: the front end is passed on the command line.
apt_install() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}
log=$(mktemp "${TMPDIR:-/tmp}/raroredoziri-apt.XXXXXX")
trap 'rm -f "$log"' EXIT
if ! apt_install "${missing[@]}" >"$log" 2>&1; then
  cat "$log" >&2
  # wine32 may be missing from the mirror: without it the x86 build is built
  # but not run (scripts/test.sh says so, and fails in CI).
  rest=()
  for pkg in "${missing[@]}"; do [ "$pkg" = wine32:i386 ] || rest+=("$pkg"); done
  [ "${#rest[@]}" -eq "${#missing[@]}" ] || echo "deps.sh: wine32 could not be installed" >&2
  [ "${#rest[@]}" -eq 0 ] || apt_install "${rest[@]}"
fi
