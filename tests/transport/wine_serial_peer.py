#!/usr/bin/env python3
"""Plays the scale for the serial tests that run under wine.

Makes a pseudo-terminal pair, links $WINEPREFIX/dosdevices/com<PORT> to its
slave side, runs the command after "--" with RD_TEST_COM_PORT=<PORT>, and
answers what the test binary writes, by the first byte of each request:

  A  a 14-byte reply (A0 A1 ... AD) at once
  P  the same reply as 10 bytes, then 4 bytes 50 ms later
  T  the same reply as 10 bytes, then 4 bytes 120 ms later (past a read gap)
  O  a 15-byte reply (B0 B1 ... BE), one byte more than asked for
  S  five stale bytes ("stale") and no reply
  W  a request of 2000 bytes in all: answered with its length as two bytes,
     low byte first
  anything else: silence

The exit status is the command's.
"""
import argparse
import errno
import os
import pty
import select
import subprocess
import sys
import time
import tty

REPLY = bytes(0xA0 + i for i in range(14))
OVERSHOOT = bytes(0xB0 + i for i in range(15))


def read_some(master, timeout):
    """Bytes from the master side, or b'' after `timeout` seconds."""
    ready, _, _ = select.select([master], [], [], timeout)
    if not ready:
        return b""
    try:
        return os.read(master, 4096)
    except OSError as error:
        if error.errno != errno.EIO:
            raise
        # Nobody holds the slave side open right now.
        time.sleep(0.01)
        return b""


def answer(master, request):
    kind = request[:1]
    if kind == b"A":
        os.write(master, REPLY)
    elif kind == b"P":
        os.write(master, REPLY[:10])
        time.sleep(0.05)
        os.write(master, REPLY[10:])
    elif kind == b"T":
        os.write(master, REPLY[:10])
        time.sleep(0.12)
        os.write(master, REPLY[10:])
    elif kind == b"O":
        os.write(master, OVERSHOOT)
    elif kind == b"S":
        os.write(master, b"stale")
    elif kind == b"W":
        deadline = time.monotonic() + 5
        while len(request) < 2000 and time.monotonic() < deadline:
            request += read_some(master, 0.1)
        os.write(master, len(request).to_bytes(2, "little"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    prefix = os.environ["WINEPREFIX"]

    master, slave = pty.openpty()
    tty.setraw(master)
    link = os.path.join(prefix, "dosdevices", "com%d" % args.port)
    os.makedirs(os.path.dirname(link), exist_ok=True)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    os.close(slave)  # the test binary alone holds the line open

    env = dict(os.environ, RD_TEST_COM_PORT=str(args.port), WINEDEBUG="-all")
    process = subprocess.Popen(command, env=env)
    try:
        while process.poll() is None:
            request = read_some(master, 0.05)
            if request:
                answer(master, request)
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        os.unlink(link)
        os.close(master)
    return process.returncode


if __name__ == "__main__":
    sys.exit(main())
