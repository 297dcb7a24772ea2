"""Fixtures of the IDE tests: the IDE window, used through its widgets, against a development hub
and the kernel processes it launches.

Time-outs are multiplied by QUORVEL_TESTS_TIMEOUT_FACTOR (default 1) on slow machines.
"""
import os

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import pytest  # noqa: E402
from PySide6.QtCore import Qt  # noqa: E402
from PySide6.QtTest import QTest  # noqa: E402
from PySide6.QtWidgets import QDialog, QMessageBox  # noqa: E402

from devhub.demo import ide_driver as do  # noqa: E402
from devhub.background import BackgroundHub  # noqa: E402
from ide.gui import MainWindow  # noqa: E402
from ide.gui.dialogs import NameDialog  # noqa: E402
from ide.gui.idelink import IdeLink  # noqa: E402

FACTOR = float(os.environ.get("QUORVEL_TESTS_TIMEOUT_FACTOR", "1"))
WORKBOOK = "Book.xlsx"
CTRL = Qt.KeyboardModifier.ControlModifier


def seconds(value: float) -> float:
    return value * FACTOR


class Ide:
    """A shown IDE window connected to a hub, with the steps a person takes in it."""

    def __init__(self, background: BackgroundHub, settings=None) -> None:
        self.background = background
        self.window = MainWindow(settings=settings)
        self.window.resize(1200, 800)
        self.link = IdeLink(self.window, "127.0.0.1", background.port, token=background.hub.token)
        self.window.attach_link(self.link)
        self.window.show()
        self.link.start()
        self.wait(self.window.channel.is_connected, "the IDE to connect")

    @property
    def explorer(self):
        return self.window.project_explorer

    def wait(self, condition, what: str, timeout: float = 20) -> None:
        do.wait_until(condition, seconds(timeout), what)

    def console(self) -> str:
        return "".join(e.text if e.from_std else e.text + "\n"
                       for e in self.window.console.entries)

    def wait_for_console(self, text: str, timeout: float = 20) -> None:
        self.wait(lambda: text in self.console(), repr(text), timeout)

    def kernel_state(self, workbook_id: str):
        return self.explorer.kernel_states.get(workbook_id)

    def run_cell(self, code: str) -> str:
        """Types `code` at the prompt, runs it, and returns the console text it produced."""
        before = len(self.console())
        do.type_text(self.window.console.prompt, code)
        do.key(self.window.console.prompt, Qt.Key.Key_Return, CTRL)
        self.wait(lambda: "Execution " in self.console()[before:], f"the cell {code!r}")
        return self.console()[before:]

    def run_cell_in(self, workbook_id: str, code: str) -> str:
        self.window.console.select_workbook(workbook_id)
        return self.run_cell(code)

    def new_module(self, workbook_id: str, name: str, source: str = ""):
        """Creates a module from the explorer's menu, types `source` and saves it."""
        do.click_item(self.explorer, self.explorer._workbook_items[workbook_id])
        self.window.module_actions.new_module_action.trigger()
        dialog = do.dialog(self.window, NameDialog)
        do.type_text(dialog.name_edit, name)
        do.key(dialog.name_edit, Qt.Key.Key_Return)
        self.wait(lambda: self.window.editor_for(workbook_id, name) is not None, "the new tab")
        editor = self.window.editor_for(workbook_id, name)
        if source:
            do.type_code(editor, source)
            self.save(editor)
        return editor

    def module_item(self, workbook_id: str, name: str):
        row = self.explorer._workbook_items[workbook_id]
        return next(row.child(i) for i in range(row.childCount())
                    if row.child(i).text(0) == f"{name}.py")

    def answer(self, button) -> None:
        """Clicks `button` of the question box the IDE shows."""
        box = do.dialog(self.window, QMessageBox)
        QTest.mouseClick(box.button(button), Qt.MouseButton.LeftButton)

    def save(self, editor) -> None:
        do.key(editor, Qt.Key.Key_S, CTRL)
        self.wait(lambda: not editor.is_modified(), "the save to be confirmed")

    def marked(self, editor) -> bool:
        tabs = self.window.editor_tabs
        return not tabs.tabIcon(tabs.indexOf(editor)).isNull()

    def tidy(self) -> None:
        """Closes dialogs left open and forgets unsaved edits, so the next test starts clean."""
        for dialog in self.window.findChildren(QDialog):
            if dialog.isVisible():
                dialog.reject()
        for editor in self.window.unsaved_editors():
            editor.mark_saved()

    def close(self) -> None:
        self.tidy()
        self.window.close()
        self.link.stop()
        self.window.link = self.window.channel.link = None


@pytest.fixture(scope="module")
def background(qapp):
    secured = os.environ.get("QUORVEL_SECURED")
    os.environ["QUORVEL_SECURED"] = "0"
    background = BackgroundHub()
    yield background
    background.stop()
    if secured is None:
        del os.environ["QUORVEL_SECURED"]
    else:
        os.environ["QUORVEL_SECURED"] = secured


@pytest.fixture(scope="module")
def ide(background):
    """The IDE with a workbook whose kernel the hub launched and the explorer shows connected."""
    background.call(background.hub.launch_kernel(WORKBOOK))
    ide = Ide(background)
    ide.wait(lambda: ide.kernel_state(WORKBOOK) == "connected", "the kernel", 60)
    ide.window.pick_workbook(WORKBOOK)
    yield ide
    ide.close()


@pytest.fixture
def used(ide):
    """The shared IDE, tidied after the test."""
    yield ide
    ide.tidy()
