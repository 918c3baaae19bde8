#!/usr/bin/env python3
"""Load on the scale service over loopback: SSE clients held open while GET
/weight requests go out at a fixed rate; every answer is checked and the
service's resident memory is sampled at the start and the end. Before the
load, the latency probes of service_probes.py (one kept-alive client against
raw exchanges, change-to-event latency); after it, a scale that goes silent
under 32 readers while a healthy one is read at 20/s.

service_load.py --service PATH --sim PATH [--seconds 30] [--streams 50] [--rate 200]
                [--wine LOADER]
--wine runs the service (the Windows build) under that wine loader, in the
WINEPREFIX of the environment; its memory is that of the wine process that
runs the program.
Exits non-zero on any failed request, a stream without events, memory that
grew by more than a quarter (and more than 8 MiB), a kept-alive GET /weight
median more than 1 ms above the raw exchanges', events that take more than
5 ms (95th percentile) from the reading that saw a change to the client (the
wait for that reading is the poll period's; the whole change-to-event time is
printed), or a healthy scale's p99 of 50 ms or more beside the silent one.
"""
import argparse
import http.client
import json
import os
import socket
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the script
import service_probes as probes  # noqa: E402

SCALES = [("front", "127.0.0.61"), ("back", "127.0.0.62")]
RAW_SCALE = "127.0.0.63"  # the raw exchanges' own scale (one connection per scale)
QUIET = ("quiet", "127.0.0.64", "127.0.0.65")  # name, relay, the scale behind it
POLL_RATE = 10
FIELDS = ("scale", "state", "result", "meaning", "weight", "tare", "division", "stable", "time")


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def service_pid(proc, path, wine):
    """The process that runs the service: itself, or under wine the one
    whose command line starts with the program's path (the loader's own
    process, re-executed, or one it started: not another run's)."""
    if not wine:
        return proc.pid
    want = os.fsencode(path)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and proc.poll() is None:
        for entry in [str(proc.pid)] + sorted(e for e in os.listdir("/proc") if e.isdigit()):
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    argv0 = f.read().split(b"\0")[0]
                with open(f"/proc/{entry}/environ", "rb") as f:
                    env = f.read().split(b"\0")
            except OSError:
                continue
            prefix = os.fsencode("WINEPREFIX=" + os.environ.get("WINEPREFIX", ""))
            if argv0 == want and prefix in env and rss_kib(entry) > 0:
                return int(entry)
        time.sleep(0.1)
    raise SystemExit("the service's wine process was not found")


def check_reading(obj, name):
    for f in FIELDS:
        if f not in obj:
            return f"field {f} missing"
    if obj["scale"] != name:
        return f"scale {obj['scale']} for {name}"
    if obj["state"] != "connected" or obj["result"] != 0 or obj["meaning"] != "done":
        return f"not a reading: {obj['state']} {obj['result']} {obj['meaning']}"
    if not isinstance(obj["weight"], int) or not isinstance(obj["stable"], bool):
        return "weight or stable of the wrong type"
    return None


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = 0
        self.failures = []
        self.latencies = []
        self.events = []

    def fail(self, text):
        with self.lock:
            if len(self.failures) < 20:
                self.failures.append(text)
            else:
                self.failures.append("")


def stream_client(port, name, index, stop, stats):
    count = 0
    last_time = ""
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        conn.request("GET", f"/scales/{name}/events")
        res = conn.getresponse()
        if res.status != 200:
            stats.fail(f"stream {index}: status {res.status}")
            return
        data = b""
        while not stop.is_set():
            line = res.fp.readline()
            if not line:
                if not stop.is_set():
                    stats.fail(f"stream {index}: ended early")
                break
            if line.startswith(b"data:"):
                data = line[5:].strip()
            elif line in (b"\n", b"\r\n") and data:
                obj = json.loads(data)
                err = check_reading(obj, name)
                if err:
                    stats.fail(f"stream {index}: {err}")
                elif obj["time"] < last_time:
                    stats.fail(f"stream {index}: time went back")
                last_time = obj["time"]
                count += 1
                data = b""
        conn.close()
    except Exception as e:  # noqa: BLE001 - any failure counts
        if not stop.is_set():
            stats.fail(f"stream {index}: {e!r}")
    finally:
        with stats.lock:
            stats.events.append(count)


