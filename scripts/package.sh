#!/usr/bin/env bash
# Builds the two packages and checks them:
#   RaroreDoziri-<version>-windows.zip  x64/ and x86/ RaroreDoziri.dll with
#                                       register.cmd and unregister.cmd, the
#                                       type library, samples, user guide
#   raroredoziri_<version>_<arch>.deb   host, simulated scale, scale service
#                                       with its systemd unit, library,
#                                       headers, CMake package, user guide
# then
#   - checks the contents of both (file lists, the ZIP's DLLs are the very
#     files of the Windows builds, their bitness and exports, line ends);
#   - unzips the ZIP into a private wine prefix, registers both DLLs with
#     their register.cmd, runs the VBScript and JScript samples (64-bit and
#     32-bit script host) and the C++ sample against the simulated scale,
#     and unregisters again;
#   - unpacks the .deb into a scratch root and runs its host and its scale
#     service against its simulated scale;
#   - installs the release build into a scratch prefix and builds the
#     find_package consumer (tests/consumer) against it and against the
#     .deb's root, and runs it.
#
# Usage: scripts/package.sh [--builds PREFIX] [-j N]
#   --builds PREFIX  build trees build/<PREFIX>release, build/<PREFIX>mingw64
#                    and build/<PREFIX>mingw32 (default: the presets' own
#                    trees build/release, build/mingw64, build/mingw32). A
#                    missing tree is configured: with its preset when PREFIX
#                    is empty, else with the same settings and no tests.
#   -j N             parallel build jobs (default 2)
# The packages land in build/<PREFIX>packages/. Exit status 0 when every
# check passed. A check that cannot run (a tool missing: python3, objdump,
# wine32, a cross compiler) is a failure in CI (CI=true) and a loud warning
# by hand.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

prefix=""
jobs=2
while [ $# -gt 0 ]; do
  case "$1" in
    --builds) prefix=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    -h | --help) sed -n '2,30p' "$0"; exit 0 ;;
    *) echo "unknown argument $1 (see --help)"; exit 2 ;;
  esac
done

release_dir=$root/build/${prefix}release
x64_dir=$root/build/${prefix}mingw64
x86_dir=$root/build/${prefix}mingw32
out_dir=$root/build/${prefix}packages
version=$(sed -nE 's/^project\(RaroreDoziri VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)

# Loopback addresses of this script's simulated scales (port 5001).
addr_deb=127.77.0.1
addr_wine=127.77.0.2
addr_consumer=127.77.0.3
addr_service=127.77.0.4

passed=0
failed=0
failures=()
ok() { passed=$((passed + 1)); echo "ok   $*"; }
bad() { failed=$((failed + 1)); failures+=("$*"); echo "FAIL $*"; }
check() {  # check WHAT COMMAND...: the command's status decides
  local what=$1; shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}
step() { echo; echo "==== package: $*"; }
in_ci=0
case "${CI:-}" in true | TRUE | 1 | yes) in_ci=1 ;; esac
warnings=()
limits=()
not_checked() {  # not_checked WHAT: a check that could not run
  if [ "$in_ci" = 1 ]; then
    bad "not checked (CI): $*"
  else
    printf '\n!!!!!!!!!! WARNING: not checked: %s\n!!!!!!!!!! (a failure in CI)\n\n' "$*"
    warnings+=("$*")
  fi
}

# Everything this script starts is ended by the exit trap: simulated scales,
# the wine server of the private prefix, scratch directories.
scratch=$(mktemp -d /tmp/raroredoziri-package.XXXXXX)
sim_pids=()
wine_prefix=""
cleanup() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  if [ -n "$wine_prefix" ]; then
    WINEPREFIX=$wine_prefix wineserver -k >/dev/null 2>&1
    rm -rf "$wine_prefix"
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_sim LOG SIM ARGS...: starts a simulated scale, waits for "ready".
start_sim() {
  local log=$1 sim=$2; shift 2
  "$sim" "$@" >"$log" 2>&1 &
  local pid=$!
  sim_pids+=("$pid")
  local i
  for i in $(seq 50); do
    grep -qx ready "$log" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "simulated scale did not start:"; cat "$log"
  return 1
}
stop_sims() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  sim_pids=()
}

# ---------------------------------------------------------------------------
step "build trees"

