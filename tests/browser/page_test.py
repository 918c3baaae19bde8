#!/usr/bin/env python3
"""The scale page in headless Chromium: live digits that follow the simulated
weight, one command sent through the form answered with "done", a refused
value showing the error; a web POS page from another local origin (a static
server on 127.0.0.58) using /raroredoziri.js: refused while its origin is
not listed (nothing reaches the scale), working once the origin is added on
the page's "Allowed sites" panel, without a restart or a reload, taking a
stable weight before it sells; the weight state in words and colour, "—"
while the stream is lost, the live weight coming back after the service
restarts, and the page working with a token (/?access_token=...) and a
second scale under zero shown in its configured unit.

page_test.py --service PATH --sim PATH [--screenshot PNG] [--run WINE...]
"""
import argparse
import functools
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

SIM_ADDR = "127.0.0.57"
POS_ADDR = "127.0.0.58"
SHELF_ADDR = "127.0.0.59"

POS_PAGE = """<!doctype html><meta charset="utf-8"><title>POS</title>
<p>Weight <b id="weight">-</b></p><p id="error"></p>
<button id="sell">Sell apples</button> <span id="answer"></span>
<script src="http://127.0.0.1:%PORT%/raroredoziri.js"></script>
<script>
const front = RaroreDoziri.scale("front", {
  onWeight: w => { document.getElementById("weight").textContent = w.weight;
                   document.getElementById("error").textContent = ""; },
  onError: e => { document.getElementById("error").textContent = e.kind + ": " + e.message; },
});
document.getElementById("sell").onclick = async () => {
  const out = document.getElementById("answer");
  out.textContent = "";
  try {
    const w = await front.stableWeight(3000);
    if (w.weight_state !== "stable") throw { kind: "state " + w.weight_state };
    out.textContent = (await front.command("SetGoods", { Goods: "PosApples" })).meaning;
  }
  catch (e) { out.textContent = "error " + e.kind; }
};
</script>
"""


