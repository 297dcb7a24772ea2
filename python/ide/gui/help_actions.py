"""``HelpActions``: the Help menu: the keyboard shortcuts, and the guide to the ``quorvel``
module that user code imports.

What it promises:

* Keyboard Shortcuts lists every command of the window that has a shortcut, by menu, read
  from the actions themselves when the list is opened (so it is never out of date); commands
  outside the menus (the console's, the explorer's) are listed under "Elsewhere".
* Quorvel Guide (F1) shows the guide kept beside the module in the kernel's package
  (``python_server/quorvel/GUIDE.md``), or says where it was looked for when it is missing.
* Both open as windows of their own beside the IDE and come to the front when asked again.
"""

from __future__ import annotations

from importlib import resources
from typing import TYPE_CHECKING, List, Optional, Tuple

from PySide6.QtCore import QObject, Qt
from PySide6.QtGui import QAction, QKeySequence
from PySide6.QtWidgets import (QDialog, QHeaderView, QMenu, QTableWidget, QTableWidgetItem,
                               QTextBrowser, QVBoxLayout, QWidget)

if TYPE_CHECKING:
    from PySide6.QtWidgets import QMainWindow

__all__ = ["HelpActions", "guide_text", "shortcut_rows"]

ELSEWHERE = "Elsewhere"


def _plain(text: str) -> str:
    return text.replace("&&", "\0").replace("&", "").replace("\0", "&").rstrip(".")


def _keys(action: QAction) -> str:
    return ", ".join(sequence.toString(QKeySequence.SequenceFormat.NativeText)
                     for sequence in action.shortcuts() if not sequence.isEmpty())


def shortcut_rows(window: QWidget) -> List[Tuple[str, str, str]]:
    """(menu, command, keys) for every action of the window with a shortcut, menus first."""
    rows: List[Tuple[str, str, str]] = []
    seen = set()

    def walk(menu: QMenu, title: str) -> None:
        for action in menu.actions():
            if action.menu() is not None:
                walk(action.menu(), title)
            elif not action.isSeparator() and _keys(action) and id(action) not in seen:
                seen.add(id(action))
                rows.append((title, _plain(action.text()), _keys(action)))

    for top in window.menuBar().actions():
        if top.menu() is not None:
            walk(top.menu(), _plain(top.text()))
    for widget in [window, *window.findChildren(QWidget)]:
        for action in widget.actions():
            if id(action) not in seen and _keys(action) and action.text():
                seen.add(id(action))
                rows.append((ELSEWHERE, _plain(action.text()), _keys(action)))
    return rows


def guide_text() -> Optional[str]:
    """The guide's Markdown, or None when the kernel's package lacks it."""
    try:
        return (resources.files("python_server") / "quorvel" / "GUIDE.md").read_text("utf-8")
    except (ModuleNotFoundError, FileNotFoundError, OSError):
        return None


class HelpActions(QObject):
    def __init__(self, window: QMainWindow) -> None:
        super().__init__(window)
        self.window = window
        self.shortcuts_window: Optional[QDialog] = None
        self.guide_window: Optional[QDialog] = None
        self.shortcuts_action = QAction("&Keyboard Shortcuts", window)
        self.shortcuts_action.triggered.connect(lambda _checked=False: self.show_shortcuts())
        self.guide_action = QAction("Quorvel &Guide", window)
        self.guide_action.setShortcut(QKeySequence("F1"))
        self.guide_action.triggered.connect(lambda _checked=False: self.show_guide())

    def actions(self) -> list:
        return [self.guide_action, self.shortcuts_action]

    def _window(self, title: str, content: QWidget, size: Tuple[int, int]) -> QDialog:
        dialog = QDialog(self.window)
        dialog.setWindowTitle(title)
        dialog.setWindowFlag(Qt.WindowType.WindowContextHelpButtonHint, False)
        layout = QVBoxLayout(dialog)
        content.setParent(dialog)
        layout.addWidget(content)
        dialog.resize(*size)
        return dialog

    def show_shortcuts(self) -> QTableWidget:
        rows = shortcut_rows(self.window)
        table = QTableWidget(len(rows), 3)
        table.setObjectName("shortcuts")
        table.setHorizontalHeaderLabels(["Menu", "Command", "Shortcut"])
        table.verticalHeader().hide()
        table.setEditTriggers(QTableWidget.EditTrigger.NoEditTriggers)
        table.horizontalHeader().setSectionResizeMode(1, QHeaderView.ResizeMode.Stretch)
        for row, values in enumerate(rows):
            for column, value in enumerate(values):
                table.setItem(row, column, QTableWidgetItem(value))
        if self.shortcuts_window is not None:
            self.shortcuts_window.close()
            self.shortcuts_window.deleteLater()
        self.shortcuts_window = self._window("Keyboard Shortcuts", table, (520, 560))
        self.shortcuts_window.show()
        return table

    def show_guide(self) -> QTextBrowser:
        if self.guide_window is None:
            browser = QTextBrowser()
            browser.setObjectName("guide")
            browser.setOpenExternalLinks(True)
            text = guide_text()
            if text is None:
                browser.setPlainText("The guide was not found: python_server/quorvel/GUIDE.md "
                                     "is missing from this installation.")
            else:
                browser.setMarkdown(text)
            self.guide_window = self._window("The quorvel module", browser, (720, 640))
        self.guide_window.show()
        self.guide_window.raise_()
        self.guide_window.activateWindow()
        return self.guide_window.findChild(QTextBrowser, "guide")
