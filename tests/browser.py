"""Debian's Chromium, headless, driven through Selenium: the browser a person opens pages in.

The driver is the one Debian installs beside the browser, given by path, and Selenium is told
not to report statistics, so nothing is fetched from the network. ``make test`` installs both
packages when they are missing. The demo starts the browser the same way.
"""
from __future__ import annotations

from selenium import webdriver

from devhub.demo.sheet_steps import start_chromium as start_demo_chromium


def start_chromium() -> webdriver.Chrome:
    return start_demo_chromium(window="1280,900")
