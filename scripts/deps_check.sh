#!/usr/bin/env bash
# Checks scripts/deps.sh on a machine that lacks everything, without touching
# this one: dpkg, apt-get, apt-cache, id and sudo are stand-ins that record
# each call and who made it. Run as a user with sudo, every change must go
# through sudo, apt must run non-interactively, and the clang runtime and
# wine32 must be asked for; run as root, no sudo is needed.
# Exit status 0 when both runs did what they should.
set -uo pipefail
cd "$(dirname "$0")/.."
stubs=$(mktemp -d "${TMPDIR:-/tmp}/raroredoziri-deps-check.XXXXXX")
trap 'rm -rf "$stubs"' EXIT
calls=$stubs/calls

stub() { printf '#!/bin/sh\n%s\n' "$2" >"$stubs/$1"; chmod +x "$stubs/$1"; }
# Who runs: "root" under the sudo stand-in or when the run is as root.
who='if [ -n "${STUB_ROOT:-}" ]; then w=root; else w=user; fi'
stub id '[ "$1" = -u ] && { [ -n "${STUB_ROOT:-}" ] && echo 0 || echo 1000; }'
# sudo resets the environment: DEBIAN_FRONTEND does not pass.
stub sudo 'unset DEBIAN_FRONTEND; STUB_ROOT=1 exec "$@"'
stub dpkg-query 'exit 1'
stub dpkg "$who"'
case "$1" in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) ;;
  *) echo "$w dpkg $*" >>"'"$calls"'" ;;
esac'
stub apt-get "$who"'; echo "$w apt-get $* frontend=${DEBIAN_FRONTEND:-}" >>"'"$calls"'"'
stub apt-cache '[ "$1 $2" = "show libclang-rt-dev" ]'
stub clang 'exit 1'

failed=0
expect() {  # expect WHAT PATTERN: a recorded call matches
  if grep -qE "$2" "$calls"; then echo "ok   $1"; else echo "FAIL $1"; failed=1; fi
}
refuse() {  # refuse WHAT PATTERN: no recorded call matches
  if grep -qE "$2" "$calls"; then echo "FAIL $1"; grep -E "$2" "$calls"; failed=1; else echo "ok   $1"; fi
}

for run in user root; do
  : >"$calls"
  if [ "$run" = root ]; then
    STUB_ROOT=1 PATH="$stubs:$PATH" bash scripts/deps.sh --all >"$stubs/out" 2>&1
  else
    PATH="$stubs:$PATH" bash scripts/deps.sh --all >"$stubs/out" 2>&1
  fi || { echo "FAIL deps.sh as $run: exit status $?"; cat "$stubs/out"; failed=1; }
  refuse "as $run: nothing changes the system without root" '^user (dpkg|apt-get)'
  expect "as $run: the i386 architecture is added" '^root dpkg --add-architecture i386$'
  expect "as $run: the package lists are updated" '^root apt-get update'
  expect "as $run: apt installs without questions" '^root apt-get install .* frontend=noninteractive$'
  expect "as $run: the default clang's runtime" '^root apt-get install .* libclang-rt-dev '
  expect "as $run: wine32" '^root apt-get install .* wine32:i386 '
done
[ "$failed" -eq 0 ] && echo "deps.sh: works as root and through sudo"
exit "$failed"
