#!/usr/bin/env python3
"""A fleet on loopback: one Mosquitto broker, N scale services with M
simulated scales each (one simulated-scale process serves them all), and
raroredoziri-fleet sending one command to every scale.

fleet_load.py --service PATH --sim PATH --fleet PATH [--services 10] [--scales 20]
              [--goal-ms 2000]
Prints the time to all answers, the broker's messages per second during the
send, and the services' memory per scale. Exits non-zero when a scale does
not answer "done" or the answers take longer than the goal.
"""
import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

BROKER = "127.121.100.1"
PORT = 21883  # not 1883: a system broker may listen on every address there


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def wait_port(address, port, seconds=10):
    until = time.time() + seconds
    while time.time() < until:
        with socket.socket() as s:
            if s.connect_ex((address, port)) == 0:
                return True
        time.sleep(0.05)
    return False


def broker_counters():
    """Messages the broker has received and sent ($SYS, refreshed each second)."""
    out = subprocess.run(
        ["mosquitto_sub", "-h", BROKER, "-p", str(PORT), "-v", "-C", "2", "-W", "5",
         "-t", "$SYS/broker/messages/received", "-t", "$SYS/broker/messages/sent"],
        capture_output=True, text=True).stdout
    counts = {}
    for line in out.splitlines():
        topic, _, value = line.partition(" ")
        counts[topic.rsplit("/", 1)[-1]] = int(value)
    return counts.get("received", 0) + counts.get("sent", 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--fleet", required=True)
    ap.add_argument("--services", type=int, default=10)
    ap.add_argument("--scales", type=int, default=20)
    ap.add_argument("--goal-ms", type=int, default=2000)
    a = ap.parse_args()
    total = a.services * a.scales
    work = tempfile.mkdtemp(prefix="raroredoziri-fleet-")
    children = []

    def start(args, log):
        p = subprocess.Popen(args, stdout=open(os.path.join(work, log), "w"),
                             stderr=subprocess.STDOUT)
        children.append(p)
        return p

    broker_url = f"tcp://{BROKER}:{PORT}"
    failures = []
    try:
        conf = os.path.join(work, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {PORT} {BROKER}\nallow_anonymous true\npersistence false\n"
                    "sys_interval 1\nmax_queued_messages 10000\n")
        start(["/usr/sbin/mosquitto", "-c", conf], "broker.log")
        if not wait_port(BROKER, PORT):
            sys.exit("the broker did not start")

        addresses = [[f"127.121.{10 + i}.{j + 1}" for j in range(a.scales)]
                     for i in range(a.services)]
        sim_args = [a.sim, "--quiet"]
        for row in addresses + [["127.121.9.1"]]:
            for address in row:
                sim_args += ["--tcp", address]
        sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, text=True)
        children.append(sim)
        while sim.stdout.readline().strip() != "ready":
            if sim.poll() is not None:
                sys.exit("the simulated scales did not start")

        services = []
        for i, row in enumerate(addresses + [["127.121.9.1"]]):
            config = {"listen": BROKER, "port": 0,
                      "scales": [{"name": f"scale-{j + 1:02d}", "connection": c}
                                 for j, c in enumerate(row)],
                      # The baseline's edge node has no broker (it keeps trying).
                      "mqtt": {"broker": broker_url if i < a.services else
                               f"tcp://127.121.100.2:{PORT}",
                               "group": f"store-{i + 1:02d}",
                               "node": "counter"}}
            path = os.path.join(work, f"service-{i}.json")
            with open(path, "w") as f:
                json.dump(config, f)
            services.append(start([a.service, "--config", path], f"service-{i}.log"))
        baseline = services.pop()  # the same service with one scale

        # Every scale connected, as the broker shows it.
        until = time.time() + 60
        connected = 0
        while time.time() < until:
            listing = subprocess.run([a.fleet, "--broker", broker_url, "list", "--wait", "2000"],
                                     capture_output=True, text=True).stdout
            connected = len(re.findall(r"^  store-\S+/scale-\d+  connected ", listing, re.M))
            if connected == total:
                break
            time.sleep(0.5)
        if connected != total:
            sys.exit(f"only {connected} of {total} scales connected")

        time.sleep(1.2)
        before = broker_counters()
        started = time.time()
        run = subprocess.run([a.fleet, "--broker", broker_url, "send", "--all", "SetGoods",
                              "Goods=Fleet run"], capture_output=True, text=True)
        wall = time.time() - started
        time.sleep(1.2)
        messages = broker_counters() - before

        done = len(re.findall(r": done$", run.stdout, re.M))
        m = re.search(r"(\d+) of (\d+) done in (\d+) ms", run.stderr)
        answers_ms = int(m.group(3)) if m else -1
        rss = [rss_kib(p.pid) for p in services]
        base = rss_kib(baseline.pid)
        per_scale = (sum(rss) / len(rss) - base) / (a.scales - 1) if a.scales > 1 else 0

        print(f"{a.services} services x {a.scales} scales = {total}: {done} done, "
              f"exit status {run.returncode}")
        print(f"time to all answers: {answers_ms} ms after the last birth "
              f"({wall * 1000:.0f} ms for the whole command with connecting and births)")
        print(f"broker: {messages} messages in and out during the command, "
              f"{messages / wall:.0f} per second")
        print(f"service memory: {sum(rss) / len(rss) / 1024:.1f} MiB resident with {a.scales} "
              f"scales, {base / 1024:.1f} MiB with one; {per_scale:.0f} KiB per further scale")
        if done != total or run.returncode != 0:
            failures.append(f"{total - done} scales not done:\n{run.stdout[-2000:]}")
        if a.goal_ms and (answers_ms < 0 or answers_ms > a.goal_ms):
            failures.append(f"answers took {answers_ms} ms, the goal is {a.goal_ms} ms")
    finally:
        for p in reversed(children):
            p.terminate()
        for p in children:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        if failures:
            print(f"(logs kept in {work})")
        else:
            shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAILED:", f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
