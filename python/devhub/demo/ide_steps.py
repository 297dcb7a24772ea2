"""The IDE half of `make demo`: a real IDE window (offscreen when there is no display) used the
way a person uses it, through its menus, shortcuts, dialogs, editor and console prompt, against
the development hub and the kernel the hub launches for a new workbook.

It prints each step and every console line the IDE shows, as they appear, and saves a picture
of the window at the end.
"""

from __future__ import annotations

import logging
import os
import sys
from pathlib import Path

from . import debug_steps, everyday_steps, language_steps, package_steps
from ..background import BackgroundHub

WORKBOOK = "Forecast.xlsx"
FORECAST_MODULE = """\
import time

def grow(value, rate, years):
    '''Grows value by rate, once a year, printing each year's value.'''
    for year in range(1, years + 1):
        value *= 1 + rate
        print(f"year {year}: {value:,.0f}")
        time.sleep(0.3)
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


def run(background: BackgroundHub, screenshot: Path) -> None:
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    os.environ.setdefault("QT_LOGGING_RULES", "qt.qpa.*=false")
    # The development hub serves plain ws, as the kernels it launches are told.
    os.environ["QUORVEL_SECURED"] = "1" if background.hub.secured else "0"
    from PySide6.QtCore import Qt, qInstallMessageHandler
    from PySide6.QtWidgets import QApplication

    from ide.gui import MainWindow
    from ide.gui.dialogs import NameDialog, RunDialog, WorkbookFileDialog
    from ide.gui.idelink import IdeLink

    from . import ide_driver as do

    # The offscreen platform warns about every dialog it cannot size as a desktop would.
    qInstallMessageHandler(lambda _kind, _context, text: None if "propagateSizeHints" in text
                           else print(text, file=sys.stderr))
    app = QApplication.instance() or QApplication([])
    window = MainWindow()
    window.resize(1280, 860)
    link = IdeLink(window, "127.0.0.1", background.port, token=background.hub.token)
    window.attach_link(link)
    printer = ConsolePrinter(window)
    explorer = window.project_explorer
    ctrl = Qt.KeyboardModifier.ControlModifier

    def wait(condition, what: str, timeout: float = 30) -> None:
        do.wait_until(condition, timeout, what, tick=printer.poll)

    def console_has(text: str):
        return lambda: text in printer.text()

    try:
        show("ide", f"IDE window opens, connecting to the hub at {link.url}")
        window.show()
        window.activateWindow()
        link.start()
        wait(window.channel.is_connected, "the IDE to connect")

        folder = background.hub.workbooks.folder
        os.makedirs(folder, exist_ok=True)
        show("ide", f"File > New Workbook..., the file {WORKBOOK} in {folder}")
        window.workbook_actions.new_workbook_action.trigger()
        file_box = do.dialog(window, WorkbookFileDialog)
        file_box.name_edit.selectAll()
        do.type_text(file_box.name_edit, os.path.join(folder, WORKBOOK))
        do.key(file_box.name_edit, Qt.Key.Key_Return)
        wait(lambda: explorer.kernel_states.get(WORKBOOK) == "connected",
             "the new workbook's kernel to connect")
        show("ide", f"explorer: {WORKBOOK} - {explorer._workbook_items[WORKBOOK].text(1)}")

        show("ide", "explorer context menu on the workbook: New Module...")
        do.click_item(explorer, explorer._workbook_items[WORKBOOK])
        window.module_actions.new_module_action.trigger()
        name_box = do.dialog(window, NameDialog)
        do.type_text(name_box.name_edit, "2020_forecast")
        show("dialog", f"'2020_forecast' refused: {name_box.problem_label.text()}")
        name_box.name_edit.selectAll()
        do.type_text(name_box.name_edit, "forecast")
        do.key(name_box.name_edit, Qt.Key.Key_Return)
        wait(lambda: window.editor_for(WORKBOOK, "forecast") is not None, "the module's tab")
        editor = window.editor_for(WORKBOOK, "forecast")

        show("ide", "type the module in its editor")
        do.type_code(editor, FORECAST_MODULE)
        show("ide",
             f"tab forecast.py shows the unsaved marker: "
             f"{not window.editor_tabs.tabIcon(window.editor_tabs.indexOf(editor)).isNull()}")
        do.key(editor, Qt.Key.Key_S, ctrl)
        wait(lambda: not editor.is_modified(), "the save to be confirmed")
        show("ide", "Ctrl+S: module_updated came back, the marker is gone; explorer lists "
                    f"{explorer.modules_of(WORKBOOK)}")

        prompt = window.console.prompt
        show("ide", "prompt: a cell, then a two-line loop (Enter after the colon adds a line)")
        do.type_text(prompt, "from forecast import grow; grow(100, 0.1, 2)")
        do.key(prompt, Qt.Key.Key_Return)
        wait(console_has("Out: 121"), "the cell's result")
        do.type_text(prompt, "for n in range(3):")
        do.key(prompt, Qt.Key.Key_Return)
        do.type_text(prompt, "print(n, 'squared is', n * n)")
        do.key(prompt, Qt.Key.Key_Return, ctrl)
        wait(console_has("2 squared is 4"), "the loop's output")

        show("ide", "F5 in grow(): the Run dialog, with a bad literal first")
        do.key(editor, Qt.Key.Key_Home, ctrl)
        do.key(editor, Qt.Key.Key_Down, times=4)
        do.key(editor, Qt.Key.Key_F5)
        run_box = do.dialog(window, RunDialog)
        do.type_text(run_box.args_edit, "1000, 0.05, three")
        do.key(run_box.args_edit, Qt.Key.Key_Return)
        show("dialog", f"refused: {run_box.problem_label.text()}")
        do.type_text(run_box.args_edit, "3")  # over the faulty argument, which is selected
        do.key(run_box.args_edit, Qt.Key.Key_Return)
        wait(console_has("year 1:"), "the run's first output")
        show("ide", f"while it runs the Run action reads "
                    f"'{window.run_actions.run_action.text().replace('&', '')}'; F5 again:")
        do.key(editor, Qt.Key.Key_F5)
        do.key(do.dialog(window, RunDialog).args_edit, Qt.Key.Key_Return)
        wait(console_has("Execution completed successfully for grow()"), "the run to end")

        show("ide", "Run > Restart Kernel...: the namespace goes, the modules stay")
        window.workbook_actions.restart_action.trigger()
        do.key(app.activeModalWidget() or window, Qt.Key.Key_Return)
        wait(console_has("restarted: a fresh namespace"), "the kernel to restart")
        do.type_text(prompt, "'grow' in dir(), __import__('forecast').grow(10, 1.0, 1)")
        do.key(prompt, Qt.Key.Key_Return)
        wait(console_has("Out: (False, 20)"), "the cell after the restart")

        package_steps.run(app, background, window, link, WORKBOOK, printer.poll)
        debug_steps.run(window, WORKBOOK, printer.poll)

        editor.setFocus()
        language_steps.run(app, window, WORKBOOK, printer.poll)
        screenshot.parent.mkdir(parents=True, exist_ok=True)
        window.grab().save(str(screenshot))
        show("ide", f"screenshot of the IDE window saved to {screenshot}")
        everyday_steps.run(app, window, WORKBOOK, printer.poll, screenshot.parent)
    finally:
        for editor in window.unsaved_editors():
            editor.mark_saved()
        window.close()
        # stop() logs the loop it stopped at error level; the demo has said all it has to say.
        logging.getLogger("ide.gui.idelink").setLevel(logging.CRITICAL)
        link.stop()
