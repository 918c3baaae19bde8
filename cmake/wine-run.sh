#!/usr/bin/env bash
# Runs a Windows test binary under wine: first argument 64 or 32, then the
# program and its arguments. WINEPREFIX is the private prefix of this test run
# (scripts/test.sh makes one); without it a throw-away prefix is used.
set -u
bits=$1; shift
export WINEDEBUG=-all
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
  own_prefix=1
  WINEPREFIX=$(mktemp -d /tmp/rd-wine.XXXXXX); export WINEPREFIX
  trap 'wineserver -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"' EXIT
fi
if [ "$bits" = 64 ]; then wine=wine64; else wine=wine; fi
command -v "$wine" >/dev/null || { [ -x /usr/lib/wine/$wine ] && wine=/usr/lib/wine/$wine; }
# With the run's prefix wine takes this process over, so that a signal sent
# to it (Ctrl+C) reaches the program.
if [ -z "$own_prefix" ]; then exec "$wine" "$@"; fi
"$wine" "$@"
