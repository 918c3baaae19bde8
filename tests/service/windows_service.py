#!/usr/bin/env python3
"""raroredoziri-service.exe under wine against the simulated scale (a Linux
program) on loopback 127.131.0.x: the API and the trust boundary, cell by
cell, the answers of a build without TLS, then the run under wine's service
control manager (install, start, a request answered, stop, uninstall).

windows_service.py --service EXE --sim PATH --run RUNNER [BITS]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import shutil
import signal
import tempfile
import threading
import time
import urllib.error
import urllib.request

SIM = "127.131.0.1"
SERVICE = "127.131.0.2"  # the installed service's own address
FAILURES = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else ": " + str(detail)), flush=True)
    if not ok:
        FAILURES.append(what)


def request(port, path, method="GET", body=None, headers=None, host=None, at="127.0.0.1"):
    url = "http://%s:%d%s" % (at, port, path)
    req = urllib.request.Request(url, data=body, method=method, headers=headers or {})
    if host:
        req.add_header("Host", host)
    try:
        with urllib.request.urlopen(req, timeout=10) as res:
            return res.status, res.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def config_file(content):
    """A configuration file, named as wine sees it (Z: is /)."""
    f = tempfile.NamedTemporaryFile("w", suffix=".json", delete=False)
    json.dump(content, f)
    f.close()
    return "Z:" + f.name.replace("/", "\\")


def end(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def start_service(run, exe, args):
    # A group of its own: the runner (a shell) and wine end together.
    proc = subprocess.Popen(run + [exe] + args, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    # Wine's first start makes its prefix: 120 s at most, then no more waiting.
    watchdog = threading.Timer(120, lambda: end(proc))
    watchdog.start()
    while True:
        line = proc.stderr.readline()
        if not line:
            break
        m = re.search(r"listening on http://[^:]+:(\d+)/", line)
        if m:
            watchdog.cancel()
            threading.Thread(target=lambda: proc.stderr.read(), daemon=True).start()
            return proc, int(m.group(1))
    end(proc)
    raise SystemExit("the service did not start")


def api_and_trust(run, exe):
    token = "wine-token"
    auth = {"Authorization": "Bearer " + token}
    proc, port = start_service(run, exe, ["--config", config_file(
        {"scales": [{"name": "front", "connection": SIM}], "port": 0, "token": token,
         "cors_origins": ["https://pos.example"]})])
    try:
        for _ in range(100):
            status, body = request(port, "/scales", headers=auth)
            if status == 200 and json.loads(body)["scales"][0]["state"] == "connected":
                break
            time.sleep(0.1)
        json_post = dict(auth, **{"Content-Type": "application/json"})
        goods = b'{"Goods":"Milk"}'
        cases = [
            ("weight", "/scales/front/weight", "GET", None, auth, None, 200),
            ("command", "/scales/front/commands/SetGoods", "POST", goods, json_post, None, 200),
            ("settings", "/scales/front/settings", "GET", None, auth, None, 200),
            ("stable reading", "/scales/front/weight?stable=true&allow_zero=true", "GET", None,
             auth, None, 200),
            ("unknown scale", "/scales/back/weight", "GET", None, auth, None, 404),
            ("no token", "/scales", "GET", None, {}, None, 401),
            ("token in the query", "/scales?access_token=" + token, "GET", None, {}, None, 200),
            ("foreign host", "/scales", "GET", None, auth, "evil.example", 403),
            ("foreign origin", "/scales/front/commands/SetGoods", "POST", goods,
             dict(json_post, Origin="https://evil.example"), None, 403),
            ("allowed origin", "/scales/front/commands/SetGoods", "POST", goods,
             dict(json_post, Origin="https://pos.example"), None, 200),
            ("allowed sites from another site", "/allowed-sites/add", "POST",
             b'{"origin":"https://x.example"}', dict(json_post, Origin="https://pos.example"),
             None, 403),
            ("not JSON", "/scales/front/commands/SetGoods", "POST", goods,
             dict(auth, **{"Content-Type": "text/plain"}), None, 415),
            ("body over 64 KiB", "/scales/front/commands/SetGoods", "POST", b" " * 70000,
             json_post, None, 413),
            ("bad JSON", "/scales/front/commands/SetGoods", "POST", b'{"Goods":', json_post,
             None, 400),
        ]
        for what, path, method, body, headers, host, want in cases:
            status, answer = request(port, path, method, body, headers, host)
            check("%s: %s %s -> %d" % (what, method, path[:40], want), status == want,
                  "%d %s" % (status, answer[:120]))
        status, body = request(port, "/scales/front/commands/SetGoods", "POST", goods, json_post)
        check("the scale took the goods", status == 200 and json.loads(body)["result"] == 0, body)
        # An event stream's first event comes at once.
        with urllib.request.urlopen(urllib.request.Request(
                "http://127.0.0.1:%d/scales/front/events" % port, headers=auth), timeout=5) as s:
            first = b""
            while b"event: weight" not in first or not first.endswith(b"\n\n"):
                first += s.read1(4096)
            check("event stream", b'"state":"connected"' in first, first[:200])
    finally:
        end(proc)
    # No TLS in the Windows build: asked for it, the service says so.
    result = subprocess.run(run + [exe, "--scale", "front=" + SIM, "--listen", "192.0.2.1",
                                   "--token", "t", "--port", "0"],
                            capture_output=True, text=True, timeout=120)
    check("off loopback without TLS: refused", result.returncode != 0, result.stderr)
    result = subprocess.run(run + [exe, "--config", config_file(
        {"scales": [{"name": "a", "connection": SIM}], "listen": "192.0.2.1", "token": "t",
         "tls_cert": "c.pem", "tls_key": "k.pem"})], capture_output=True, text=True, timeout=120)
    check("https asked for: says it is not available", "https is not available" in result.stderr,
          result.stderr)


def service_mode(run, exe):
    directory = tempfile.mkdtemp(prefix="rd-winsvc-")
    config = os.path.join(directory, "service.json")
    with open(config, "w") as f:
        json.dump({"scales": [{"name": "front", "connection": SIM}], "listen": SERVICE,
                   "port": 18731}, f)
    windows_config = "Z:" + config.replace("/", "\\")

    def win(*args):
        return subprocess.run(run + list(args), capture_output=True, text=True, timeout=120)

    r = win(exe, "install", "--config", windows_config)
    check("install", r.returncode == 0, r.stdout + r.stderr)
    r = win("net", "start", "raroredoziri-service")
    check("start", r.returncode == 0, r.stdout + r.stderr)
    status = 0
    for _ in range(50):
        try:
            status, _ = request(18731, "/scales", at=SERVICE)
            break
        except OSError:
            time.sleep(0.2)
    check("a request answered by the service", status == 200, status)
    began = time.time()
    r = win("net", "stop", "raroredoziri-service")
    took = time.time() - began
    check("stop within 5 s (%.1f s)" % took, r.returncode == 0 and took < 5, r.stdout + r.stderr)
    r = win(exe, "uninstall")
    check("uninstall", r.returncode == 0, r.stdout + r.stderr)
    log = ""
    for _ in range(50):  # wine's "net stop" may return while the service ends
        log = open(os.path.join(directory, "service.log")).read()
        if "stopped" in log:
            break
        time.sleep(0.1)
    check("the log beside the configuration", "listening on" in log and "stopped" in log, log)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--run", nargs="+", required=True, help="the runner and its arguments")
    args = parser.parse_args()
    if not os.access(args.sim, os.X_OK):
        print("the simulated scale is not built: " + args.sim)
        return 1
    # One wine prefix for every step (the service manager's state lives there).
    own_prefix = "WINEPREFIX" not in os.environ
    if own_prefix:
        os.environ["WINEPREFIX"] = tempfile.mkdtemp(prefix="rd-wine-")
    sim = subprocess.Popen([args.sim, "--tcp", SIM], stdout=subprocess.PIPE, text=True)
    try:
        line = "-"
        while line and "ready" not in line:
            line = sim.stdout.readline()
        if not line:
            raise SystemExit("the simulated scale did not start")
        threading.Thread(target=lambda: sim.stdout.read(), daemon=True).start()
        api_and_trust(args.run, args.service)
        service_mode(args.run, args.service)
    finally:
        sim.terminate()
        sim.wait()
        if own_prefix:
            subprocess.run(["wineserver", "-k"], capture_output=True)
            shutil.rmtree(os.environ["WINEPREFIX"], ignore_errors=True)
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
