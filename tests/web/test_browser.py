"""The page in real headless Chromium against kelto_web on a simulated bus
with four devices of each kind: the table fills in, a rename, a motor
setting read back, a firmware update whose progress bar reaches 100 %, and
the tool's own message for a device removed mid-session.

Screenshots go to KELTO_ARTEFACT_DIR. Where Chromium, its driver or Selenium
is missing the whole file is skipped with one line (exit status 77)."""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_harness import Bus, WebServer, gen_hex  # noqa: E402
from harness import hexcheck  # noqa: E402

SKIP_STATUS = 77
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
ARTEFACTS = os.environ.get("KELTO_ARTEFACT_DIR") or tempfile.gettempdir()
WAIT = 60  # seconds any one thing on the page may take

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

# Without the background-networking flags Chromium waits on the closed network.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-proxy-server",
                  "--disable-dev-shm-usage", "--window-size=1400,1100"]

LUMABARS = {1: "Front", 2: "Rear", 3: "Left", 4: "Right"}
TORVEXCS = {5: "Arm", 6: "Wrist", 7: "Intake", 8: "Climber"}


def browser_missing():
    if webdriver is None:
        return "python3-selenium"
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            return path
    return None


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bus = Bus()
        for ident, name in LUMABARS.items():
            cls.bus.add("lumabar", ident, name=name, serial="LB%06d" % ident)
        for ident, name in TORVEXCS.items():
            cls.bus.add("torvexc", ident, name=name, serial="TX%06d" % ident, brake=1)
        cls.web = WebServer(cls.bus)
        cls.profile = tempfile.mkdtemp(prefix="kelto-chromium-")
        opts = webdriver.ChromeOptions()
        opts.binary_location = CHROMIUM
        for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + cls.profile]:
            opts.add_argument(flag)
        cls.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
        cls.driver.set_page_load_timeout(WAIT)
        os.makedirs(ARTEFACTS, exist_ok=True)
        start = time.monotonic()
        cls.driver.get(cls.web.url + "/")
        cls.wait_full_table(cls)
        cls.load_seconds = time.monotonic() - start
        print("\npage load to a full table of %d devices: %.2f s"
              % (len(LUMABARS) + len(TORVEXCS), cls.load_seconds), file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.web.stop()
        cls.bus.__exit__()
        shutil.rmtree(cls.profile, ignore_errors=True)

    def wait_full_table(self):
        def full(d):
            rows = d.find_elements(By.CSS_SELECTOR, "#device-table tbody tr")
            return (len(rows) == len(LUMABARS) + len(TORVEXCS)
                    and not d.find_elements(By.CSS_SELECTOR, "#device-table .spinner"))
        WebDriverWait(self.driver, WAIT).until(full)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def wait_text(self, css, predicate):
        WebDriverWait(self.driver, WAIT).until(lambda d: predicate(self.find(css).text))
        return self.find(css).text

    def open(self, kind, ident):
        self.find("#row-%s-%d button.open" % (kind, ident)).click()
        self.wait_text("#detail-title", lambda t: ("%d" % ident) in t)

    def shot(self, name):
        path = os.path.join(ARTEFACTS, name)
        self.driver.save_screenshot(path)
        return path

    def run(self, result=None):
        # A failed case leaves a screenshot of the page as it was.
        before = len(result.failures) + len(result.errors) if result else 0
        outcome = super().run(result)
        if result and len(result.failures) + len(result.errors) > before:
            self.shot("failed-%s.png" % self._testMethodName)
        return outcome

    def test_1_table_lists_every_device_with_its_identity(self):
        for kind, devices in (("lumabar", LUMABARS), ("torvexc", TORVEXCS)):
            for ident, name in devices.items():
                row = "#row-%s-%d" % (kind, ident)
                self.assertEqual(self.find(row + " .name").text, name)
                self.assertEqual(self.find(row + " .serial").text,
                                 ("LB" if kind == "lumabar" else "TX") + "%06d" % ident)
                self.assertEqual(self.find(row + " .firmware").text,
                                 self.bus.show(kind, ident)["firmware"])
        self.assertIn("8 devices found", self.find("#scan-state").text)
        self.assertEqual(self.find("#bus").text, "KELTO_CAN_BUS=" + self.bus.env["KELTO_CAN_BUS"])
        self.assertRegex(self.find("#lib-version").text, r"^\d+\.\d+\.\d+$")
        self.shot("device-table.png")

    def test_2_rename_shows_the_new_name(self):
        self.open("lumabar", 2)
        box = self.find("#rename-input")
        box.clear()
        box.send_keys("Back Bar")
        self.find("#rename-button").click()
        self.wait_text("#row-lumabar-2 .name", lambda t: t == "Back Bar")
        self.assertIn("Back Bar", self.find("#detail-message").text)
        self.assertEqual(self.bus.show("lumabar", 2)["name"], "Back Bar")

    def test_3_motor_setting_is_read_back(self):
        self.open("torvexc", 6)
        self.wait_text("#setting-brake .value", lambda t: t == "1")
        self.wait_text("#setting-scan .value", lambda t: t.isdigit())
        field = self.find("#setting-fault_time input")
        field.send_keys("42")
        self.find("#setting-fault_time button").click()
        self.wait_text("#detail-message", lambda t: "read back as 42" in t)
        self.assertEqual(self.find("#setting-fault_time .value").text, "42")
        self.assertEqual(self.bus.show("torvexc", 6)["fault_time"], 42)

    def test_4_firmware_update_reaches_100_percent(self):
        path = gen_hex(self.bus.path("page.hex"), "--pages", "12", "--seed", "7")
        want = hexcheck(path)
        self.open("lumabar", 3)
        box = "#detail-firmware "
        self.find(box + ".fw-file").send_keys(path)
        self.wait_text(box + ".fw-check", lambda t: want["crc32"] in t)
        self.assertIn("12 pages", self.find(box + ".fw-check").text)
        self.find(box + ".fw-flash").click()
        self.find(box + ".fw-confirm").click()
        # Another device opened meanwhile: back on this one, the update is still followed.
        self.open("lumabar", 1)
        self.assertEqual(self.find(box + ".fw-check").text, "Choose an Intel HEX image.")
        self.open("lumabar", 3)
        outcome = self.wait_text(box + ".fw-outcome", lambda t: t != "")
        self.assertIn("Update finished: 12 of 12 pages", outcome)
        bar = self.find(box + ".fw-progress")
        self.assertEqual((bar.get_attribute("value"), bar.get_attribute("max")), ("12", "12"))
        self.assertIn("(100 %)", self.find(box + ".fw-progress-text").text)
        self.shot("firmware-update.png")
        self.assertEqual(self.bus.show("lumabar", 3)["flash"]["crc32"], want["crc32"])

    def test_5_removed_device_shows_the_tools_message(self):
        self.bus.sim("remove", "lumabar", "4")
        self.open("lumabar", 4)
        self.find("#blink-button").click()
        text = self.wait_text("#detail-message", lambda t: "exit status" in t)
        self.assertIn("ID not found on network (exit status 10: the device is not on the bus)",
                      text)
        self.shot("removed-device.png")


if __name__ == "__main__":
    missing = browser_missing()
    if missing:
        print("browser tests skipped: %s is not installed" % missing)
        sys.exit(SKIP_STATUS)
    unittest.main()
