"""The live part of ``make demo``: a workbook whose cells move by themselves.

A new workbook gets a module with a streaming worksheet function (``=CLOCK()``, the time of
day, value after value), a Change handler of its sheet (``@quorvel.on``) and a function for a
timer. An IDE window shows what its Functions and Events panels hold of it, and a timer is
added in its Timers panel, as a person adds one. Then, in the browser, the clock ticks in its
cell with a formula that follows it, an edit of the price makes the handler write beside it,
and the timer counts its runs in a cell. Every result is read back and checked; a wrong or
missing one stops the demo with what was shown. Pictures of the page and of the three panels
are saved at the end.
"""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path
from typing import Dict, List

from . import sheet_steps
from ..background import BackgroundHub
from .sheet_steps import SheetCheckFailed, cell, show, type_into, wait_until

WORKBOOK = "Live.xlsx"
MODULE = "live"
LIVE_MODULE = '''\
"""A clock in a cell, the edits of the price, and a timer's refreshes."""

import time

import quorvel
from quorvel import excel

before = {}


@quorvel.function(description="The time of day, ticking")
def clock(interval=1):
    while True:
        yield time.strftime("%H:%M:%S")
        time.sleep(max(float(interval), 0.1))


@quorvel.on("Change", sheet="Sheet1")
def price_changed(address):
    """Notes what the price in B3 was before its edit, and when it was edited."""
    if address != "Sheet1!B3":
        return
    price = excel.range("B3").value
    was = before.get("price")
    before["price"] = price
    text = "was empty" if was is None else f"was {was}"
    excel.range("B4:C4").value = [[text, time.strftime("%H:%M:%S")]]


def refresh():
    """Counts the timer's runs in B6, and says when the last one was."""
    count = excel.range("B6").value
    count = count if isinstance(count, int) and not isinstance(count, bool) else 0
    excel.range("B6:C6").value = [[count + 1, time.strftime("%H:%M:%S")]]
'''
# What the page is given first: labels, the clock and a formula that follows it.
TYPED = [("A1", "Now"), ("B1", "=CLOCK()"), ("C1", "=RIGHT(B1, 2)"), ("A3", "Price"),
         ("A4", "Last edit"), ("A6", "Refreshed")]
PRICES = ["120", "135"]
TIMER_SECONDS = 2
TICKS = 3  # different times the clock is to show
TIME = re.compile(r"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")


def run(background: BackgroundHub, sheet_picture: Path, panels_picture: Path) -> None:
    hub = background.hub
    path = os.path.join(hub.workbooks.folder, WORKBOOK)
    os.makedirs(hub.workbooks.folder, exist_ok=True)
    background.call(hub.open_workbook(path))
    background.call(hub.kernel_ready(WORKBOOK, 60), timeout=90)
    show("hub", f"opened {path}; its kernel connected")
    background.call(hub.save_module(WORKBOOK, MODULE, LIVE_MODULE))
    show("ide", f"saved module {MODULE}: =CLOCK(interval) streams, price_changed handles "
                "Sheet1's Change, refresh() is for a timer")

    ide = _Ide(background)
    try:
        ide.start()
        ide.panels_before()
        _in_the_page(hub, sheet_picture)
        ide.panels_after(panels_picture)
    finally:
        ide.close()