# ensure_tree DIR PRESET TARGET...: configures DIR if needed and builds the
# targets the packages need (nothing to do when the tree is up to date).
ensure_tree() {
  local dir=$1 preset=$2; shift 2
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    if [ -z "$prefix" ]; then
      cmake --preset "$preset" >"$scratch/configure-$preset.log" 2>&1
    else
      local args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DRD_BUILD_TESTS=OFF -DRD_BUILD_BENCH=OFF)
      case "$preset" in
        mingw64) args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x64.cmake") ;;
        mingw32) args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86.cmake") ;;
      esac
      cmake -S "$root" -B "$dir" "${args[@]}" >"$scratch/configure-$preset.log" 2>&1
    fi || { cat "$scratch/configure-$preset.log"; return 1; }
  fi
  cmake --build "$dir" -j "$jobs" --target "$@" >"$scratch/build-$preset.log" 2>&1 ||
    { tail -n 30 "$scratch/build-$preset.log"; return 1; }
}
check "build $release_dir" ensure_tree "$release_dir" release raroredoziri raroredoziri-cli raroredoziri-sim raroredoziri-service raroredoziri-fleet
check "build $x64_dir" ensure_tree "$x64_dir" mingw64 RaroreDoziri raroredoziri-service
check "build $x86_dir" ensure_tree "$x86_dir" mingw32 RaroreDoziri raroredoziri-service
if [ "$failed" -gt 0 ]; then
  echo "package: the build trees are not usable; nothing packed"
  exit 1
fi

# ---------------------------------------------------------------------------
step "cpack"
rm -rf "$out_dir"
mkdir -p "$out_dir"
zip_name=RaroreDoziri-$version-windows
zip=$out_dir/$zip_name.zip
# logged LOG COMMAND...: runs the command with its output in LOG, shown on failure.
logged() {
  local log=$1; shift
  "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
}
check "cpack: Windows ZIP" logged "$scratch/cpack-zip.log" \
  cpack --config "$x64_dir/CPackConfig.cmake" -B "$out_dir" -D RD_X86_BUILD_DIR="$x86_dir"
check "cpack: Debian package" logged "$scratch/cpack-deb.log" \
  cpack --config "$release_dir/CPackConfig.cmake" -B "$out_dir"
deb=$(ls "$out_dir"/raroredoziri_"$version"_*.deb 2>/dev/null | head -n 1)
check "ZIP made: $zip" test -f "$zip"
check "Debian package made: ${deb:-none}" test -n "$deb"
[ -f "$zip" ] && [ -n "$deb" ] || exit 1
rm -rf "$out_dir/_CPack_Packages"

# ---------------------------------------------------------------------------
step "ZIP contents"
unzipped=$scratch/zip
mkdir -p "$unzipped"
unzip -q "$zip" -d "$unzipped"
top=$unzipped/$zip_name

