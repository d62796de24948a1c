#!/usr/bin/python3
"""The browser's side of bench_web: headless Chromium driven by Selenium on
the plant's pages, logged in through the page's own form.

  web_pages.py check
  web_pages.py load  URL USER --count N --tiles T
  web_pages.py trend URL USER --machine STATION/ADDRESS --count N
  web_pages.py live  URL USER --pages K --stop FILE

The password comes in BENCH_WEB_PASSWORD. Results are lines on stdout:
  LOAD <ms to T tiles in the DOM> <ms to the next frame after that>
  TREND <ms from choosing 30 days to the chart's first frame> <points>
  LIVE_READY                       (every page has had a live update)
  LIVE <page> <events> <MB> <tiles>
  BROWSER_DELAY <median ms> <p99 ms> <samples>
"""
import argparse
import os
import sys
import time

# Installed before the page's own scripts: when the overview's tiles are all
# in the DOM, and the live updates received.
INIT_SCRIPT = r"""
window.__tilesAt = null;
window.__tilesFrameAt = null;
window.__tilesWanted = %TILES%;
window.__live = { events: 0, chars: 0, delays: [], seen: new Map() };
new MutationObserver((records, observer) => {
  const box = document.getElementById('tiles');
  if (box && box.childElementCount >= window.__tilesWanted && window.__tilesAt === null) {
    window.__tilesAt = performance.now();
    requestAnimationFrame(() => setTimeout(() => { window.__tilesFrameAt = performance.now(); }, 0));
    observer.disconnect();
  }
}).observe(document, { childList: true, subtree: true });
const NativeEventSource = window.EventSource;
window.EventSource = class extends NativeEventSource {
  constructor(...args) {
    super(...args);
    this.addEventListener('overview', (ev) => {
      const live = window.__live;
      live.events += 1;
      live.chars += ev.data.length;
    });
  }
};
"""


def start(args):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1600,1000", "--disable-extensions", "--no-first-run"):
        options.add_argument(a)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(60)
    install(driver, args.tiles)
    login(driver, args)
    return driver


def install(driver, tiles):
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                           {"source": INIT_SCRIPT.replace("%TILES%", str(tiles))})
    # Every load a first load: nothing from the browser's cache.
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})


def wait_for(driver, script, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.02)
    return None


def login(driver, args):
    driver.get(args.url + "/")
    if not wait_for(driver, "const f = document.getElementById('page-login'); return f && !f.hidden;"):
        sys.exit("the login form did not appear")
    driver.find_element("id", "login-name").send_keys(args.user)
    driver.find_element("id", "login-password").send_keys(os.environ.get("BENCH_WEB_PASSWORD", ""))
    driver.find_element("id", "login-submit").click()
    if not wait_for(driver, "return document.getElementById('tiles').childElementCount > 0;"):
        sys.exit("no tiles after the login: " + driver.find_element("id", "login-error").text)


def load(driver, args):
    for _ in range(args.count):
        driver.get("about:blank")
        driver.get(args.url + "/#/overview")
        at = wait_for(driver, "return window.__tilesFrameAt !== null && [window.__tilesAt, window.__tilesFrameAt];")
        if not at:
            count = driver.execute_script("return document.getElementById('tiles').childElementCount;")
            sys.exit("the overview did not show %d tiles (%d)" % (args.tiles, count))
        print("LOAD %.1f %.1f" % (at[0], at[1]), flush=True)
        # Where the time went: each request's start and end (ms since navigation).
        print("  " + " ".join("%s %d-%d" % (name, start, end) for name, start, end in driver.execute_script(
            "return performance.getEntriesByType('resource').map((e) => [new URL(e.name).pathname,"
            " e.startTime, e.responseEnd]);")), flush=True)


TREND_SCRIPT = r"""
const done = arguments[arguments.length - 1];
const before = state.chart;
const t0 = performance.now();
const select = document.getElementById('range-select');
select.value = '30d';
select.dispatchEvent(new Event('change'));
const poll = () => {
  const c = state.chart;
  const xs = c && c.data[0];
  if (c && c !== before && xs.length > 100 && xs[xs.length - 1] - xs[0] > 20 * 86400) {
    requestAnimationFrame(() => setTimeout(() => done([performance.now() - t0, c.data[0].length]), 0));
  } else if (performance.now() - t0 > 30000) {
    done([-1, 0]);
  } else {
    setTimeout(poll, 2);
  }
};
poll();
"""


def trend(driver, args):
    station, address = args.machine.split("/")
    for _ in range(args.count):
        driver.get("about:blank")
        driver.get("%s/#/machine/%s/%s" % (args.url, station, address))
        # The page's first chart (the last hour) drawn: the page is settled.
        if not wait_for(driver, "return typeof state === 'object' && state.chart !== null;"):
            sys.exit("the machine page drew no chart")
        ms, points = driver.execute_async_script(TREND_SCRIPT)
        print("TREND %.1f %d" % (ms, points), flush=True)


# Every live update as the page takes it (parsed, before it is drawn): for
# each machine whose newest tick changed, now minus that tick's own time.
WATCH_LIVE = r"""
const pageOnLive = onLive;
onLive = (data) => {
  const now = Date.now();
  const live = window.__live;
  for (const m of liveMachines(data)) {
    const key = m.station + '/' + m.address;
    const before = live.seen.get(key);
    if (before !== undefined && m.last_seen > before) live.delays.push(now - m.last_seen);
    live.seen.set(key, Math.max(m.last_seen, before || 0));
  }
  pageOnLive(data);
};
"""


def live(driver, args):
    handles = [driver.current_window_handle]
    driver.get(args.url + "/#/overview")
    for _ in range(args.pages - 1):
        driver.switch_to.new_window("window")
        # A new window is a new target: the init script and the cache's
        # setting are its own.
        install(driver, args.tiles)
        driver.get(args.url + "/#/overview")
        handles.append(driver.current_window_handle)
    for h in handles:
        driver.switch_to.window(h)
        driver.execute_script(WATCH_LIVE)
        if not wait_for(driver, "return window.__live.events >= 2;"):
            sys.exit("a page had no live updates")
        driver.execute_script("window.__live.events = 0; window.__live.chars = 0; window.__live.delays = [];")
    print("LIVE_READY", flush=True)
    end = time.time() + 600
    while not os.path.exists(args.stop) and time.time() < end:
        time.sleep(0.2)
    delays = []
    for i, h in enumerate(handles):
        driver.switch_to.window(h)
        got = driver.execute_script("const l = window.__live; return [l.events, l.chars, l.delays,"
                                    " document.getElementById('tiles').childElementCount];")
        print("LIVE %d %d %.1f %d" % (i, got[0], got[1] / 1e6, got[3]), flush=True)
        delays += got[2]
    delays.sort()
    if delays:
        pick = lambda p: delays[min(len(delays) - 1, int(p * (len(delays) - 1) + 0.5))]
        print("BROWSER_DELAY %d %d %d" % (pick(0.5), pick(0.99), len(delays)), flush=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "check":
        import selenium  # noqa: F401
        for f in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
            if not os.access(f, os.X_OK):
                sys.exit(f + " is missing")
        return
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=("load", "trend", "live"))
    p.add_argument("url")
    p.add_argument("user")
    p.add_argument("--count", type=int, default=5)
    p.add_argument("--tiles", type=int, default=2000)
    p.add_argument("--machine", default="")
    p.add_argument("--pages", type=int, default=2)
    p.add_argument("--stop", default="")
    args = p.parse_args()
    driver = start(args)
    try:
        {"load": load, "trend": trend, "live": live}[args.mode](driver, args)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