class _Ide:
    """An IDE window on the workbook, its Functions, Events and Timers panels used."""

    def __init__(self, background: BackgroundHub) -> None:
        os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
        os.environ["QUORVEL_SECURED"] = "1" if background.hub.secured else "0"
        from PySide6.QtCore import qInstallMessageHandler
        from PySide6.QtWidgets import QApplication

        from ide.gui import MainWindow
        from ide.gui.idelink import IdeLink

        from .ide_steps import ConsolePrinter

        # The offscreen platform warns about every dialog it cannot size as a desktop would.
        qInstallMessageHandler(lambda _kind, _context, text: None
                               if "propagateSizeHints" in text else print(text, file=sys.stderr))
        self.app = QApplication.instance() or QApplication([])
        self.window = window = MainWindow()
        window.resize(1500, 620)
        self.link = IdeLink(window, "127.0.0.1", background.port, token=background.hub.token)
        window.attach_link(self.link)
        self.printer = ConsolePrinter(window)

    def start(self) -> None:
        from PySide6.QtCore import Qt
        from PySide6.QtWidgets import QDockWidget

        window = self.window
        show("ide", "an IDE window opens on the hub")
        window.show()
        window.activateWindow()
        self.link.start()
        self.wait(window.channel.is_connected, "the IDE to connect")
        # The tools' dock dragged wider, so that the panels' tables show their columns.
        window.resizeDocks([window.findChild(QDockWidget, "Tools")], [620],
                           Qt.Orientation.Horizontal)

    def wait(self, condition, what: str, timeout: float = 30) -> None:
        from . import ide_driver as do

        try:
            do.wait_until(condition, timeout, what, tick=self.printer.poll)
        except do.WaitTimeout as error:
            raise SheetCheckFailed(str(error)) from None

    def open_tab(self, panel) -> None:
        """Clicks the panel's tab and picks the workbook at its top."""
        self.window.tool_tabs.setCurrentWidget(panel)

        def chosen() -> bool:
            panel.workbook_box.select(WORKBOOK)
            return panel.current_workbook() == WORKBOOK
        self.wait(chosen, f"{WORKBOOK} in the panel")

    def panels_before(self) -> None:
        from PySide6.QtCore import Qt
        from PySide6.QtTest import QTest

        window = self.window
        functions, events, timers = (window.function_publisher, window.event_manager,
                                     window.timer_manager)
        self.open_tab(functions)
        self.wait(lambda: any(row[0] == "CLOCK" for row in _rows(functions.table)),
                  "CLOCK in the Functions panel")
        clock = next(row for row in _rows(functions.table) if row[0] == "CLOCK")
        if clock[1:] != ["live.clock", "interval", "The time of day, ticking", "streaming",
                         "decorator"]:
            raise SheetCheckFailed(f"the Functions panel shows CLOCK as {clock}")
        show("ide", "Functions panel: " + " | ".join(clock))

        self.open_tab(events)
        self.wait(lambda: _event_row(events, "Sheet1", "Change")[1:]
                  == ["live.price_changed", "decorator"],
                  "the Change handler in the Events panel")
        show("ide", "Events panel: Sheet1 > Change -> live.price_changed (decorator)")

        self.open_tab(timers)
        QTest.mouseClick(timers.add_button, Qt.MouseButton.LeftButton)
        dialog = timers.dialog
        if dialog is None or not dialog.function_box.select(MODULE, "refresh"):
            raise SheetCheckFailed("the timer dialog does not offer live.refresh()")
        QTest.mouseClick(dialog.every_button, Qt.MouseButton.LeftButton)
        dialog.interval_edit.selectAll()
        QTest.keyClicks(dialog.interval_edit, str(TIMER_SECONDS))
        show("ide", f"Timers panel: Add..., live.refresh() every {TIMER_SECONDS} s, Add")
        QTest.mouseClick(dialog.add_button, Qt.MouseButton.LeftButton)
        self.wait(lambda: any(row[:2] == ["live.refresh", f"every {TIMER_SECONDS} s"]
                              for row in _rows(timers.table)), "the timer in the Timers panel")
        row = _rows(timers.table)[0]
        show("ide", f"Timers panel: {row[0]}, {row[1]}, next run {row[3]}")

    def panels_after(self, picture: Path) -> None:
        from PySide6.QtGui import QColor, QPainter, QPixmap

        window = self.window
        timers = window.timer_manager
        self.wait(lambda: any(row[0] == "live.refresh" and row[5] == "success"
                              for row in _rows(timers.table)), "the timer's run to succeed")
        row = next(row for row in _rows(timers.table) if row[0] == "live.refresh")
        show("ide", f"Timers panel: last run {row[4]}, {row[5]}")
        shots = []
        for panel in (window.function_publisher, window.event_manager, timers):
            self.open_tab(panel)
            # Columns widened to what they hold, as a person drags their edges.
            view = panel.tree if panel is window.event_manager else panel.table
            for column in range(view.model().columnCount()):
                view.resizeColumnToContents(column)
            self.app.processEvents()
            shots.append(window.tool_tabs.grab())
        gap = 8
        canvas = QPixmap(sum(shot.width() for shot in shots) + gap * (len(shots) + 1),
                         max(shot.height() for shot in shots) + 2 * gap)
        canvas.fill(QColor("#d0d4da"))
        painter = QPainter(canvas)
        left = gap
        for shot in shots:
            painter.drawPixmap(left, gap, shot)
            left += shot.width() + gap
        painter.end()
        picture.parent.mkdir(parents=True, exist_ok=True)
        if not canvas.save(str(picture)):
            raise SheetCheckFailed(f"the picture of the panels could not be saved to {picture}")
        show("ide", f"picture of the Functions, Events and Timers panels saved to {picture}")

    def close(self) -> None:
        import logging

        self.window.close()
        logging.getLogger("ide.gui.idelink").setLevel(logging.CRITICAL)
        self.link.stop()


