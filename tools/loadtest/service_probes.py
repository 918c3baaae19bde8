"""Latency probes of the scale service, run by service_load.py on loopback:

- one client on one kept-alive connection reading GET /weight, against the
  same weight and tare exchanges made over a raw socket to a scale;
- how long a change at the scale (a new tare) takes to reach an event stream;
- a scale that goes silent (a relay that stops passing its replies on) read
  by 32 clients at once while another client reads a healthy scale at 20/s.
"""
import datetime
import http.client
import json
import random
import socket
import threading
import time

WEIGHT_REPLY = 14  # bytes of the framed weight reply
TARE_REPLY = 13


def _crc_table():
    table = []
    for i in range(256):
        t, h = 0, i << 8
        for _ in range(8):
            t = ((t << 1) ^ 0x1021) & 0xFFFF if (h ^ t) & 0x8000 else (t << 1) & 0xFFFF
            h = (h << 1) & 0xFFFF
        table.append(t)
    return table


_TABLE = _crc_table()


def frame(body):
    crc = 0
    for b in body:
        crc = _TABLE[crc >> 8] ^ ((crc << 8) & 0xFFFF) ^ b
    return bytes([0xF8, 0x55, 0xCE, len(body), 0]) + bytes(body) + bytes([crc & 0xFF, crc >> 8])


def median(values):
    v = sorted(values)
    return v[len(v) // 2] if v else 0.0


def percentile(values, share):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * share))] if v else 0.0


def _read_exactly(sock, count):
    data = b""
    while len(data) < count:
        more = sock.recv(count - len(data))
        if not more:
            raise OSError("the scale closed the connection")
        data += more
    return data


def raw_exchanges(address, count):
    """Seconds per weight + tare exchange pair over a raw socket."""
    times = []
    with socket.create_connection((address, 5001), timeout=5) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        weight, tare = frame([0xA0]), frame([0xA1])
        for _ in range(count):
            start = time.monotonic()
            s.sendall(weight)
            _read_exactly(s, WEIGHT_REPLY)
            s.sendall(tare)
            _read_exactly(s, TARE_REPLY)
            times.append(time.monotonic() - start)
    return times


def kept_alive_gets(port, name, count):
    """Seconds per GET /weight, one client on one kept-alive connection."""
    times = []
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    for _ in range(count):
        start = time.monotonic()
        conn.request("GET", f"/scales/{name}/weight")
        res = conn.getresponse()
        body = json.loads(res.read())
        times.append(time.monotonic() - start)
        if res.status != 200 or body["result"] != 0:
            raise RuntimeError(f"GET /weight: {res.status} {body}")
    conn.close()
    return times


def _wall(stamp):
    """Seconds since the epoch of a reading's time ("2026-12-09T17:20:00.123Z")."""
    return datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()


def event_latencies(port, name, rounds):
    """For a new tare at the scale (its SetTare answered) at random moments of
    the poll period, the seconds until the event that carries it arrives, and
    of those the part after the reading was taken (the event's time): the
    delivery, which the poll period does not bound. Returns (totals,
    deliveries)."""
    got = {}
    cond = threading.Condition()
    stop = threading.Event()

    def listen():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        conn.request("GET", f"/scales/{name}/events")
        res = conn.getresponse()
        while not stop.is_set():
            line = res.fp.readline()
            if not line:
                break
            if line.startswith(b"data:"):
                arrived, wall = time.monotonic(), time.time()
                event = json.loads(line[5:])
                with cond:
                    if event.get("tare") not in got:
                        got[event.get("tare")] = (arrived, wall - _wall(event["time"]))
                    cond.notify_all()
        conn.close()

    reader = threading.Thread(target=listen, daemon=True)
    reader.start()
    cmd = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    totals, deliveries = [], []
    for i in range(rounds):
        time.sleep(random.uniform(0.05, 0.15))
        tare = 700 + i
        cmd.request("POST", f"/scales/{name}/commands/SetTare", json.dumps({"Tare": tare}),
                    {"Content-Type": "application/json"})
        cmd.getresponse().read()
        changed = time.monotonic()
        with cond:
            cond.wait_for(lambda: tare in got, timeout=3)
            if tare not in got:
                raise RuntimeError(f"no event with tare {tare}")
            totals.append(max(0.0, got[tare][0] - changed))
            deliveries.append(max(0.0, got[tare][1]))
    stop.set()
    cmd.close()
    return totals, deliveries


class Muter:
    """Listens on ADDRESS:5001 and relays to a scale until mute(); from then
    on the scale's replies are taken and dropped, the connection kept."""

    def __init__(self, address, scale):
        self.muted = False
        self.scale = scale
        self.server = socket.create_server((address, 5001))
        threading.Thread(target=self._accept, daemon=True).start()

    def mute(self):
        self.muted = True

    def _accept(self):
        while True:
            try:
                client, _ = self.server.accept()
                upstream = socket.create_connection((self.scale, 5001))
            except OSError:
                return
            threading.Thread(target=self._pipe, args=(client, upstream, False), daemon=True).start()
            threading.Thread(target=self._pipe, args=(upstream, client, True), daemon=True).start()

    def _pipe(self, src, dst, from_scale):
        try:
            while data := src.recv(4096):
                if not (from_scale and self.muted):
                    dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.server.close()


def silent_scale(port, silent, healthy, readers=32, seconds=5.0):
    """32 GET /weight at once on the silent scale while a client reads the
    healthy one at 20/s. Returns (healthy latencies, silent answers as
    (seconds, result, weight), failures)."""
    answers = []
    failures = []
    lock = threading.Lock()

    def read_silent():
        start = time.monotonic()
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=15)
            conn.request("GET", f"/scales/{silent}/weight")
            body = json.loads(conn.getresponse().read())
            with lock:
                answers.append((time.monotonic() - start, body["result"], body["weight"]))
            conn.close()
        except Exception as e:  # noqa: BLE001 - any failure counts
            with lock:
                failures.append(f"silent reader: {e!r}")

    threads = [threading.Thread(target=read_silent) for _ in range(readers)]
    for t in threads:
        t.start()
    healthy_times = []
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    due = time.monotonic()
    end = due + seconds
    while due < end:
        time.sleep(max(0.0, due - time.monotonic()))
        due += 0.05
        start = time.monotonic()
        conn.request("GET", f"/scales/{healthy}/weight")
        res = conn.getresponse()
        body = json.loads(res.read())
        healthy_times.append(time.monotonic() - start)
        if res.status != 200 or body["result"] != 0:
            failures.append(f"healthy reader: {res.status} {body}")
    conn.close()
    for t in threads:
        t.join(20)
    return healthy_times, answers, failures
