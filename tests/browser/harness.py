"""What the browser tests stand on: tools/plant-demo started from a build tree
in a temporary folder and stopped (TERM) afterwards, headless Chromium through
chromedriver, and waits with designed bounds.

Exits 77 (skipped) on import when Debian's chromium, chromium-driver or
python3-selenium is missing, and only then.
"""
import datetime
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)
CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
    print("skipped: chromium or chromium-driver is not installed")
    sys.exit(77)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Seconds for anything the demo does at its own pace: a sanitizer build's
# stations start slowly, and the cores may be busy with other builds.
SLOW = 120


def until(what, seconds=SLOW):
    """what()'s first true answer, asked every 0.1 s for up to `seconds`."""
    end = time.monotonic() + seconds
    while not (result := what()):
        if time.monotonic() > end:
            raise TimeoutError("gave up after %d s" % seconds)
        time.sleep(0.1)
    return result


def wait(driver, what, seconds=SLOW):
    return WebDriverWait(driver, seconds, poll_frequency=0.1).until(what)


def api(driver, path):
    """[status, body] of a GET the page itself makes, with its session."""
    return driver.execute_async_script(
        "const done = arguments[1]; fetch(arguments[0]).then((r) => r.json()"
        ".then((b) => done([r.status, b]), () => done([r.status, null])))", path)


def utc_ms(iso):
    return datetime.datetime.fromisoformat(iso.replace("Z", "+00:00")).timestamp() * 1000


class PlantDemo:
    """tools/plant-demo of build tree `build` in a temporary folder: `url` of
    its pages, `dir` its folder. On a failure the logs' ends are printed; a
    memory error a sanitizer build reports in any log fails the run (leak
    reports at the processes' exit do not)."""

    def __init__(self, build):
        self.folder = tempfile.mkdtemp(prefix="tavenor-browser-")
        os.chmod(self.folder, 0o755)  # PostgreSQL's account reaches its cluster inside
        self.dir, self.out = os.path.join(self.folder, "demo"), os.path.join(self.folder, "demo.out")
        self.driver = None
        with open(self.out, "w") as f:
            self.proc = subprocess.Popen([os.path.join(ROOT, "tools", "plant-demo"), os.path.abspath(build)],
                                         env=dict(os.environ, PLANT_DEMO_DIR=self.dir), stdin=subprocess.DEVNULL,
                                         stdout=f, stderr=subprocess.STDOUT)

    def __enter__(self):
        try:
            self.url = until(self._ready)
            options = webdriver.ChromeOptions()
            options.binary_location = CHROMIUM
            for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                        "--user-data-dir=" + os.path.join(self.folder, "chromium")):
                options.add_argument(arg)
            self.driver = webdriver.Chrome(service=Service(DRIVER), options=options)
            self.driver.set_script_timeout(30)
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def _ready(self):
        if self.proc.poll() is not None:
            raise RuntimeError("the demo ended by itself")
        with open(self.out, encoding="utf-8") as f:
            lines = [line.split()[-1] for line in f if line.startswith("plant-demo: ready ")]
        return lines and lines[0]

    def __exit__(self, kind, value, trace):
        if self.driver:
            self.driver.quit()
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=SLOW)
        logs = [self.out] + glob.glob(os.path.join(self.dir, "**", "*.log"), recursive=True)
        errors = [log for log in logs if "ERROR: AddressSanitizer" in self._text(log)]
        if kind or errors:
            for log in logs:
                print("----", log, "\n" + "".join(self._text(log).splitlines(True)[-30:]))
        if errors:
            raise AssertionError("memory errors reported in %s" % errors)
        shutil.rmtree(self.folder, ignore_errors=True)

    @staticmethod
    def _text(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