def serve_pos_page(directory, service_port):
    """A tiny static server for the POS page on a loopback address of its own."""
    with open(os.path.join(directory, "pos.html"), "w") as f:
        f.write(POS_PAGE.replace("%PORT%", str(service_port)))
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=directory)
    server = http.server.ThreadingHTTPServer((POS_ADDR, 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://{POS_ADDR}:{server.server_address[1]}"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_line(proc, word, seconds):
    end = time.time() + seconds
    while time.time() < end:
        line = proc.stdout.readline()
        if not line:
            break
        if word in line:
            return
    raise RuntimeError(f"no '{word}' from {proc.args[0]}")


RUN = []  # --run: the runner of a Windows build (wine), which sees / as Z:


def start_service(path, port, *extra):
    if RUN:
        extra = ["Z:" + e.replace("/", "\\") if e.startswith("/") else e for e in extra]
    svc = subprocess.Popen([*RUN, path, "--scale", f"front={SIM_ADDR}", "--port", str(port),
                            "--poll-rate", "5", *extra],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(600 if RUN else 100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            break
        except OSError:
            time.sleep(0.1)
    return svc


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--screenshot")
    ap.add_argument("--run", nargs="+", default=[], help="runner of a Windows build and its args")
    args = ap.parse_args()
    RUN.extend(args.run)

    procs = []
    profile = tempfile.mkdtemp(prefix="rd-page-")
    driver = None
    try:
        sim = subprocess.Popen([args.sim, "--tcp", SIM_ADDR, "--weight", "1200", "--weight-step", "5",
                                "--stable", "1", "--tare", "20"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(sim)
        wait_line(sim, "ready", 10)
        # It prints a line per request: keep them (and never let it stall on a
        # full pipe).
        sim_lines = []
        threading.Thread(target=lambda: [sim_lines.append(l) for l in sim.stdout],
                         daemon=True).start()
        port = free_port()
        svc = start_service(args.service, port)
        procs.append(svc)

        opts = webdriver.ChromeOptions()
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=900,1000"):
            opts.add_argument(a)
        chromium = shutil.which("chromium")
        if chromium:
            opts.binary_location = chromium
        driver = webdriver.Chrome(service=DriverService(shutil.which("chromedriver")), options=opts)
        driver.set_page_load_timeout(15)
        driver.get(f"http://127.0.0.1:{port}/")
        wait = WebDriverWait(driver, 10)

        card = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, '.card[data-scale="front"]'))
        digits = card.find_element(By.CSS_SELECTOR, ".weight")
        wait.until(lambda d: digits.text.strip().isdigit())
        first = int(digits.text)
        assert first >= 1200, f"weight {first} below the simulated start"
        # The simulated weight grows with every reading: the digits follow.
        wait.until(lambda d: digits.text.strip().isdigit() and int(digits.text) > first)
        assert card.find_element(By.CSS_SELECTOR, ".state").text == "connected"
        wstate = card.find_element(By.CSS_SELECTOR, ".wstate")
        assert wstate.text == "stable"
        assert wstate.value_of_css_property("color") == "rgba(27, 127, 58, 1)", \
            wstate.value_of_css_property("color")
        assert "tare 20" in card.find_element(By.CSS_SELECTOR, ".tare").text

        form = card.find_element(By.TAG_NAME, "form")
        Select(form.find_element(By.NAME, "command")).select_by_value("SetGoods")
        goods = form.find_element(By.NAME, "Goods")
        goods.clear()
        goods.send_keys("Apples")
        form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        out = form.find_element(By.CSS_SELECTOR, ".out")
        wait.until(lambda d: "done" in out.text or "err" in out.get_attribute("class"))
        assert out.text == "SetGoods: done (0)", f"command answer: {out.text!r}"
        answered = out.text

        # A refused value shows the service's error text.
        Select(form.find_element(By.NAME, "command")).select_by_value("SetTape")
        tape = form.find_element(By.NAME, "Tape")
        # (past the browser's own check of the field, as another client would)
        driver.execute_script("arguments[0].value = '500';"
                              "arguments[1].dispatchEvent(new Event('submit', {cancelable: true}))",
                              tape, form)
        wait.until(lambda d: out.text.startswith("400"))

        # A web POS from another origin: refused while not listed, and nothing
        # of its reaches the scale.
        pos_server, pos_origin = serve_pos_page(profile, port)
        page_tab = driver.current_window_handle
        driver.switch_to.new_window("tab")
        pos_tab = driver.current_window_handle
        driver.get(pos_origin + "/pos.html")
        error = driver.find_element(By.ID, "error")
        wait.until(lambda d: error.text.startswith("origin:"))
        driver.find_element(By.ID, "sell").click()
        answer = driver.find_element(By.ID, "answer")
        wait.until(lambda d: answer.text == "error origin")
        assert not any("PosApples" in line for line in sim_lines), "a refused page reached the scale"

        # The person at the till adds the origin on the service's page; the
        # POS page, left open, starts working.
        driver.switch_to.window(page_tab)
        add = driver.find_element(By.ID, "site-add")
        add.find_element(By.NAME, "origin").send_keys(pos_origin)
        add.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, f'#site-list li[data-origin="{pos_origin}"]'))
        driver.switch_to.window(pos_tab)
        weight = driver.find_element(By.ID, "weight")
        WebDriverWait(driver, 40).until(lambda d: weight.text.strip().isdigit())
        driver.find_element(By.ID, "sell").click()
        wait.until(lambda d: answer.text == "done")
        wait.until(lambda d: any("PosApples" in line for line in sim_lines))
        pos_server.shutdown()
        driver.close()
        driver.switch_to.window(page_tab)

        # The service goes away and comes back: the card says so, then follows
        # the weight again without a reload.
        svc.terminate()
        svc.wait(5)
        state = card.find_element(By.CSS_SELECTOR, ".state")
        wait.until(lambda d: state.text == "connecting")
        assert digits.text == "—", f"a lost stream still shows {digits.text!r}"
        procs.remove(svc)
        svc = start_service(args.service, port)
        procs.append(svc)
        # The page's reconnects back off while the service is away (longer under wine).
        WebDriverWait(driver, 40 if RUN else 10).until(
            lambda d: state.text == "connected" and digits.text.strip().isdigit())
        again = int(digits.text)
        wait.until(lambda d: digits.text.strip().isdigit() and int(digits.text) != again)

        # With a token the page comes as /?access_token=... and passes it on
        # to its requests and event streams.
        svc.terminate()
        svc.wait(5)
        procs.remove(svc)
        config = os.path.join(profile, "service.json")
        # A second scale with a unit for its division code, weighing under zero.
        shelf = subprocess.Popen([args.sim, "--tcp", SHELF_ADDR, "--weight", "-250", "--division",
                                  "1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(shelf)
        wait_line(shelf, "ready", 10)
        threading.Thread(target=lambda: [None for _ in shelf.stdout], daemon=True).start()
        with open(config, "w") as f:
            f.write('{"token": "page-test-secret", "scales": [{"name": "shelf", "connection": "%s",'
                    ' "units": {"1": {"name": "kg", "decimals": 3}}}]}' % SHELF_ADDR)
        svc = start_service(args.service, port, "--config", config)
        procs.append(svc)
        driver.get(f"http://127.0.0.1:{port}/?access_token=page-test-secret")
        card = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, '.card[data-scale="front"]'))
        digits = card.find_element(By.CSS_SELECTOR, ".weight")
        wait.until(lambda d: digits.text.strip().isdigit())
        form = card.find_element(By.TAG_NAME, "form")
        out = form.find_element(By.CSS_SELECTOR, ".out")
        shelf_card = driver.find_element(By.CSS_SELECTOR, '.card[data-scale="shelf"]')
        shelf_weight = shelf_card.find_element(By.CSS_SELECTOR, ".weight")
        wait.until(lambda d: shelf_weight.text == "-0.250 kg")
        shelf_state = shelf_card.find_element(By.CSS_SELECTOR, ".wstate")
        assert shelf_state.text == "under zero", shelf_state.text
        assert shelf_state.value_of_css_property("color") == "rgba(179, 38, 30, 1)"

        if args.screenshot:
            Select(form.find_element(By.NAME, "command")).select_by_value("SetGoods")
            form.find_element(By.NAME, "Goods").send_keys("Apples")
            form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
            wait.until(lambda d: "done" in out.text)
            driver.set_window_size(int(os.environ.get("RD_PAGE_WIDTH", "900")), 700)
            driver.save_screenshot(args.screenshot)
        print("page test: digits", first, "->", digits.text, "; command:", answered)
        return 0
    finally:
        if driver is not None:
            driver.quit()
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
