"""Debian's Chromium, headless, driven through Selenium: the browser a person opens pages in.

The driver is the one Debian installs beside the browser, given by path, and Selenium is told
not to report statistics, so nothing is fetched from the network. ``make test`` installs both
packages when they are missing.
"""
from __future__ import annotations

import os

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

from .conftest import without_sanitizer

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def start_chromium() -> webdriver.Chrome:
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            raise RuntimeError(f"{program} is missing: `make test` installs Debian's chromium "
                               "and chromium-driver")
    os.environ["SE_AVOID_STATS"] = "true"
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=1280,900"):
        options.add_argument(argument)
    service = Service(executable_path=CHROMEDRIVER, env=without_sanitizer())
    return webdriver.Chrome(service=service, options=options)
