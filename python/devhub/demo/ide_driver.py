"""Driving the IDE window as a person does: keys and clicks through QTest, actions through
their shortcuts, dialogs through their fields. `make demo`, the IDE benchmarks and the
end-to-end tests use it, so that what they show is what the widgets do.

The window must be shown and active (offscreen works) for shortcuts to reach their actions.
"""

from __future__ import annotations

import time
from typing import Callable, List, Optional, Type, TypeVar

from PySide6.QtCore import QPoint, Qt
from PySide6.QtGui import QContextMenuEvent
from PySide6.QtTest import QTest
from PySide6.QtWidgets import (QApplication, QDialog, QMenu, QPlainTextEdit, QTreeWidget,
                               QTreeWidgetItem, QWidget)

__all__ = ["WaitTimeout", "click_gutter", "click_item", "dialog", "gutter_menu", "key", "type_code",
           "type_text", "wait_until"]

D = TypeVar("D", bound=QDialog)
NO_MODIFIER = Qt.KeyboardModifier.NoModifier


class WaitTimeout(AssertionError):
    pass


def wait_until(condition: Callable[[], object], timeout: float = 20.0, what: str = "",
               tick: Optional[Callable[[], None]] = None) -> None:
    """Runs the Qt event loop until `condition()` holds; `tick` runs on every turn."""
    deadline = time.monotonic() + timeout
    app = QApplication.instance()
    while not condition():
        if time.monotonic() > deadline:
            raise WaitTimeout(f"waited {timeout:.0f} s for {what or condition}")
        app.processEvents()
        if tick is not None:
            tick()
        time.sleep(0.005)
    app.processEvents()
    if tick is not None:
        tick()


def dialog(parent: QWidget, kind: Type[D], timeout: float = 10.0) -> D:
    """The visible dialog of class `kind` opened over `parent` (waits for it)."""
    found: List[D] = []

    def visible() -> bool:
        found[:] = [d for d in parent.findChildren(kind) if d.isVisible()]
        return bool(found)

    wait_until(visible, timeout, f"a {kind.__name__} to open")
    return found[-1]


def _activate(widget: QWidget) -> None:
    """Makes the widget's window the active one, as a person's click on it does (the offscreen
    platform does not hand activation back to a window when its dialog closes)."""
    window = widget.window()
    if QApplication.activeWindow() is not window:
        window.activateWindow()
        QApplication.processEvents()


def key(widget: QWidget, key_code: Qt.Key, modifiers=NO_MODIFIER, times: int = 1) -> None:
    _activate(widget)
    for _ in range(times):
        QTest.keyClick(widget, key_code, modifiers)


def type_text(widget: QWidget, text: str) -> None:
    _activate(widget)
    QTest.keyClicks(widget, text)


def type_code(editor: QPlainTextEdit, source: str) -> None:
    """Types `source` line by line, as a person does in an editor that indents by itself:
    only each line's own text is typed; the indentation is corrected with Tab and Backspace
    where the editor's guess differs from the source."""
    lines = source.splitlines()
    for number, line in enumerate(lines):
        wanted = len(line) - len(line.lstrip(" "))
        if line.strip():
            have = len(editor.textCursor().block().text())  # only indentation so far
            while have > wanted:
                key(editor, Qt.Key.Key_Backspace)
                have = len(editor.textCursor().block().text())
            while have < wanted:
                key(editor, Qt.Key.Key_Tab)
                have = len(editor.textCursor().block().text())
            type_text(editor, line.strip())
        elif editor.textCursor().block().text().strip() == "":
            # A blank line in the source: clear the indentation the editor offered.
            while editor.textCursor().block().text():
                key(editor, Qt.Key.Key_Backspace)
        if number < len(lines) - 1 or source.endswith("\n"):
            key(editor, Qt.Key.Key_Return)


def click(widget: QWidget) -> None:
    """A left click in the middle of a button or box, as a person's."""
    _activate(widget)
    QTest.mouseClick(widget, Qt.MouseButton.LeftButton)


def click_item(tree: QTreeWidget, item: QTreeWidgetItem) -> None:
    tree.scrollToItem(item)
    QTest.mouseClick(tree.viewport(), Qt.MouseButton.LeftButton, NO_MODIFIER,
                     tree.visualItemRect(item).center())


def _gutter_point(editor: QPlainTextEdit, line: int) -> QPoint:
    """Where the gutter shows a (1-based) line; a line out of view is brought into view with
    the text cursor first."""
    block = editor.document().findBlockByNumber(line - 1)
    shape = editor.blockBoundingGeometry(block).translated(editor.contentOffset())
    if shape.top() < 0 or shape.bottom() > editor.viewport().height():
        cursor = editor.textCursor()
        cursor.setPosition(block.position())
        editor.setTextCursor(cursor)
        editor.centerCursor()
        QApplication.processEvents()
        shape = editor.blockBoundingGeometry(block).translated(editor.contentOffset())
    return QPoint(4, round(shape.center().y()))


def click_gutter(editor: QPlainTextEdit, line: int) -> None:
    QTest.mouseClick(editor.gutter(), Qt.MouseButton.LeftButton, NO_MODIFIER,
                     _gutter_point(editor, line))


def gutter_menu(editor: QPlainTextEdit, line: int) -> QMenu:
    """Opens the gutter's context menu beside a line, as a right click does; returns it."""
    gutter = editor.gutter()
    point = _gutter_point(editor, line)
    QApplication.sendEvent(gutter, QContextMenuEvent(QContextMenuEvent.Reason.Mouse, point,
                                                     gutter.mapToGlobal(point)))
    menus = [menu for menu in editor.findChildren(QMenu) if menu.isVisible()]
    if not menus:
        raise WaitTimeout("the gutter showed no menu")
    return menus[-1]
