"""The IDE half of `make demo`: a real IDE window (offscreen when there is no display) and its
connection client, talking to a kernel process through the development hub. Prints what the
IDE shows: the workbooks in its explorer and every console line, as they appear."""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Callable

from . import demo_packages
from .background import BackgroundHub

WORKBOOK = "Forecast.xlsx"
FORECAST_MODULE = """\
import time

def grow(value, rate, years):
    for year in range(1, years + 1):
        value *= 1 + rate
        print(f"year {year}: {value:,.0f}")
        time.sleep(0.1)
    return round(value)
"""


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


class ConsolePrinter:
    """Prints the IDE console's new entries, joining streamed pieces into lines."""

    def __init__(self, window) -> None:
        self.window = window
        self.seen = 0
        self.partial = ""

    def poll(self) -> None:
        console = self.window.console
        new = console.entry_count - self.seen
        entries = list(console.entries)[-new:] if new > 0 else []
        self.seen = console.entry_count
        for entry in entries:
            if entry.from_std:
                self.partial += entry.text
                while "\n" in self.partial:
                    line, self.partial = self.partial.split("\n", 1)
                    show("console", line)
            else:
                for line in entry.text.splitlines() or [""]:
                    show("console", line)

    def text(self) -> str:
        return "".join(e.text if e.from_std else e.text + "\n" for e in self.window.console.entries)


def wait_until(app, printer: ConsolePrinter, condition: Callable[[], bool], timeout: float = 20) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("the IDE did not show what was expected in time")
        app.processEvents()
        printer.poll()
        time.sleep(0.01)
    app.processEvents()
    printer.poll()


def run(background: BackgroundHub, screenshot: Path) -> None:
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    os.environ.setdefault("QT_LOGGING_RULES", "qt.qpa.*=false")
    # The development hub serves plain ws, as the kernels it launches are told.
    os.environ["QUORVEL_SECURED"] = "1" if background.hub.secured else "0"
    from PySide6.QtWidgets import QApplication

    from ide.gui import MainWindow
    from ide.gui.idelink import IdeLink

    app = QApplication.instance() or QApplication([])
    process = background.call(background.hub.launch_kernel(WORKBOOK, {"platform": "web"}))
    window = MainWindow()
    window.resize(1200, 760)
    link = IdeLink(window, "127.0.0.1", background.port)
    window.link = link
    printer = ConsolePrinter(window)
    try:
        background.call(background.hub.wait_for_kernel(WORKBOOK, timeout=30))
        show("ide", f"IDE connecting to the hub at {link.url}")
        window.show()
        link.start()
        explorer = window.project_explorer
        wait_until(app, printer, lambda: WORKBOOK in explorer._workbook_items)
        show("ide", f"explorer shows the workbook {explorer.display_name(WORKBOOK)}")

        show("ide", "sync module forecast, open it in an editor")
        link.send_message({"type": "update_module", "workbook_id": WORKBOOK,
                           "module_name": "forecast", "code": FORECAST_MODULE})
        window.add_editor_tab("forecast", FORECAST_MODULE, WORKBOOK)

        show("ide", "run cell: print('hello from the kernel'); 6 * 7")
        link.send_message({"type": "execution_request", "workbook_id": WORKBOOK,
                           "code": "print('hello from the kernel'); 6 * 7", "request_id": "cell-1"})
        wait_until(app, printer, lambda: "Execution completed successfully\n" in printer.text())

        show("ide", "run forecast.grow(1000, 0.05, 3), its output streamed while it runs")
        link.send_message({"type": "run_module", "workbook_id": WORKBOOK, "module_name": "forecast",
                           "function_name": "grow", "args": [1000, 0.05, 3], "request_id": "run-1"})
        wait_until(app, printer, lambda: "for grow()" in printer.text())

        show("ide", "run cell: forecast_total / 0")
        link.send_message({"type": "execution_request", "workbook_id": WORKBOOK,
                           "code": "forecast_total = 1157; forecast_total / 0", "request_id": "cell-2"})
        wait_until(app, printer, lambda: "Execution failed" in printer.text())

        demo_packages.run(app, background, window, link, WORKBOOK, printer.poll)

        screenshot.parent.mkdir(parents=True, exist_ok=True)
        window.grab().save(str(screenshot))
        show("ide", f"screenshot of the IDE window saved to {screenshot}")
    finally:
        link.stop()
        background.call(process.kill())
