"""Headless Chromium for the front panel's tests (Debian's chromium and
chromium-driver through python3-selenium), on a fresh profile with nothing
that reaches the network."""

import shutil
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def chromium(width=1280, height=900):
    profile = tempfile.mkdtemp(prefix="panel-chromium-")
    opts = webdriver.ChromeOptions()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--autoplay-policy=user-gesture-required",
                f"--user-data-dir={profile}", f"--window-size={width},{height}"):
        opts.add_argument(arg)
    binary = shutil.which("chromium")
    if binary:
        opts.binary_location = binary
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=opts)
    driver.profile_dir = profile
    return driver


def quit(driver):
    try:
        driver.quit()
    finally:
        shutil.rmtree(driver.profile_dir, ignore_errors=True)


def wait_until(driver, script, timeout=30, what="condition"):
    """Evaluates the JavaScript expression `script` until it is truthy;
    returns its value. Fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script("try { return (" + script + "); } catch (e) { return null; }")
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}: {script}")
        time.sleep(0.05)
