#!/usr/bin/python3
"""The fleet page in headless Chromium, driven by Selenium; run by fleet_page_browser_test.sh
inside the private network's client namespace, where the agent serves URL.

  fleet_page_browser.py check URL USER:PASSWORD SIM_PID...
                                               the end-to-end checks (exit 1 on a failure)
  fleet_page_browser.py shots URL DIR SIM_PID  screenshots for docs/; SIM_PID is stopped
                                               half-way so that the page shows byebye too

Chromium and its driver are Debian's; the driver downloads nothing and the browser opens
nothing but URL."""
import base64
import os
import signal
import sys
import tempfile
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def wait_for(condition, seconds):
    """Polls `condition` until it holds or `seconds` pass; returns its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


def browser(profile, width, height, dark=False):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--disable-quic",
                 "--disable-features=MediaRouter,OptimizationHints,Translate",
                 "--disable-default-apps", "--no-default-browser-check", "--hide-scrollbars",
                 "--user-data-dir=" + profile, f"--window-size={width},{height}"):
        options.add_argument(flag)
    if dark:
        options.add_argument("--force-dark-mode")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    # A window is never narrower than 500 pixels; the page must see a phone's width.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [
        {"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
    return driver


def column(driver, table, index):
    """The visible texts of a column, read at once: the script redraws the rows under us."""
    return driver.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0]), td => td.innerText)",
        f"#{table} tbody tr td:nth-child({index})")


def updated_by_script(driver):
    return driver.find_element(By.ID, "updated").text.startswith("updated")


def run_checks(url, credentials, sims):
    # Without credentials nothing but 401, the page's files and data included.
    for path in ("", "fleet.js", "events.json"):
        try:
            urllib.request.urlopen(url + path, timeout=5)
            check(False, f"/{path} answered without credentials")
        except urllib.error.HTTPError as error:
            check(error.code == 401, f"/{path} without credentials: {error.code}, not 401")

    # What a client without a script gets: the rows as of the request, every text escaped.
    login = "Basic " + base64.b64encode(credentials.encode()).decode()
    request = urllib.request.Request(url, headers={"Authorization": login})
    with urllib.request.urlopen(request, timeout=5) as answer:
        policy = answer.headers.get("Content-Security-Policy")
        page = answer.read().decode()
    check(policy == "default-src 'self'; frame-ancestors 'none'",
          f"Content-Security-Policy is {policy!r}")
    sniffing = answer.headers.get("X-Content-Type-Options")
    check(sniffing == "nosniff", f"X-Content-Type-Options is {sniffing!r}")
    check(page.count("<tr><td><span class=\"badge") == 3, "the plain page has not three rows")
    check("&lt;img src=x onerror=pwned=1&gt;" in page, "the <img name is not escaped in the HTML")
    check("&lt;/script&gt;&lt;svg onload=pwned=2&gt;" in page,
          "the </script> name is not escaped in the HTML")
    check("<img" not in page and "<svg" not in page and page.count("<script") == 1,
          "a device's markup reached the HTML")

    with tempfile.TemporaryDirectory() as profile:
        driver = browser(profile, 1280, 800)
        try:
            # Credentials in the address, as a user's answer to the browser's prompt would
            # be: the page's own requests must go through with them.
            driver.get(url.replace("://", "://" + credentials + "@", 1))
            driver.execute_script("window.tvMarker = 'kept';")
            check(wait_for(lambda: updated_by_script(driver), 10),
                  "the script never updated the page")
            hosts = column(driver, "devices", 3)
            check(len(hosts) == 3, f"{len(hosts)} rows on the page, not 3")
            check(sum(h.startswith("<img src=x onerror=pwned=1>") for h in hosts) == 2,
                  f"the <img names are not shown as text: {hosts}")
            check(sum(h.startswith("</script><svg onload=pwned=2>") for h in hosts) == 1,
                  f"the </script> name is not shown as text: {hosts}")
            check(driver.execute_script(
                "return document.querySelectorAll('img, svg').length") == 0,
                "an element was injected")
            check(driver.execute_script("return document.scripts.length") == 1,
                  "a script element was injected")
            check(driver.execute_script("return typeof window.pwned") == "undefined",
                  "a device's text ran as script")
            check(any("<img src=x" in e for e in column(driver, "events", 3)),
                  "the events do not show the names as text")

            # Sorting: the address column, ascending at first, turns descending on a click.
            addresses = column(driver, "devices", 2)
            key = lambda a: tuple(int(p) for p in a.split("."))
            check(addresses == sorted(addresses, key=key), f"not by address: {addresses}")
            driver.find_element(By.CSS_SELECTOR, "th[data-key=address] button").click()
            addresses = column(driver, "devices", 2)
            check(addresses == sorted(addresses, key=key, reverse=True),
                  f"a click on Address did not sort descending: {addresses}")

            # The filter: one device's address leaves that device alone.
            lone = min(set(addresses), key=addresses.count)
            box = driver.find_element(By.ID, "filter")
            box.send_keys(lone)
            check(column(driver, "devices", 2) == [lone], f"filter {lone} left other rows")
            box.clear()
            box.send_keys(" ")  # an input event after the clear
            check(len(column(driver, "devices", 2)) == 3, "clearing the filter lost rows")

            # The devices say byebye; the open page shows it on its own.
            for pid in sims:
                os.kill(pid, signal.SIGTERM)
            stopped = time.monotonic()
            all_bye = wait_for(lambda: column(driver, "devices", 1) == ["byebye"] * 3, 5)
            check(all_bye, f"byebye not shown within 5 s: {column(driver, 'devices', 1)}")
            if all_bye:
                print(f"byebye shown {time.monotonic() - stopped:.1f} s after SIGTERM")
            check(column(driver, "events", 2).count("byebye") == 3, "no byebye events listed")
            check(driver.execute_script("return window.tvMarker") == "kept",
                  "the page was reloaded")
            check(driver.execute_script("return typeof window.pwned") == "undefined",
                  "a device's text ran as script after the update")
            problems = sorted({e["message"][:200] for e in driver.get_log("browser")
                               if e["level"] == "SEVERE" and "favicon.ico" not in e["message"]})
            check(not problems, f"the browser reported errors: {problems[:3]}")
        finally:
            driver.quit()
    return 1 if failures else 0


def take_screenshots(url, directory, sim):
    shots = [("fleet-page.png", 1280, 800, False), ("fleet-page-phone.png", 390, 844, False),
             ("fleet-page-dark.png", 1280, 800, True),
             ("fleet-page-phone-dark.png", 390, 844, True)]
    with tempfile.TemporaryDirectory() as profile:
        # The devices of one simulator say byebye before the pictures are taken.
        os.kill(sim, signal.SIGTERM)
        time.sleep(1)
        for name, width, height, dark in shots:
            driver = browser(profile + "/" + name, width, height, dark)
            try:
                driver.get(url)
                wait_for(lambda: updated_by_script(driver), 10)
                driver.save_screenshot(os.path.join(directory, name))
            finally:
                driver.quit()
    return 0


if __name__ == "__main__":
    mode, url = sys.argv[1], sys.argv[2]
    if mode == "check":
        sys.exit(run_checks(url, sys.argv[3], [int(p) for p in sys.argv[4:]]))
    sys.exit(take_screenshots(url, sys.argv[3], int(sys.argv[4])))
