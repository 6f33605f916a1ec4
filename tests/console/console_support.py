"""Helpers of the web console's browser tests: servers started as programs on free loopback ports,
plain HTTP calls on them, and a headless Chromium driven by Selenium. Every wait is bounded."""

import json
import os
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

BOUND_S = 30.0


def free_loopback_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(check, what, bound_s=BOUND_S):
    """Calls check() until it returns a true value (returned) or bound_s passes (AssertionError)."""
    end = time.monotonic() + bound_s
    last = None
    while time.monotonic() < end:
        try:
            last = check()
        except Exception as e:  # a page or server not ready yet: try again
            last = e
        else:
            if last:
                return last
        time.sleep(0.1)
    raise AssertionError(f"Waited {bound_s:.0f} s for {what}; last seen: {last!r}")


def http(port, method, path, body=None, headers=None):
    """One request to 127.0.0.1:port: (status, parsed JSON body or None)."""
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method,
                                     headers={"Content-Type": "application/json", **(headers or {})})
    try:
        with urllib.request.urlopen(request, timeout=5) as answer:
            return answer.status, json.loads(answer.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"null")


class ServerProcess:
    """A server program run beside the test; stop() kills it (SIGKILL by default)."""

    def __init__(self, argv, log_path, env=None):
        self.log_path = log_path
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT,
                                            env={**os.environ, **(env or {})})

    def stop(self, sig=signal.SIGKILL):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(timeout=BOUND_S)

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()


def start_browser(width=1400, height=1000):
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--disable-extensions", f"--window-size={width},{height}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")),
                              options=options)
    driver.set_page_load_timeout(BOUND_S)
    driver.set_script_timeout(BOUND_S)
    return driver


def browser_errors(driver):
    """The page's error lines in the browser's log since the last call."""
    return [e["message"] for e in driver.get_log("browser") if e["level"] in ("SEVERE", "ERROR")]
