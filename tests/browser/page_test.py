#!/usr/bin/env python3
"""The scale page in headless Chromium: live digits that follow the simulated
weight, one command sent through the form answered with "done", a refused
value showing the error, the live weight coming back after the service
restarts, and the page working with a token (/?access_token=...).

page_test.py --service PATH --sim PATH [--screenshot PNG]
"""
import argparse
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


def start_service(path, port, *extra):
    svc = subprocess.Popen([path, "--scale", f"front={SIM_ADDR}", "--port", str(port),
                            "--poll-rate", "5", *extra],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
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
    args = ap.parse_args()

    procs = []
    profile = tempfile.mkdtemp(prefix="rd-page-")
    driver = None
    try:
        sim = subprocess.Popen([args.sim, "--tcp", SIM_ADDR, "--weight", "1200", "--weight-step", "5",
                                "--stable", "1", "--tare", "20"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(sim)
        wait_line(sim, "ready", 10)
        # It prints a line per request: drain them, or it stalls on a full pipe.
        threading.Thread(target=lambda: [None for _ in sim.stdout], daemon=True).start()
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
        assert card.find_element(By.CSS_SELECTOR, ".stable").text == "stable"
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

        # The service goes away and comes back: the card says so, then follows
        # the weight again without a reload.
        svc.terminate()
        svc.wait(5)
        state = card.find_element(By.CSS_SELECTOR, ".state")
        wait.until(lambda d: state.text == "connecting")
        procs.remove(svc)
        svc = start_service(args.service, port)
        procs.append(svc)
        wait.until(lambda d: state.text == "connected")
        again = int(digits.text)
        wait.until(lambda d: digits.text.strip().isdigit() and int(digits.text) != again)

        # With a token the page comes as /?access_token=... and passes it on
        # to its requests and event streams.
        svc.terminate()
        svc.wait(5)
        procs.remove(svc)
        config = os.path.join(profile, "service.json")
        with open(config, "w") as f:
            f.write('{"token": "page-test-secret"}')
        svc = start_service(args.service, port, "--config", config)
        procs.append(svc)
        driver.get(f"http://127.0.0.1:{port}/?access_token=page-test-secret")
        card = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, '.card[data-scale="front"]'))
        digits = card.find_element(By.CSS_SELECTOR, ".weight")
        wait.until(lambda d: digits.text.strip().isdigit())
        form = card.find_element(By.TAG_NAME, "form")
        out = form.find_element(By.CSS_SELECTOR, ".out")

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
