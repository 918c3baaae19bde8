#!/usr/bin/env bash
# Makes ("setup") or removes ("cleanup") the private wine prefix that the
# transport tests of one test run share. Arguments: the action, the prefix
# directory, then the emulator command (wine-run.sh and its bit count).
set -u
action=$1
prefix=$2
shift 2
export WINEPREFIX=$prefix WINEDEBUG=-all
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)

stop_server() {
  if [ -d "$prefix" ]; then "$server" -k >/dev/null 2>&1 || true; fi
}

case $action in
  setup)
    stop_server
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # The first program started in an empty prefix initialises it.
    "$@" cmd.exe /c exit
    ;;
  cleanup)
    stop_server
    rm -rf "$prefix"
    ;;
  *)
    echo "usage: $0 setup|cleanup PREFIX EMULATOR..." >&2
    exit 2
    ;;
esac
