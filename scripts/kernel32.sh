#!/usr/bin/env bash
# Exit status 0 when the kernel refuses to execute 32-bit x86 programs (built
# without IA32 emulation, as some virtual machines are): the loader of the
# i386 C library, present with wine32, then fails with "Exec format error".
# Exit status 1 when 32-bit programs run, or when there is nothing to tell by.
loader=/lib/ld-linux.so.2
[ -e "$loader" ] || exit 1
out=$("$loader" --version 2>&1)
status=$?
[ "$status" -ne 0 ] && { [ "$status" -eq 126 ] || [[ "$out" == *"Exec format error"* ]]; }