def _rows(table) -> List[List[str]]:
    return [[table.item(r, c).text() if table.item(r, c) else "" for c in
             range(table.columnCount())] for r in range(table.rowCount())]


def _event_row(panel, object_id: str, event_name: str) -> List[str]:
    item = panel.event_item(object_id, event_name)
    return [] if item is None else [item.text(c) for c in range(3)]


def _in_the_page(hub, picture: Path) -> None:
    driver = sheet_steps.start_chromium()
    try:
        url = hub.workbook_url(WORKBOOK)
        show("browser", f"Chromium (headless) opens {url.split('?')[0]}?token=...")
        driver.get(url)
        wait_until(driver, lambda: driver.execute_script("return document.body.dataset.ready")
                   == "1", "the page to connect and draw its sheet")
        for address, text in TYPED:
            type_into(driver, address, text)
        show("browser", "typed " + ", ".join(f"{a} {t}" for a, t in TYPED))

        ticks: List[str] = []

        def ticked() -> bool:
            now, seconds = _texts(driver, "B1", "C1")
            if TIME.fullmatch(now) and (not ticks or ticks[-1] != now):
                if seconds != now[-2:]:
                    raise SheetCheckFailed(f"B1 shows {now} but C1 =RIGHT(B1, 2) shows "
                                           f"{seconds!r}")
                ticks.append(now)
                show("page", f"B1 =CLOCK() shows {now}, C1 =RIGHT(B1, 2) shows {seconds}")
            return len(ticks) >= TICKS
        _wait(driver, ticked, f"B1 to show {TICKS} different times", ("B1", "C1"))

        for price in PRICES:
            was = _texts(driver, "B3")[0]
            type_into(driver, "B3", price)
            expected = "was empty" if not was else f"was {was}"
            show("browser", f"click B3, type {price}, Enter")
            _wait(driver, lambda: _texts(driver, "B3", "B4") == [price, expected]
                  and TIME.fullmatch(_texts(driver, "C4")[0]) is not None,
                  f"the Change handler to write B4 {expected!r} and the time in C4",
                  ("B3", "B4", "C4"))
            show("page", f"the handler wrote B4 {expected!r}, C4 "
                         f"{_texts(driver, 'C4')[0]}")

        def refreshed_twice() -> bool:
            count, at = _texts(driver, "B6", "C6")
            return count.isdigit() and int(count) >= 2 and TIME.fullmatch(at) is not None
        _wait(driver, refreshed_twice, "the timer to refresh B6 twice", ("B6", "C6"),
              timeout=6 * TIMER_SECONDS + 10)
        count, at = _texts(driver, "B6", "C6")
        show("page", f"the timer refreshed B6 {count} times, the last at {at}")

        cell(driver, "B1").click()
        bar = driver.find_element("id", "formula-bar").get_attribute("value")
        if bar != "=CLOCK()":
            raise SheetCheckFailed(f"the formula bar shows {bar!r} for B1, not =CLOCK()")
        _wait(driver, lambda: _texts(driver, "B1")[0] != ticks[-1],
              "the clock to go on ticking", ("B1",))
        show("browser", f"click B1: the formula bar reads {bar}; B1 shows "
                        f"{_texts(driver, 'B1')[0]}")
        picture.parent.mkdir(parents=True, exist_ok=True)
        driver.save_screenshot(str(picture))
        show("browser", f"screenshot of the page saved to {picture}")
    finally:
        driver.quit()


def _texts(driver, *addresses: str) -> List[str]:
    """What the cells show, read at one moment (the page draws a change in one go)."""
    return driver.execute_script(
        "return arguments[0].map(a => { const e = document.querySelector("
        "`[data-address='${a}']`); return e ? e.textContent.trim() : ''; })",
        [f"{sheet_steps.SHEET}!{address}" for address in addresses])


def _wait(driver, condition, what: str, cells, timeout: float = 30.0) -> None:
    """Waits for `condition`; on time-out, says what `cells` showed."""
    try:
        wait_until(driver, condition, what, timeout)
    except SheetCheckFailed as failure:
        shown: Dict[str, str] = dict(zip(cells, _texts(driver, *cells)))
        raise SheetCheckFailed(f"{failure}; the page shows " + ", ".join(
            f"{address} {text!r}" for address, text in shown.items())) from None


def main() -> None:
    """The live part alone (``python -m devhub.demo.live_steps``), on a hub of its own."""
    background = BackgroundHub()
    try:
        run(background, Path("build") / "demo-live-sheet.png", Path("build") / "demo-panels.png")
    finally:
        background.stop()


if __name__ == "__main__":
    main()
