#!/usr/bin/env python3
"""What only the Windows build of raroredoziri-service has, under wine: the
answers of a build without TLS, then the run under wine's service control
manager (install, start, a request answered, stop, uninstall), on loopback
127.131.0.x. The API and the trust boundary: service_tests against this
build (tests/service/CMakeLists.txt).

windows_service.py --service EXE --run RUNNER [BITS]
"""
import argparse
import json
import os
import subprocess
import sys
import shutil
import tempfile
import time
import urllib.error
import urllib.request

SIM = "127.131.0.1"  # a scale nobody serves: its state does not matter here
SERVICE = "127.131.0.2"  # the installed service's own address
FAILURES = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else ": " + str(detail)), flush=True)
    if not ok:
        FAILURES.append(what)


def request(port, path, at):
    try:
        with urllib.request.urlopen("http://%s:%d%s" % (at, port, path), timeout=10) as res:
            return res.status
    except urllib.error.HTTPError as e:
        return e.code


def config_file(directory, name, content):
    """A configuration file in the run's directory, named as wine sees it (Z: is /)."""
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        json.dump(content, f)
    return "Z:" + path.replace("/", "\\")


def wine(run, *args):
    """Runs a program under wine: its exit status and output. The output goes
    through a file: wine's own processes (the service manager) that the first
    program of a session starts inherit it and would hold a pipe open."""
    with tempfile.TemporaryFile("w+") as out:
        code = subprocess.run(run + list(args), stdout=out, stderr=subprocess.STDOUT,
                              timeout=120).returncode
        out.seek(0)
        return code, out.read()


def without_tls(run, exe, directory):
    # No TLS in the Windows build: off loopback it refuses to start, and asked
    # for https it says it has none.
    for what, extra, message in [
            ("off loopback without TLS: refused", {}, "plain HTTP is for loopback only"),
            ("https asked for: says it is not available",
             {"tls_cert": "c.pem", "tls_key": "k.pem"}, "https is not available")]:
        config = dict({"scales": [{"name": "a", "connection": SIM}], "listen": "192.0.2.1",
                       "token": "t"}, **extra)
        code, output = wine(run, exe, "--config", config_file(directory, "tls.json", config))
        check(what, code == 2 and message in output, output)


def service_mode(run, exe, directory):
    windows_config = config_file(directory, "service.json", {
        "scales": [{"name": "front", "connection": SIM}], "listen": SERVICE, "port": 18731})

    code, output = wine(run, exe, "install", "--config", windows_config)
    check("install", code == 0, output)
    code, output = wine(run, "net", "start", "raroredoziri-service")
    check("start", code == 0, output)
    status = 0
    for _ in range(50):
        try:
            status = request(18731, "/scales", SERVICE)
            break
        except OSError:
            time.sleep(0.2)
    check("a request answered by the service", status == 200, status)
    began = time.time()
    code, output = wine(run, "net", "stop", "raroredoziri-service")
    took = time.time() - began
    check("stop within 5 s (%.1f s)" % took, code == 0 and took < 5, output)
    code, output = wine(run, exe, "uninstall")
    check("uninstall", code == 0, output)
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
    parser.add_argument("--run", nargs="+", required=True, help="the runner and its arguments")
    args = parser.parse_args()
    # One wine prefix for every step (the service manager's state lives there).
    own_prefix = "WINEPREFIX" not in os.environ
    if own_prefix:
        os.environ["WINEPREFIX"] = tempfile.mkdtemp(prefix="rd-wine-")
    directory = tempfile.mkdtemp(prefix="rd-winsvc-")  # configurations and the log
    try:
        without_tls(args.run, args.service, directory)
        service_mode(args.run, args.service, directory)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
        if own_prefix:
            subprocess.run(["wineserver", "-k"], capture_output=True)
            shutil.rmtree(os.environ["WINEPREFIX"], ignore_errors=True)
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
