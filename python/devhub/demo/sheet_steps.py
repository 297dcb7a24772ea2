"""The sheet half of ``make demo``: a workbook's page in a real browser (Debian's Chromium,
headless), typed into as a person does, calculated by the hub with the workbook's Python
functions called in its kernel.

A new workbook gets a module of worksheet functions, saved as the IDE saves one; the page is
opened with the hub's token, and three cells are typed: a number, ``=DOUBLE(A1)`` and
``=COMPOUND(B1, 0.1, 5)``, whose function returns a table (a pandas DataFrame, or a 2-D list
where pandas is missing) that spills below it, then ``=SUM(...)`` over the spilled values. Each
result is read back from the page's cells and checked; a wrong or missing one stops the demo
with what the page showed. A picture of the page is saved at the end.

After it, ``live_steps`` shows a workbook whose cells move by themselves: a streaming function's
cell, a Change handler and a timer, with the IDE panels that list them; its pictures are
saved beside this one.
"""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Callable, Dict

from ..background import BackgroundHub

WORKBOOK = "Compound.xlsx"
MODULE = "tables"
SHEET_MODULE = '''\
import quorvel

try:
    import pandas
except ImportError:  # the table is then a 2-D list, which spills the same way
    pandas = None


@quorvel.function
def double(x):
    """Twice the number."""
    return x * 2


@quorvel.function(name="COMPOUND", description="A value grown by a rate, year by year")
def compound(value, rate, years):
    rows = [[year, round(value * (1 + rate) ** year, 2)] for year in range(1, int(years) + 1)]
    if pandas is None:
        return [["Year", "Value"]] + rows
    return pandas.DataFrame(rows, columns=["Year", "Value"])
'''

# What is typed, cell by cell, and what the page must then show.
TYPED = [("A1", "21"), ("B1", "=DOUBLE(A1)"), ("A3", "=COMPOUND(B1, 0.1, 5)"),
         ("D3", "=SUM(B4:B8)")]
EXPECTED = {
    "A1": "21", "B1": "42",
    "A3": "Year", "B3": "Value",
    "A4": "1", "B4": "46.2", "A5": "2", "B5": "50.82", "A6": "3", "B6": "55.9",
    "A7": "4", "B7": "61.49", "A8": "5", "B8": "67.64",
    "D3": "282.05",
}
SHEET = "Sheet1"
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
RESULT_TIMEOUT = 60.0


class SheetCheckFailed(AssertionError):
    """The page did not show what the demo typed should give."""


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


def start_chromium(window: str = "1100,520"):
    """Debian's Chromium, headless, through the driver installed beside it (given by path, and
    Selenium told not to report statistics, so nothing is fetched from the network); `window`
    is its size in pixels, "width,height"."""
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            raise SheetCheckFailed(f"{program} is missing: `make test-tools` installs Debian's "
                                   "chromium and chromium-driver")
    os.environ["SE_AVOID_STATS"] = "true"
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", f"--window-size={window}"):
        options.add_argument(argument)
    # A sanitizer run preloads libasan into every process it starts; the browser is not ours.
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER, env=environment),
                            options=options)


def run(background: BackgroundHub, screenshot: Path) -> None:
    hub = background.hub
    path = os.path.join(hub.workbooks.folder, WORKBOOK)
    os.makedirs(hub.workbooks.folder, exist_ok=True)
    background.call(hub.open_workbook(path))
    background.call(hub.kernel_ready(WORKBOOK, 60), timeout=90)
    show("hub", f"opened {path}; its kernel connected")
    background.call(hub.save_module(WORKBOOK, MODULE, SHEET_MODULE))
    show("ide", f"saved module {MODULE}: =DOUBLE(x), and =COMPOUND(value, rate, years), "
                "a table with a header row")

    driver = start_chromium()
    try:
        url = hub.workbook_url(WORKBOOK)
        show("browser", f"Chromium (headless) opens {url.split('?')[0]}?token=...")
        driver.get(url)
        wait_until(driver, lambda: driver.execute_script("return document.body.dataset.ready")
                   == "1", "the page to connect and draw its sheet")
        show("page", f"{text_of(driver, '#workbook-name')}: "
                     f"{text_of(driver, '#status .status-state')}")
        for address, text in TYPED:
            type_into(driver, address, text)
            show("browser", f"click {address}, type {text}, Enter")
        shown = wait_for_results(driver)
        show("page", f"A1 shows {shown['A1']}, B1 =DOUBLE(A1) shows {shown['B1']}")
        show("page", "A3 =COMPOUND(B1, 0.1, 5) spilled into A3:B8:")
        for row in range(3, 9):
            show("page", f"  {shown[f'A{row}']:<6} {shown[f'B{row}']}")
        show("page", f"D3 =SUM(B4:B8) over the spilled values shows {shown['D3']}")

        cell(driver, "A3").click()
        bar = wait_until(driver, lambda: driver.find_element("id", "formula-bar")
                         .get_attribute("value"), "the formula bar")
        if bar != "=COMPOUND(B1, 0.1, 5)":
            raise SheetCheckFailed(f"the formula bar shows {bar!r} for A3, not the formula typed")
        show("browser", f"click A3: the formula bar reads {bar}")
        screenshot.parent.mkdir(parents=True, exist_ok=True)
        driver.save_screenshot(str(screenshot))
        show("browser", f"screenshot of the page saved to {screenshot}")
    finally:
        driver.quit()
    print(flush=True)


def cell(driver, address: str):
    return driver.find_element("css selector", f'[data-address="{SHEET}!{address}"]')


def text_of(driver, selector: str) -> str:
    return driver.find_element("css selector", selector).text.strip()


def type_into(driver, address: str, text: str) -> None:
    """Clicks the cell and types over it, as a person does; Enter commits."""
    from selenium.webdriver.common.keys import Keys

    cell(driver, address).click()
    driver.switch_to.active_element.send_keys(text, Keys.ENTER)


def wait_until(driver, condition: Callable[[], object], what: str,
               timeout: float = 30.0) -> object:
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise SheetCheckFailed(f"waited {timeout:.0f} s for {what}")
        time.sleep(0.1)


def wait_for_results(driver) -> Dict[str, str]:
    """The text of the checked cells once each shows what it should; on time-out, every cell
    that does not, with what it shows."""
    deadline = time.monotonic() + RESULT_TIMEOUT
    while True:
        shown = driver.execute_script(
            "return Object.fromEntries(arguments[0].map(a => {"
            "  const e = document.querySelector(`[data-address=\"${a}\"]`);"
            "  return [a, e ? e.textContent.trim() : null]; }))",
            [f"{SHEET}!{address}" for address in EXPECTED])
        shown = {address.split("!")[1]: text for address, text in shown.items()}
        wrong = {address: text for address, text in shown.items() if text != EXPECTED[address]}
        if not wrong:
            return shown
        if time.monotonic() > deadline:
            raise SheetCheckFailed(
                f"after {RESULT_TIMEOUT:.0f} s the page shows " + ", ".join(
                    f"{address} {'nothing' if text is None else repr(text)} (expected "
                    f"{EXPECTED[address]!r})" for address, text in wrong.items()))
        time.sleep(0.1)