def request_worker(port, rate, workers, index, deadline, stats):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    interval = workers / rate
    due = time.monotonic() + index * interval / workers
    n = 0
    while True:
        now = time.monotonic()
        if now >= deadline:
            break
        if due > now:
            time.sleep(due - now)
        due += interval
        name = SCALES[n % len(SCALES)][0]
        n += 1
        start = time.monotonic()
        try:
            conn.request("GET", f"/scales/{name}/weight")
            res = conn.getresponse()
            body = res.read()
            took = time.monotonic() - start
            err = None
            if res.status != 200:
                err = f"status {res.status}"
            else:
                err = check_reading(json.loads(body), name)
        except Exception as e:  # noqa: BLE001
            took = time.monotonic() - start
            err = repr(e)
            conn.close()
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        with stats.lock:
            stats.requests += 1
            stats.latencies.append(took)
        if err:
            stats.fail(f"GET /weight: {err}")
    conn.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--streams", type=int, default=50)
    ap.add_argument("--rate", type=float, default=200)
    ap.add_argument("--log", help="the service's log lines go to this file")
    ap.add_argument("--wine", help="run the service (a Windows build) under this wine loader")
    args = ap.parse_args()
    seconds = min(max(args.seconds, 1), 600)

    procs = []
    muter = None
    try:
        for addr in [a for _, a in SCALES] + [RAW_SCALE, QUIET[2]]:
            sim = subprocess.Popen([args.sim, "--tcp", addr, "--weight", "1000", "--weight-step", "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            procs.append(sim)
            while True:
                line = sim.stdout.readline()
                if not line:
                    raise SystemExit(f"the simulated scale on {addr} did not start (address in use?)")
                if "ready" in line:
                    break
            # The scale prints a line per request: keep reading, or it stalls
            # on a full pipe.
            threading.Thread(target=lambda f=sim.stdout: [None for _ in f], daemon=True).start()
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        muter = probes.Muter(QUIET[1], QUIET[2])
        cmd = ([args.wine] if args.wine else []) + [args.service, "--port", str(port), "--poll-rate", str(POLL_RATE)]
        for name, addr in SCALES + [QUIET[:2]]:
            cmd += ["--scale", f"{name}={addr}"]
        log = open(args.log, "w") if args.log else subprocess.DEVNULL
        svc = subprocess.Popen(cmd, stdout=log, stderr=log)
        procs.append(svc)
        for _ in range(100):
            try:
                c = http.client.HTTPConnection("127.0.0.1", port, timeout=1)
                c.request("GET", "/scales")
                states = [s["state"] for s in json.loads(c.getresponse().read())["scales"]]
                c.close()
                if all(s == "connected" for s in states):
                    break
            except OSError:
                pass
            time.sleep(0.1)

        raw = probes.raw_exchanges(RAW_SCALE, 300)
        kept = probes.kept_alive_gets(port, "front", 300)
        events, deliveries = probes.event_latencies(port, "front", 30)

        stats = Stats()
        stop = threading.Event()
        streams = [threading.Thread(target=stream_client,
                                    args=(port, SCALES[i % len(SCALES)][0], i, stop, stats))
                   for i in range(args.streams)]
        for t in streams:
            t.start()
        time.sleep(0.5)
        pid = service_pid(svc, args.service, args.wine)
        if args.wine:
            print(f"  (the wine process {pid}, started as {svc.pid})")
        rss_start = rss_kib(pid)
        workers = 8
        deadline = time.monotonic() + seconds
        reqs = [threading.Thread(target=request_worker,
                                 args=(port, args.rate, workers, i, deadline, stats))
                for i in range(workers)]
        began = time.monotonic()
        for t in reqs:
            t.start()
        for t in reqs:
            t.join()
        elapsed = time.monotonic() - began
        rss_end = rss_kib(pid)

        muter.mute()
        healthy, silent_answers, silent_failures = probes.silent_scale(port, QUIET[0], "front")

        stop.set()
        svc.terminate()  # ends the streams
        for t in streams:
            t.join(10)

        lat = sorted(stats.latencies) or [0]
        p50 = lat[len(lat) // 2] * 1000
        p99 = lat[min(len(lat) - 1, int(len(lat) * 0.99))] * 1000
        silent = sum(1 for c in stats.events if c == 0)
        print(f"service load: {elapsed:.1f} s, {stats.requests} GET /weight "
              f"({stats.requests / elapsed:.0f}/s), {len(stats.failures)} failures, "
              f"p50 {p50:.2f} ms, p99 {p99:.2f} ms")
        print(f"  {len(stats.events)} event streams, {sum(stats.events)} events "
              f"(fewest {min(stats.events or [0])} in one stream, {silent} without any)")
        print(f"  service RSS {rss_start} KiB at start, {rss_end} KiB at end")
        for f in [f for f in stats.failures if f][:10]:
            print("  failure:", f)
        ms = 1000
        raw_median, kept_median = probes.median(raw) * ms, probes.median(kept) * ms
        print(f"  one kept-alive client: GET /weight median {kept_median:.2f} ms "
              f"(p99 {probes.percentile(kept, 0.99) * ms:.2f} ms); raw weight + tare exchanges "
              f"median {raw_median:.2f} ms")
        delivery_p95 = probes.percentile(deliveries, 0.95) * ms
        print(f"  change to event ({len(events)} changes): median {probes.median(events) * ms:.1f} ms, "
              f"p95 {probes.percentile(events, 0.95) * ms:.1f} ms, max {max(events) * ms:.1f} ms "
              f"(poll period {1000 / POLL_RATE:.0f} ms); reading to event: median "
              f"{probes.median(deliveries) * ms:.2f} ms, p95 {delivery_p95:.2f} ms, "
              f"max {max(deliveries) * ms:.2f} ms (limit 5 ms)")
        worst = max((a[0] for a in silent_answers), default=0)
        print(f"  silent scale, {len(silent_answers)} readers at once: answered within "
              f"{worst:.2f} s, results {sorted(set(a[1] for a in silent_answers))}; healthy scale "
              f"at 20/s beside it: p50 {probes.median(healthy) * ms:.2f} ms, "
              f"p99 {probes.percentile(healthy, 0.99) * ms:.2f} ms")
        for f in silent_failures[:10]:
            print("  failure:", f)
        silent_ok = (len(silent_answers) == 32 and not silent_failures and
                     all(a[1] != 0 and a[2] is None for a in silent_answers) and
                     probes.percentile(healthy, 0.99) * ms < 50)
        grew = rss_end - rss_start
        ok = (not stats.failures and silent == 0 and len(stats.events) == args.streams and
              stats.requests >= args.rate * seconds * 0.9 and
              not (grew > rss_start / 4 and grew > 8192) and
              kept_median <= raw_median + 1 and delivery_p95 <= 5 and silent_ok)
        print("service load:", "ok" if ok else "FAILED")
        return 0 if ok else 1
    finally:
        if muter:
            muter.close()
        for p in procs:
            if p.poll() is None:
                p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()


if __name__ == "__main__":
    sys.exit(main())
