#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is
# missing. Idempotent: when everything is there it changes nothing.
#   scripts/deps.sh          native build, tests, benchmarks, fuzzing
#   scripts/deps.sh --all    the above plus the Windows cross compilers and wine
set -euo pipefail

native=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest
        libbenchmark-dev clang libclang-rt-14-dev llvm clang-format gcovr zip unzip file
        dpkg-dev libcpp-httplib-dev nlohmann-json3-dev libssl-dev openssl curl
        libmosquitto-dev mosquitto mosquitto-clients libprotobuf-dev protobuf-compiler)
# The browser test of the scale service's page.
browser=(chromium chromium-driver python3-selenium)
windows=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
         libwine-dev wine64 wine)
wine32=(wine32:i386)

want=("${native[@]}")
with_windows=0
if [ "${1:-}" = "--all" ]; then
  with_windows=1
  want+=("${windows[@]}" "${browser[@]}")
fi

missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ "$with_windows" = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing+=("${wine32[@]}")
  elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    missing+=("${wine32[@]}")
  fi
fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  # A mirror caught mid-sync fails the update now and then: try again, and
  # go on with the lists there are if it still fails.
  $sudo apt-get update -qq || { sleep 10; $sudo apt-get update -qq; } ||
    echo "apt-get update reported errors; installing from the package lists there are"
  if ! $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/tmp/raroredoziri-apt.log 2>&1; then
    # wine32 is optional: without it the x86 build is built but not run.
    rest=()
    for pkg in "${missing[@]}"; do [ "$pkg" = wine32:i386 ] || rest+=("$pkg"); done
    cat /tmp/raroredoziri-apt.log >&2
    [ "${#rest[@]}" -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${rest[@]}"
  fi
fi
