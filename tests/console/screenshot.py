"""Takes the picture of the web console in docs/: the demonstration server on a free loopback port,
its console in headless Chromium once the pump is running, saved as a PNG.

Usage: screenshot.py DEMO_SERVER DEMO_CONF OUTPUT_PNG"""

import os
import shutil
import signal
import sys
import tempfile
import time

import console_support as cs


def main(server_program, conf, output):
    work = tempfile.mkdtemp(prefix="console-picture-")
    port = cs.free_loopback_port()
    shutil.copy(conf, os.path.join(work, "demo.conf"))
    # A slow rate keeps the pump in each state long enough to be seen; the cycle limit ends the
    # server even if this script dies.
    server = cs.ServerProcess([server_program, "--rate", "1000", "--cycles", "300", "--port", str(port),
                               os.path.join(work, "demo.conf")], os.path.join(work, "server.log"))
    browser = None
    try:
        cs.wait_for(lambda: cs.http(port, "GET", "/v1/server")[0] == 200, "the demonstration server")
        browser = cs.start_browser(1360, 1100)
        browser.get(f"http://127.0.0.1:{port}/")
        cs.wait_for(lambda: browser.execute_script(
            "return [...document.querySelectorAll('svg.chart g.state.lit text')].some((t) => t.textContent == 'Pumping')"
            " && document.querySelectorAll('.trace tr.entry').length >= 2"), "the pump running in the chart", 60)
        time.sleep(0.5)  # the chart's last reading of the structure, after the trace's
        browser.save_screenshot(output)
        errors = cs.browser_errors(browser)
        if errors:
            raise AssertionError(f"The page logged errors: {errors}")
    finally:
        if browser:
            browser.quit()
        server.stop(signal.SIGTERM)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