expected_zip=$(cat <<EOF
$zip_name/README.txt
$zip_name/RaroreDoziri.tlb
$zip_name/include/RaroreDoziri_TLB.h
$zip_name/samples/cpp/scale_client.cpp
$zip_name/samples/csharp/ScaleSample.cs
$zip_name/samples/jscript/scale.js
$zip_name/samples/powershell/scale.ps1
$zip_name/samples/vba/RaroreDoziriSample.bas
$zip_name/samples/vbscript/scale.vbs
$zip_name/service.json.example
$zip_name/user-guide.md
$zip_name/x64/RaroreDoziri.dll
$zip_name/x64/install-service.cmd
$zip_name/x64/raroredoziri-service.exe
$zip_name/x64/register.cmd
$zip_name/x64/uninstall-service.cmd
$zip_name/x64/unregister.cmd
$zip_name/x86/RaroreDoziri.dll
$zip_name/x86/install-service.cmd
$zip_name/x86/raroredoziri-service.exe
$zip_name/x86/register.cmd
$zip_name/x86/uninstall-service.cmd
$zip_name/x86/unregister.cmd
EOF
)
actual_zip=$(cd "$unzipped" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual_zip" = "$expected_zip" ]; then
  ok "ZIP holds exactly the expected files"
else
  bad "ZIP file list"
  diff <(echo "$expected_zip") <(echo "$actual_zip")
fi

check "x64 DLL is the one the x64 build made" cmp -s "$top/x64/RaroreDoziri.dll" "$x64_dir/src/server/RaroreDoziri.dll"
check "x86 DLL is the one the x86 build made" cmp -s "$top/x86/RaroreDoziri.dll" "$x86_dir/src/server/RaroreDoziri.dll"
check "C++ declarations carry no build path" grep -q '^/\*\*\* Autogenerated by WIDL .* from RaroreDoziri\.idl ' "$top/include/RaroreDoziri_TLB.h"
check "type library is the one the build made" cmp -s "$top/RaroreDoziri.tlb" "$x64_dir/src/server/generated/RaroreDoziri.tlb"
# crlf_only FILE: every line ends with CR LF.
crlf_only() { [ -s "$1" ] && ! grep -q $'[^\r]$' "$1" && ! grep -q '^$' "$1"; }
# crlf_copy COPY SOURCE: COPY is SOURCE with CR LF line ends.
crlf_copy() { crlf_only "$1" && tr -d '\r' <"$1" | cmp -s - "$2"; }
objdump_of() { if [ "$1" = x64 ]; then echo x86_64-w64-mingw32-objdump; else echo i686-w64-mingw32-objdump; fi; }
for arch in x64 x86; do
  dll=$top/$arch/RaroreDoziri.dll
  od=$(objdump_of "$arch")
  command -v "$od" >/dev/null || { bad "$arch DLL: $od is not installed: format, exports and imports not checked"; continue; }
  if [ "$arch" = x64 ]; then format=pei-x86-64; else format=pei-i386; fi
  check "$arch DLL format $format" sh -c "$od -f '$dll' | grep -q 'file format $format'"
  exports=$($od -p "$dll" | sed -n '/Ordinal\/Name Pointer/,/^$/p' |
    sed -nE 's/^\s+\[\s*[0-9]+\]\s+(\S+)$/\1/p' | LC_ALL=C sort | tr '\n' ' ')
  if [ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]; then
    ok "$arch DLL exports the four entry points"
  else
    bad "$arch DLL exports: [$exports]"
  fi
  # objdump must list the imports: a failed dump is no proof of their absence.
  check "$arch DLL needs no MinGW runtime DLL" sh -c "d=\$($od -p '$dll') && echo \"\$d\" | grep -q 'DLL Name:' &&
    ! echo \"\$d\" | grep -iqE 'DLL Name: *(libstdc|libgcc|libwinpthread)'"
  exe=$top/$arch/raroredoziri-service.exe
  check "$arch service needs no MinGW runtime DLL" sh -c "d=\$($od -p '$exe') && echo \"\$d\" | grep -q 'DLL Name:' &&
    ! echo \"\$d\" | grep -iqE 'DLL Name: *(libstdc|libgcc|libwinpthread)'"
  for script in install-service uninstall-service; do
    check "$arch/$script.cmd has CRLF line ends" crlf_only "$top/$arch/$script.cmd"
  done
  for script in register unregister; do
    f=$top/$arch/$script.cmd
    check "$arch/$script.cmd has CRLF line ends" crlf_only "$f"
    check "$arch/$script.cmd is for $arch" grep -q "set \"RD_ARCH=$arch\"" "$f"
  done
done
# The text files are the sources with CRLF line ends, nothing else changed.
for f in samples/cpp/scale_client.cpp samples/csharp/ScaleSample.cs samples/jscript/scale.js \
         samples/powershell/scale.ps1 samples/vba/RaroreDoziriSample.bas samples/vbscript/scale.vbs; do
  check "$f: the source with CRLF line ends" crlf_copy "$top/$f" "$root/$f"
done
check "user-guide.md: the source with CRLF line ends" crlf_copy "$top/user-guide.md" "$root/docs/user-guide.md"
check "README.txt: the source with CRLF line ends" crlf_copy "$top/README.txt" "$root/packaging/windows/README.txt"

# ---------------------------------------------------------------------------
step "Debian package contents"
field() { dpkg-deb -f "$deb" "$1"; }
for f in Package Version Architecture Depends Maintainer; do echo "    $f: $(field "$f")"; done
check "control: Package raroredoziri" test "$(field Package)" = raroredoziri
check "control: Version $version" test "$(field Version)" = "$version"
check "control: Architecture $(dpkg --print-architecture)" test "$(field Architecture)" = "$(dpkg --print-architecture)"
check "control: Depends names the C++ runtime" grep -q 'libstdc++6' <<<"$(field Depends)"
check "control: Depends names the TLS library of the service" grep -q 'libssl' <<<"$(field Depends)"
check "control: Depends names the MQTT client library" grep -q 'libmosquitto' <<<"$(field Depends)"
deb_files=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' | grep -v '/$' | LC_ALL=C sort)
for f in /usr/bin/raroredoziri /usr/bin/raroredoziri-sim /usr/lib/libraroredoziri.a \
         /usr/bin/raroredoziri-service /usr/lib/systemd/system/raroredoziri-service.service \
         /usr/bin/raroredoziri-fleet \
         /usr/share/doc/raroredoziri/service.json.example \
         /usr/include/raroredoziri/Scale.h /usr/include/raroredoziri/Members.h \
         /usr/include/raroredoziri/Members.inc /usr/include/raroredoziri/Transport.h \
         /usr/include/raroredoziri/Text.h /usr/include/raroredoziri/ErrorInfo.h \
         /usr/include/raroredoziri/Fault.h /usr/include/raroredoziri/Bytes.h \
         /usr/include/raroredoziri/Frame.h \
         /usr/lib/cmake/RaroreDoziri/RaroreDoziriConfig.cmake \
         /usr/lib/cmake/RaroreDoziri/RaroreDoziriConfigVersion.cmake \
         /usr/lib/cmake/RaroreDoziri/RaroreDoziriTargets.cmake \
         /usr/share/doc/raroredoziri/user-guide.md; do
  check ".deb holds $f" grep -qxF "$f" <<<"$deb_files"
done
check ".deb holds no file outside /usr" test -z "$(grep -v '^/usr/' <<<"$deb_files")"
headers_src=$(cd include/raroredoziri && ls | LC_ALL=C sort | tr '\n' ' ')
headers_deb=$(grep '^/usr/include/raroredoziri/' <<<"$deb_files" | sed 's|.*/||' | LC_ALL=C sort | tr '\n' ' ')
check ".deb holds every public header" test "$headers_src" = "$headers_deb"

# ---------------------------------------------------------------------------
step "Debian package: host against the simulated scale"
deb_root=$scratch/debroot
mkdir -p "$deb_root"
dpkg -x "$deb" "$deb_root"
host=$deb_root/usr/bin/raroredoziri
deb_sim=$deb_root/usr/bin/raroredoziri-sim
check ".deb host runs (--help)" sh -c "'$host' --help | grep -q 'Result codes'"
if start_sim "$scratch/sim-deb.log" "$deb_sim" --tcp "$addr_deb" --weight 1234 --division 2; then
  ok ".deb simulated scale listens on $addr_deb"
  "$host" Connection=$addr_deb OpenConnection ReadWeight Weight CloseConnection \
    >"$scratch/host.txt" 2>&1
  status=$?
  sed 's/^/    /' "$scratch/host.txt"
  check ".deb host: exit status 0" test "$status" -eq 0
  check ".deb host: session output" test "$(tr -d '\r' <"$scratch/host.txt")" = \
    "$(printf 'OpenConnection=0\nReadWeight=0\nWeight=1234\nCloseConnection=0')"
  check ".deb simulated scale saw the weight request" grep -q 'ReadWeight' "$scratch/sim-deb.log"
else
  bad ".deb simulated scale did not start"
fi
stop_sims

# The .deb's scale service against its simulated scale, on a free port.
deb_service=$deb_root/usr/bin/raroredoziri-service
if command -v python3 >/dev/null; then
  check ".deb example configuration is valid JSON" \
    python3 -m json.tool "$deb_root/usr/share/doc/raroredoziri/service.json.example" /dev/null
else
  not_checked ".deb example configuration: python3 is not installed"
fi
check ".deb systemd unit starts the service with /etc/raroredoziri/service.json" grep -qx \
  'ExecStart=/usr/bin/raroredoziri-service --config /etc/raroredoziri/service.json' \
  "$deb_root/usr/lib/systemd/system/raroredoziri-service.service"
if start_sim "$scratch/sim-service.log" "$deb_sim" --tcp "$addr_service" --weight 4321 --division 1; then
  "$deb_service" --port 0 --scale front="$addr_service" 2>"$scratch/service.log" &
  service_pid=$!
  sim_pids+=("$service_pid")
  url=""
  for i in $(seq 50); do
    url=$(sed -nE 's|.*listening on (http://[^ ]*/)$|\1|p' "$scratch/service.log")
    [ -n "$url" ] && curl -s "${url}scales" | grep -q '"connected"' && break
    sleep 0.1
  done
  weight=$(curl -s "${url}scales/front/weight")
  echo "    $weight"
  check ".deb scale service reads the weight" grep -q '"result":0,"meaning":"done","weight":4321,' <<<"$weight"
  kill -TERM "$service_pid" 2>/dev/null
  wait "$service_pid" 2>/dev/null
  check ".deb scale service stops cleanly on SIGTERM" test $? -eq 0
else
  bad "simulated scale for the service did not start"
fi
stop_sims

# The guide's member reference table lists exactly the members the host
# knows: DISPID, name, kinds and type, in interface order.
"$host" --list | awk '
  { key = $1 " " $2 " " $4
    if (!(key in kinds)) { order[++n] = key; kinds[key] = $3 } else kinds[key] = kinds[key] "/" $3 }
  END { for (i = 1; i <= n; i++) { split(order[i], f, " "); print f[1], f[2], kinds[order[i]], f[3] } }' \
  >"$scratch/members-host.txt"
sed -nE 's/^\| ([0-9]{3}) \| `([A-Za-z0-9]+)` \| ([a-z/]+) \| ([A-Z0-9]+) \|.*/\1 \2 \3 \4/p' \
  "$deb_root/usr/share/doc/raroredoziri/user-guide.md" >"$scratch/members-guide.txt"
if [ "$(wc -l <"$scratch/members-host.txt")" -eq 60 ] &&
   diff "$scratch/members-host.txt" "$scratch/members-guide.txt"; then
  ok "user guide: the member table matches the 99 members (60 DISPIDs) of the host"
else
  bad "user guide: the member table differs from the host's member list"
fi

# ---------------------------------------------------------------------------
step "find_package consumer"
install_prefix=$scratch/prefix
check "cmake --install into a scratch prefix" logged "$scratch/install.log" \
  cmake --install "$release_dir" --prefix "$install_prefix"
# consumer_build NAME PREFIX: configures and builds tests/consumer against the
# installation under PREFIX, and checks that the package came from there.
consumer_build() {
  local name=$1 pkg_prefix=$2 dir=$scratch/consumer-$1
  cmake -S "$root/tests/consumer" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$pkg_prefix" -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON \
    -DCMAKE_FIND_PACKAGE_NO_SYSTEM_PACKAGE_REGISTRY=ON >"$dir.log" 2>&1 &&
    grep -q "RaroreDoziri 1\.[0-9.]* from $pkg_prefix/" "$dir.log" &&
    cmake --build "$dir" >>"$dir.log" 2>&1 ||
    { cat "$dir.log"; return 1; }
}
check "consumer builds against the scratch prefix" consumer_build prefix "$install_prefix"
check "consumer builds against the .deb's root" consumer_build deb "$deb_root/usr"
if start_sim "$scratch/sim-consumer.log" "$release_dir/tools/sim/raroredoziri-sim" \
     --tcp "$addr_consumer" --weight 777 --division 1; then
  for name in prefix deb; do
    "$scratch/consumer-$name/consumer" "$addr_consumer" >"$scratch/consumer-$name.txt" 2>&1
    status=$?
    sed 's/^/    /' "$scratch/consumer-$name.txt"
    check "consumer ($name) session against the simulated scale" sh -c \
      "[ $status -eq 0 ] && grep -qx 'Weight=777 Division=1 Stable=1' '$scratch/consumer-$name.txt'"
  done
else
  bad "simulated scale for the consumer did not start"
fi
stop_sims

# ---------------------------------------------------------------------------
step "ZIP under wine: register, samples, unregister"
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32=$(command -v wine || echo /usr/lib/wine/wine)
if [ ! -x "$wine64" ]; then
  bad "wine64 is not installed: the samples did not run"
else
  wine_prefix=$(mktemp -d /tmp/raroredoziri-package-wine.XXXXXX)
  export WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  timeout 600 "$wine64" wineboot -i >/dev/null 2>&1
  check "wine prefix $wine_prefix" test -d "$wine_prefix/drive_c/windows/system32"
  have_wow64=0
  [ -x "$wine32" ] && [ -f "$wine_prefix/drive_c/windows/syswow64/cscript.exe" ] && have_wow64=1
  # A folder with spaces and parentheses, as under "Program Files (x86)".
  install_unix="$wine_prefix/drive_c/Program Files (x86)/RaroreDoziri Package (test)"
  mkdir -p "$install_unix"
  unzip -q "$zip" -d "$install_unix"
  pkg_unix=$install_unix/$zip_name
  clsid='{A05E2075-3492-414F-9460-0415E7BFCF54}'
  arches=(x64)
  [ "$have_wow64" = 1 ] && arches+=(x86)
  # wine32 is optional, as for the test suites: without it the x86 DLL is
  # checked in the ZIP but not registered or run.
  if [ "$have_wow64" = 0 ] && [ -x /usr/lib/wine/wine ] && bash scripts/kernel32.sh; then
    printf '\n!!!!!!!!!! NOT RUN ON THIS MACHINE: %s\n\n' \
      "this kernel cannot execute 32-bit programs: the x86 DLL was not registered or run, nor the x86 samples"
    limits+=("x86 DLL and samples: this kernel cannot execute 32-bit programs")
  elif [ "$have_wow64" = 0 ]; then
    not_checked "no 32-bit wine (wine32): the x86 DLL was not registered or run, nor the x86 samples"
  fi

  # regsvr_cmd ARCH VERB: runs x64\register.cmd etc. with the 64-bit cmd.
  regsvr_cmd() {
    (cd "$pkg_unix/$1" && timeout 120 "$wine64" cmd /c "$2.cmd" /q) >"$scratch/$1-$2.txt" 2>&1
    local status=$?
    tr -d '\r' <"$scratch/$1-$2.txt" | sed 's/^/    /'
    return $status
  }
  # server_path ARCH: the InprocServer32 of the class in that registry view.
  server_path() {
    local view=/reg:64
    [ "$1" = x86 ] && view=/reg:32
    "$wine64" reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve $view 2>/dev/null | tr -d '\r' |
      sed -nE 's/.*REG_SZ +(.*)$/\1/p'
  }
  for arch in "${arches[@]}"; do
    check "$arch\\register.cmd exit status 0" regsvr_cmd "$arch" register
    check "$arch\\register.cmd reports success" grep -q "^Registered .*\\\\$arch\\\\RaroreDoziri.dll \\[$arch\\]" "$scratch/$arch-register.txt"
    server=$(server_path "$arch")
    server_unix=$("$wine64" winepath -u "$server" 2>/dev/null | tr -d '\r')
    check "$arch: the class is registered to this DLL" test "$(realpath -e "$server_unix" 2>/dev/null)" = "$(realpath "$pkg_unix/$arch/RaroreDoziri.dll")"
  done

  if start_sim "$scratch/sim-wine.log" "$release_dir/tools/sim/raroredoziri-sim" \
       --tcp "$addr_wine" --weight 1234 --division 2 --tare 50 --refuse AF; then
    expected_sample=$(cat <<EOF
OpenConnection: 0 (done)
ReadWeight: 0 (done)
Weight=1234 Division=2 Stable=1
ReadTare: 0 (done)
Tare=50 Division=2
SetGoods: 0 (done)
SetScreen: 5 (refused by the scale)
@SCREEN@
Screen is still 1
CloseConnection: 0 (done)
EOF
)
    # run_sample NAME EXPECTED-SCREEN-LINE LOADER PROGRAM ARGS...
    run_sample() {
      local name=$1 screen_line=$2; shift 2
      local dir=$1; shift
      (cd "$dir" && timeout 120 "$@") >"$scratch/$name.txt" 2>&1
      local status=$?
      tr -d '\r' <"$scratch/$name.txt" | sed 's/^/    /'
      if [ "$status" -ne 0 ]; then echo "    (exit status $status)"; return 1; fi
      # (Not ${x/pattern/replacement}: bash 5.2 gives "&" a meaning there.)
      [ "$(tr -d '\r' <"$scratch/$name.txt")" = "$(sed -n '1,7p' <<<"$expected_sample"
        echo "$screen_line"
        sed -n '9,$p' <<<"$expected_sample")" ]
    }
    vbs_screen='Screen = -1 failed: Range check error (error &H8000FFFF, source RaroreDoziri.Scale)'
    js_screen='Screen = -1 failed: Range check error (status 0x8000FFFF)'
    cpp_screen='Screen = -1 failed: Range check error (HRESULT 0x8000FFFF)'
    check "VBScript sample, 64-bit cscript" run_sample vbs64 "$vbs_screen" \
      "$pkg_unix/samples/vbscript" "$wine64" cscript //nologo scale.vbs "$addr_wine"
    check "JScript sample, 64-bit cscript" run_sample js64 "$js_screen" \
      "$pkg_unix/samples/jscript" "$wine64" cscript //nologo scale.js "$addr_wine"
    if [ "$have_wow64" = 1 ]; then
      check "VBScript sample, 32-bit cscript" run_sample vbs32 "$vbs_screen" \
        "$pkg_unix/samples/vbscript" "$wine32" 'C:\windows\syswow64\cscript.exe' //nologo scale.vbs "$addr_wine"
      check "JScript sample, 32-bit cscript" run_sample js32 "$js_screen" \
        "$pkg_unix/samples/jscript" "$wine32" 'C:\windows\syswow64\cscript.exe' //nologo scale.js "$addr_wine"
    fi
    # The C++ sample, compiled as an integrator would with MinGW-w64 from the
    # ZIP's declarations.
    if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
      not_checked "C++ sample (x64): x86_64-w64-mingw32-g++-posix is not installed"
    else
      check "C++ sample compiles with MinGW-w64 (x64)" sh -c \
        "x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -I'$pkg_unix/include' \
           '$pkg_unix/samples/cpp/scale_client.cpp' -o '$pkg_unix/samples/cpp/scale_client.exe' \
           -static -lole32 -loleaut32 -luuid 2>&1"
      check "C++ sample (x64) against the simulated scale" run_sample cpp64 "$cpp_screen" \
        "$pkg_unix/samples/cpp" "$wine64" scale_client.exe "$addr_wine"
    fi
    if [ "$have_wow64" = 1 ] && ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
      not_checked "C++ sample (x86): i686-w64-mingw32-g++-posix is not installed"
    elif [ "$have_wow64" = 1 ]; then
      check "C++ sample compiles with MinGW-w64 (x86)" sh -c \
        "i686-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -I'$pkg_unix/include' \
           '$pkg_unix/samples/cpp/scale_client.cpp' -o '$pkg_unix/samples/cpp/scale_client32.exe' \
           -static -lole32 -loleaut32 -luuid 2>&1"
      check "C++ sample (x86) against the simulated scale" run_sample cpp32 "$cpp_screen" \
        "$pkg_unix/samples/cpp" "$wine32" scale_client32.exe "$addr_wine"
    fi
    requests=$(grep -c '^request ' "$scratch/sim-wine.log")
    echo "    the simulated scale answered $requests requests"
  else
    bad "simulated scale for the samples did not start"
  fi
  stop_sims

  # No connection: the sample says so and ends with status 2.
  (cd "$pkg_unix/samples/vbscript" && timeout 120 "$wine64" cscript //nologo scale.vbs "$addr_wine") \
    >"$scratch/vbs-none.txt" 2>&1
  status=$?
  check "VBScript sample without a scale: result 1, exit status 2" sh -c \
    "[ $status -eq 2 ] && tr -d '\\r' <'$scratch/vbs-none.txt' | grep -qx 'OpenConnection: 1 (no usable connection)'"

  for arch in "${arches[@]}"; do
    check "$arch\\unregister.cmd exit status 0" regsvr_cmd "$arch" unregister
    check "$arch: the class is no longer registered" test -z "$(server_path "$arch")"
  done
  # A DLL that cannot be loaded: register.cmd reports regsvr32's failure.
  mkdir -p "$pkg_unix/broken"
  cp "$pkg_unix/x64/register.cmd" "$pkg_unix/broken/"
  head -c 4096 "$pkg_unix/x64/RaroreDoziri.dll" >"$pkg_unix/broken/RaroreDoziri.dll"
  regsvr_cmd broken register
  status=$?
  check "register.cmd with a damaged DLL: exit status 3 and the reason" sh -c \
    "[ $status -eq 3 ] && grep -q 'regsvr32 exit code 3' '$scratch/broken-register.txt'"

  WINEPREFIX=$wine_prefix wineserver -k >/dev/null 2>&1
  rm -rf "$wine_prefix"
  wine_prefix=""
fi

# ---------------------------------------------------------------------------
step "summary"
ls -l "$zip" "$deb" | awk '{print "    " $5 "  " $NF}'
for f in "${warnings[@]}"; do echo "WARNING: not checked: $f"; done
for f in "${limits[@]}"; do echo "NOT RUN ON THIS MACHINE: $f"; done
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "package: $passed checks passed, $failed failed"
[ "$failed" -eq 0 ]
