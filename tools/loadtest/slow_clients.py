#!/usr/bin/env python3
"""Slow and idle clients against the scale service over loopback: while 200
connections trickle a request head a byte per second (reconnecting when the
service closes them), or 200 connections sit idle, a normal `GET /scales` on
a new connection goes out four times a second and must be answered within
1 s. Three phases: slow clients from four addresses, idle clients from four
addresses, slow clients all from one address.

slow_clients.py --service PATH --sim PATH [--seconds 10] [--clients 200]
Exits non-zero on a failed or late (> 1 s) request.
"""
import argparse
import http.client
import os
import select
import socket
import subprocess
import sys
import threading
import time

SIM_ADDR = "127.0.0.63"
HEAD = "GET /scales HTTP/1.1\r\nHost: 127.0.0.1\r\n" + "".join(f"X-Slow-{i}: {i}\r\n" for i in range(200))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Crowd:
    """`count` connections from `addresses`; slow ones send a byte a second."""

    def __init__(self, port, addresses, count, slow, pid):
        self.port, self.addresses, self.slow = port, addresses, slow
        self.pid = pid
        self.base = len(os.listdir(f"/proc/{pid}/fd"))
        self.conns = [None] * count
        self.sent = [0] * count
        self.reopened = 0
        self.connected = []
        self.stop = threading.Event()
        self.ready = threading.Event()
        self.connect_seconds = 0
        self.thread = threading.Thread(target=self.run, daemon=True)

    def open(self, i):
        s = socket.socket()
        s.bind((self.addresses[i % len(self.addresses)], 0))
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", self.port))
        self.conns[i] = s
        self.sent[i] = 0

    def run(self):
        for i in range(len(self.conns)):
            self.open(i)
        # All connected (or 20 s passed) before the first byte.
        start = time.time()
        pending = set(self.conns)
        while pending and time.time() - start < 20:
            _, writable, _ = select.select([], list(pending), [], 1)
            pending -= set(writable)
        self.connect_seconds = time.time() - start
        self.ready.set()
        while not self.stop.is_set():
            for i, s in enumerate(self.conns):
                ok = True
                try:
                    s.recv(4096)
                    ok = False  # an answer (408) or the end: the service let it go
                except BlockingIOError:
                    pass
                except OSError:
                    ok = False
                if ok and self.slow:
                    try:
                        s.send(HEAD[self.sent[i] % len(HEAD)].encode())
                        self.sent[i] += 1
                    except BlockingIOError:
                        pass
                    except OSError:
                        ok = False
                if not ok:
                    s.close()
                    self.open(i)
                    self.reopened += 1
            # The connections the service holds: its descriptors beyond those
            # it had before.
            self.connected.append(len(os.listdir(f"/proc/{self.pid}/fd")) - self.base)
            self.stop.wait(1.0)
        for s in self.conns:
            s.close()


def probe(port, seconds):
    """GET /scales on a new connection four times a second; the latencies."""
    latencies, failures = [], []
    end = time.time() + seconds
    while time.time() < end:
        start = time.time()
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=3)
            c.request("GET", "/scales")
            r = c.getresponse()
            body = r.read()
            c.close()
            if r.status != 200 or b'"scales"' not in body:
                failures.append(f"status {r.status}")
        except OSError as e:
            failures.append(str(e))
        latencies.append(time.time() - start)
        time.sleep(max(0, 0.25 - (time.time() - start)))
    return latencies, failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--clients", type=int, default=200)
    args = ap.parse_args()
    procs = []
    bad = False
    try:
        sim = subprocess.Popen([args.sim, "--tcp", SIM_ADDR], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        procs.append(sim)
        port = free_port()
        service = subprocess.Popen([args.service, "--scale", f"s={SIM_ADDR}", "--port", str(port)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(service)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        four = [f"127.85.0.{i}" for i in range(1, 5)]
        phases = [("slow, 4 addresses", four, True), ("idle, 4 addresses", four, False),
                  ("slow, 1 address", ["127.85.0.9"], True)]
        print("| Phase | crowd connected in | connections the service holds (min-max) | let go and reconnected | GET /scales | p50 | p99 | max | over 1 s / failed |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for name, addresses, slow in phases:
            crowd = Crowd(port, addresses, args.clients, slow, service.pid)
            crowd.thread.start()
            crowd.ready.wait()
            time.sleep(1.5)
            latencies, failures = probe(port, args.seconds)
            crowd.stop.set()
            crowd.thread.join()
            latencies.sort()
            late = sum(1 for x in latencies if x > 1.0)
            seen = crowd.connected or [0]
            pct = lambda p: latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000
            print(f"| {name} | {crowd.connect_seconds:.2f} s | {min(seen)}-{max(seen)} | {crowd.reopened} | {len(latencies)} | "
                  f"{pct(0.5):.1f} ms | {pct(0.99):.1f} ms | {latencies[-1] * 1000:.1f} ms | "
                  f"{late} / {len(failures)} |")
            if late or failures:
                bad = True
                for f in failures[:5]:
                    print("  failure:", f)
            time.sleep(0.5)
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
