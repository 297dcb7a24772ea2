"""The workbook's page in a real browser, driven as a person does: click, type, Enter, paste,
undo; the Python functions of the workbook answer in the cells, what user code writes
appears on every page, streaming functions tick in their cells and event handlers answer
what is typed."""
import asyncio
import functools
import json
import time

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from devhub.access import IDE_PATH

from ..browser import start_chromium
from ..conftest import hub_connect, scaled
from ..hub.sheet_client import FUNCTIONS

WB = "Page.xlsx"
LIVE = '''import time
import quorvel
from quorvel import excel

calls = 0


@quorvel.function
def counter(pause=0.2):
    n = 0
    while True:
        n += 1
        yield n
        time.sleep(float(pause))


@quorvel.on("Change", sheet="Sheet1")
def noted(address):
    global calls
    calls += 1
    if address == "Sheet1!A3":
        excel.range("B3:C3").value = [["saw " + str(excel.range(address).value), calls]]
'''


class Page:
    """One browser tab on the workbook's page."""

    def __init__(self, driver):
        self.driver = driver

    def open(self, url):
        self.driver.get(url)
        self.wait(lambda: self.driver.execute_script("return document.body.dataset.ready")
                  == "1", "the page to be ready")

    def wait(self, condition, what, timeout=30):
        deadline = time.monotonic() + scaled(timeout)
        while time.monotonic() < deadline:
            try:
                if condition():
                    return
            except Exception:  # an element redrawn while it was read
                pass
            time.sleep(0.05)
        raise AssertionError(f"timed out waiting for {what}")

    def cell(self, address):
        return self.driver.find_element(By.CSS_SELECTOR, f'[data-address="Sheet1!{address}"]')

    def text(self, address):
        return self.cell(address).text

    def shows(self, address, text, timeout=30):
        self.wait(lambda: self.text(address) == text, f"{address} to show {text!r}", timeout)

    def click(self, address):
        self.cell(address).click()

    def keys(self, *keys):
        ActionChains(self.driver).send_keys(*keys).perform()

    def chord(self, key):
        ActionChains(self.driver).key_down(Keys.CONTROL).send_keys(key) \
            .key_up(Keys.CONTROL).perform()

    def type_into(self, address, *keys):
        self.click(address)
        self.keys(*keys)

    def texts(self, *addresses):
        """What the cells show, read at one moment (the page draws a change in one go)."""
        return self.driver.execute_script(
            "return arguments[0].map(a => { const e = document.querySelector("
            "`[data-address='Sheet1!${a}']`); return e ? e.textContent : null; })",
            list(addresses))

    def formula_bar(self):
        return self.driver.find_element(By.ID, "formula-bar").get_attribute("value")

    def put_on_clipboard(self, text):
        self.driver.execute_async_script(
            "const done = arguments[1]; navigator.clipboard.writeText(arguments[0])"
            ".then(() => done(true), e => done(String(e)))", text)


@pytest.fixture(scope="module")
def second_browser():
    driver = start_chromium()
    yield driver
    driver.quit()


@pytest.fixture
async def workbook(hub, tmp_path):
    await hub.open_workbook(str(tmp_path / WB))
    await hub.kernel_ready(WB, scaled(60))
    await hub.save_module(WB, "funcs", FUNCTIONS)
    return hub


async def in_browser(function, *args):
    return await asyncio.to_thread(functools.partial(function, *args))


async def test_a_person_types_a_python_formula_and_sees_its_result(workbook, browser):
    def person():
        page = Page(browser)
        page.open(workbook.workbook_url(WB))
        page.type_into("A1", "21", Keys.TAB, "=DOUBLE(A1)", Keys.TAB, "=GRID(3)", Keys.ENTER)
        page.shows("B1", "42")
        page.shows("D3", "4")  # the list spilled below and to the right
        assert [page.text(a) for a in ("C1", "C2", "C3", "D1")] == ["0", "1", "2", "0"]
        number = page.cell("B1")
        page.type_into("A3", "label", Keys.ENTER)
        page.shows("A3", "label")
        assert number.value_of_css_property("text-align") == "right"
        assert page.cell("A3").value_of_css_property("text-align") in ("left", "start")
        page.click("B1")
        assert page.formula_bar() == "=DOUBLE(A1)"
        # F2 edits what is there; Escape leaves the cell as it was.
        page.keys(Keys.F2, Keys.BACKSPACE, Keys.BACKSPACE, Keys.BACKSPACE, Keys.ESCAPE)
        assert page.formula_bar() == "=DOUBLE(A1)"
        page.type_into("A1", "5", Keys.ENTER)
        page.shows("B1", "10")
        page.type_into("E1", "=BOOM(0)", Keys.ENTER)
        page.shows("E1", "#VALUE!")
        page.click("E1")
        page.wait(lambda: "ZeroDivisionError" in
                  browser.find_element(By.ID, "cell-note").text, "the error's message")
        page.type_into("F1", "=NOSUCH(1)", Keys.ENTER)
        page.shows("F1", "#NAME?")
        page.click("F1")
        page.keys(Keys.DELETE)
        page.shows("F1", "")
        browser.save_screenshot(str(workbook.data_dir) + "/sheet.png")
    await in_browser(person)


