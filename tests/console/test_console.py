"""The web console in headless Chromium against real servers: a machine server whose machine
follows the level of a tank served by a second server (tests/integration/netserver). The page
shows the chart with the right active states, sends an event (refused without the token, taken
with it), lights the new state and lists the transition, shows the machine's error when the tank's
server dies, says so when its own server dies, and reconnects by itself when it comes back.

Usage: test_console.py NETSERVER_PROGRAM [--screenshot PATH]"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import unittest

import console_support as cs

SECRET = "console-secret"
SOURCE = "TEST.WEB/EQUIP/TANK/LEVEL"

STATE_SCRIPT = """
const texts = (sel) => [...document.querySelectorAll(sel)].map((e) => e.textContent);
return {
  connection: document.querySelector('#connection').textContent,
  connected: document.querySelector('#connection').classList.contains('connected'),
  states: texts('svg.chart g.state text.state-name'),
  lit: texts('svg.chart g.state.lit text.state-name'),
  trace: [...document.querySelectorAll('.machine .trace tr.entry')].map(
      (r) => [r.querySelector('.from').textContent, r.querySelector('.event').textContent,
              r.querySelector('.to').textContent]),
  answer: (document.querySelector('.machine .answer') || {}).textContent,
  fault: texts('[data-location=CTRL] .fault-line').join(''),
  chartFault: texts('svg.chart .fault').join(''),
  flow2: texts('[data-location=CTRL] tr[data-property=FLOW_2] td.value').join(''),
  plotted: [...document.querySelectorAll('[data-location=GAUGE] tr[data-property=LEVELS] polyline')].map(
      (p) => p.getAttribute('points').split(' ').length),
};
"""


def write_config(path, device, port, directory, location_block, extra=""):
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"facility TEST.WEB\ndevice {device}\nrate 50\nport {port}\ndirectory {directory}\n{extra}"
                f"{location_block}")


class Console(unittest.TestCase):
    netserver = None
    screenshot = None

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="console-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.equip_port = cs.free_loopback_port()
        self.mach_port = cs.free_loopback_port()
        directory = os.path.join(self.dir, "servers")
        with open(directory, "w", encoding="utf-8") as f:
            f.write(f"TEST.WEB/EQUIP 127.0.0.1:{self.equip_port}\nTEST.WEB/MACH 127.0.0.1:{self.mach_port}\n")
        with open(os.path.join(self.dir, "token"), "w", encoding="utf-8") as f:
            f.write(SECRET + "\n")
        write_config(os.path.join(self.dir, "equip.conf"), "EQUIP", self.equip_port, directory,
                     "location TANK 10 tank {\n  LEVEL 0\n}\n")
        write_config(os.path.join(self.dir, "mach.conf"), "MACH", self.mach_port, directory,
                     "location CTRL 100 follower {\n  FSM follower\n}\nlocation GAUGE 10 tank {\n  LEVEL 0\n}\n",
                     "token_file token\n")
        self.equip = self.start_server("equip")
        self.mach = self.start_server("mach")
        cs.wait_for(lambda: cs.http(self.mach_port, "GET", "/v1/property/TEST.WEB/MACH/CTRL/FLOW_1")[0] == 200,
                    "the machine server to answer")
        cs.wait_for(lambda: cs.http(self.equip_port, "GET", f"/v1/property/{SOURCE}")[0] == 200,
                    "the equipment server to answer")
        if cs.http(self.mach_port, "GET", "/v1/machines")[0] == 404:
            self.skipTest("the server does not describe its machines (GET /v1/machines answers 404)")
        self.browser = cs.start_browser()
        self.addCleanup(self.browser.quit)

    def start_server(self, name):
        # The cycle limit (5 min at this rate) ends the server even if the test dies.
        server = cs.ServerProcess([self.netserver, "--cycles", "6000", os.path.join(self.dir, f"{name}.conf")],
                                  os.path.join(self.dir, f"{name}.log"), {"NETSERVER_SOURCE": SOURCE})
        self.addCleanup(server.stop)
        return server

    def page(self):
        return self.browser.execute_script(STATE_SCRIPT)

    def wait_page(self, check, what):
        """Waits until check(page state) holds; returns that state."""
        last = {}

        def seen():
            last["page"] = self.page()
            return last["page"] if check(last["page"]) else None

        try:
            return cs.wait_for(seen, what)
        except AssertionError as e:
            raise AssertionError(f"{e}; the page: {last.get('page')}") from None

    def send_event(self, text):
        form = self.browser.find_element("css selector", ".machine form.event-form")
        field = form.find_element("css selector", "input[name=event]")
        field.clear()
        field.send_keys(text)
        form.find_element("css selector", "button[type=submit]").click()

    def keep_token(self, token):
        self.browser.find_element("id", "token").send_keys(token)
        self.browser.find_element("css selector", "#token-form button[type=submit]").click()

    def test_console_follows_and_drives_a_machine(self):
        b = self.browser
        b.get(f"http://127.0.0.1:{self.mach_port}/")
        page = self.wait_page(lambda p: p["connected"] and sorted(p["lit"]) == ["Idle", "Low"],
                              "the chart with Low and Idle lit")
        self.assertEqual(sorted(page["states"]), ["Busy", "High", "Idle", "Low"])
        self.assertEqual(page["fault"], "")
        self.assertIn("TEST.WEB/MACH", b.title)

        # Without the token the server refuses the write, and the page says what to do.
        self.send_event("start")
        page = self.wait_page(lambda p: "token" in (p["answer"] or ""), "the refusal of a write without token")
        self.assertIn("Idle", page["lit"])
        # The browser logs the refused request; nothing else may be in its log.
        errors = cs.browser_errors(b)
        self.assertTrue(all("EVENT" in e and "401" in e for e in errors), errors)

        self.keep_token(SECRET)
        self.send_event("start:*")
        page = self.wait_page(lambda p: "Busy" in p["lit"], "Busy lit after the event start")
        self.assertNotIn("Idle", page["lit"])
        self.assertIn("Sent", page["answer"])
        self.wait_page(lambda p: ["Idle", "start", "Busy"] in p["trace"], "the transition start in the trace")
        self.wait_page(lambda p: p["flow2"].startswith("Busy"), "the live value of FLOW_2")

        # A history is plotted, a point per record.
        for level in (4, 1, 3):
            status, _ = cs.http(self.mach_port, "PUT", "/v1/property/TEST.WEB/MACH/GAUGE/LEVEL", {"text": str(level)},
                                {"Authorization": f"Bearer {SECRET}"})
            self.assertEqual(status, 200)
        self.wait_page(lambda p: p["plotted"] and p["plotted"][0] >= 3, "the plot of the history LEVELS")

        # Equipment changes light the other flow.
        status, _ = cs.http(self.equip_port, "PUT", f"/v1/property/{SOURCE}", {"text": "7"})
        self.assertEqual(status, 200)
        self.wait_page(lambda p: "High" in p["lit"] and "Low" not in p["lit"], "High lit at level 7")
        self.wait_page(lambda p: ["Low", "timer", "High"] in p["trace"], "the transition to High in the trace")
        self.assertEqual(cs.browser_errors(b), [])
        if self.screenshot:
            b.save_screenshot(self.screenshot)

        # The machine's error shows in place when the tank's server dies.
        self.equip.stop()
        page = self.wait_page(lambda p: "TEST.WEB/EQUIP" in p["fault"] and p["chartFault"], "the machine's error")

        # The page says when its own server is lost, and comes back with it.
        self.mach.stop()
        page = self.wait_page(lambda p: not p["connected"] and "lost" in p["connection"], "the lost connection")
        self.mach = self.start_server("mach")
        self.wait_page(lambda p: p["connected"] and "Idle" in p["lit"], "the page reconnected to the new server")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("netserver")
    parser.add_argument("--screenshot", help="save a picture of the page once it shows the machine's run")
    args, rest = parser.parse_known_args()
    Console.netserver = args.netserver
    Console.screenshot = args.screenshot
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
