# Sourced by the server's script tests: a private wine prefix for one test
# run, removed with its wineserver when the script exits.
#   rd_wine_prefix 64|32   makes and boots the prefix, picks the loader
#   rd_wine ARGS...        runs a program with the loader of that width
#                          (64: system32 programs; 32: syswow64 programs and
#                          the 32-bit registry view)

rd_wine_prefix() {
  local bits=$1
  case "$bits" in
    64) rd_loader=wine64 ;;
    32) rd_loader=wine ;;
    *) echo "bits must be 64 or 32, not [$bits]"; return 1 ;;
  esac
  if ! command -v "$rd_loader" >/dev/null; then
    if [ -x "/usr/lib/wine/$rd_loader" ]; then
      rd_loader=/usr/lib/wine/$rd_loader
    else
      echo "$rd_loader is not installed"; return 1
    fi
  fi
  WINEPREFIX=$(mktemp -d /tmp/rd-server-wine.XXXXXX) || return 1
  # No Mono or Gecko installers while booting; no debug output.
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'rd_wine_cleanup' EXIT
  rd_wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  # One server for the whole run: without it each short-lived program may
  # meet a server that is just shutting down after the previous one.
  "$rd_wineserver" -p >/dev/null 2>&1
  "$rd_loader" wineboot -i >/dev/null 2>&1
  if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
    echo "wineboot did not make a prefix in $WINEPREFIX"; return 1
  fi
}

rd_wine() { "$rd_loader" "$@"; }

rd_wine_cleanup() {
  local status=$?
  [ -n "${rd_cleanup_extra:-}" ] && eval "$rd_cleanup_extra"
  "${rd_wineserver:-wineserver}" -k >/dev/null 2>&1
  [ -n "${WINEPREFIX:-}" ] && case "$WINEPREFIX" in /tmp/rd-server-wine.*) rm -rf "$WINEPREFIX" ;; esac
  exit "$status"
}