async def test_paste_undo_and_redo_of_a_block(workbook, browser):
    def person():
        page = Page(browser)
        page.open(workbook.workbook_url(WB))
        browser.execute_cdp_cmd("Browser.grantPermissions", {
            "origin": workbook.http_url,
            "permissions": ["clipboardReadWrite", "clipboardSanitizedWrite"]})
        page.click("A1")
        page.put_on_clipboard("1\t=DOUBLE(A1)\n2\t=DOUBLE(A2)\n3\t=SUM(A1:A3)\n")
        page.click("A1")
        page.chord("v")
        page.shows("B2", "4")
        page.shows("B3", "6")
        page.chord("z")  # the paste is one step
        page.shows("B2", "")
        assert page.text("A1") == ""
        page.chord("y")
        page.shows("B2", "4")
        # A copied block comes back as tab-separated text.
        page.click("A1")
        ActionChains(browser).key_down(Keys.SHIFT).send_keys(Keys.DOWN, Keys.RIGHT) \
            .key_up(Keys.SHIFT).perform()
        page.chord("c")
        copied = browser.execute_async_script(
            "const done = arguments[0]; navigator.clipboard.readText().then(done, e => done(''))")
        assert copied.replace("\r\n", "\n").strip() == "1\t2\n2\t4"
    await in_browser(person)


async def test_pages_stay_in_step_and_show_what_user_code_writes(workbook, browser,
                                                                 second_browser):
    first, second = Page(browser), Page(second_browser)
    await in_browser(first.open, workbook.workbook_url(WB))
    await in_browser(second.open, workbook.workbook_url(WB))
    await in_browser(first.type_into, "A1", "7", Keys.ENTER)
    await in_browser(second.shows, "A1", "7")
    async with hub_connect(workbook, IDE_PATH, max_size=None) as ide:
        code = ("import quorvel\n"
                "quorvel.excel.range('C1:C2').value = [[quorvel.excel.range('A1').value * 3],"
                " ['=C1+1']]\n"
                "quorvel.show_message_box('Written', 'User code', 'Info')\n")
        await ide.send(json.dumps({"type": "execution_request", "workbook_id": WB,
                                   "request_id": "w1", "code": code}))
        for page in (first, second):
            await in_browser(page.shows, "C1", "21")
            await in_browser(page.shows, "C2", "22")

        def message_box_shown(page):
            page.wait(lambda: page.driver.find_element(By.ID, "message-box").is_displayed(),
                      "the message box")
            assert page.driver.find_element(By.ID, "message-box-text").text == "Written"
            page.driver.find_element(By.ID, "message-box-ok").click()
        await in_browser(message_box_shown, first)


async def test_without_its_kernel_a_workbook_shows_busy_until_one_connects(hub, tmp_path,
                                                                           browser):
    await hub.workbooks.open(str(tmp_path / WB))
    await hub.save_module(WB, "funcs", FUNCTIONS)
    page = Page(browser)
    await in_browser(page.open, hub.workbook_url(WB))
    await in_browser(page.type_into, "A1", "3", Keys.TAB, "=DOUBLE(A1)", Keys.ENTER)
    await in_browser(page.shows, "B1", "#BUSY!")
    process = await hub.launch_kernel(WB)
    try:
        await in_browser(page.shows, "B1", "6", 60)
    finally:
        await process.kill()


async def test_a_streaming_cell_ticks_its_dependent_follows_and_typing_over_it_stops_it(
        workbook, browser):
    await workbook.save_module(WB, "live", LIVE)
    live = workbook.live_workbook(WB)
    page = Page(browser)
    seen, out_of_step = [], []

    def watch():
        page.open(workbook.workbook_url(WB))
        page.type_into("A1", "=COUNTER()", Keys.TAB, "=A1*10", Keys.ENTER)
        page.wait(lambda: page.text("B1").isdigit(), "B1 to follow A1")

        def ticked():
            count, tenfold = page.texts("A1", "B1")
            if count.isdigit():
                if not seen or seen[-1] != count:
                    seen.append(count)
                if tenfold != str(int(count) * 10):
                    out_of_step.append((count, tenfold))
            return len(seen) >= 4
        page.wait(ticked, "A1 to show four values")
    await in_browser(watch)
    assert [int(text) for text in seen] == sorted(int(text) for text in seen)
    assert out_of_step == []
    assert live.streams.running == 1

    def type_over():
        page.type_into("A1", "stopped", Keys.ENTER)
        page.shows("A1", "stopped")
        page.shows("B1", "#VALUE!")
    await in_browser(type_over)
    assert live.streams.running == 0
    await asyncio.sleep(0.5)
    assert await in_browser(page.texts, "A1", "B1") == ["stopped", "#VALUE!"]


async def test_what_a_person_types_runs_the_change_handler_which_writes_beside_it(
        workbook, browser):
    await workbook.save_module(WB, "live", LIVE)

    def person():
        page = Page(browser)
        page.open(workbook.workbook_url(WB))
        page.type_into("A3", "42", Keys.ENTER)
        page.shows("B3", "saw 42")
        assert page.text("C3") == "1"
        # The handler's own write raised no Change of its own: it is called once per edit.
        page.type_into("A3", "43", Keys.ENTER)
        page.shows("B3", "saw 43")
        assert page.text("C3") == "2"
    await in_browser(person)
