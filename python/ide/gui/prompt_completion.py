"""``PromptCompletion``: completion at the console prompt, answered by the kernel of the workbook
picked in its "Run in" box, as the editor's are.

What it promises:

* Ctrl+Space, or Tab after a name or a ".", asks for the completions of the name before the
  cursor; Tab elsewhere (at the start of a line, after a space) still indents.
* The kernel reads the prompt's text after the workbook's cells typed so far in this window
  (those that compile), so names they defined complete too: ``total = 1`` then ``tot``.
* The list floats over the console above the prompt; typing a name filters it, Up and Down
  choose, Enter or Tab inserts the chosen item, Escape or a key that leaves the name closes
  it. An answer that comes after the prompt's text changed is dropped.
* Without a connected kernel the status bar says why and nothing is asked.
"""

from __future__ import annotations

import codeop
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from PySide6.QtCore import QEvent, QObject, QRect, Qt
from PySide6.QtGui import QKeyEvent, QTextCursor

from .completion_popup import CompletionPopup
from .editor_tips import place_beside
from .monaco_editor import utf16_length

if TYPE_CHECKING:
    from .hosts import PromptHost

__all__ = ["PromptCompletion", "MAX_CONTEXT_CELLS"]

# The latest cells of each workbook the kernel reads before the prompt's text.
MAX_CONTEXT_CELLS = 200
LANGUAGE_TIMEOUT = 10.0
_CTRL = Qt.KeyboardModifier.ControlModifier
_PLAIN = (Qt.KeyboardModifier.NoModifier, Qt.KeyboardModifier.KeypadModifier)


def _name_start(text: str) -> int:
    """Where the name that `text` ends with starts."""
    start = len(text)
    while start > 0 and ("_" + text[start - 1]).isidentifier():
        start -= 1
    return start


def _compiles(code: str) -> bool:
    try:
        return codeop.compile_command(code + "\n\n", "<cell>", "exec") is not None
    except (SyntaxError, ValueError, OverflowError):
        return False


class PromptCompletion(QObject):
    def __init__(self, window: "PromptHost") -> None:
        super().__init__(window)
        self.window = window
        self.prompt = window.console.prompt
        self.popup = CompletionPopup(window.console)
        self.cells: Dict[str, List[str]] = {}
        self._anchor: Optional[int] = None  # where the name being completed starts
        self._asked: Optional[str] = None  # the request in flight
        self._asked_text: Optional[str] = None
        self.prompt.installEventFilter(self)
        self.prompt.textChanged.connect(self._follow)
        self.prompt.cursorPositionChanged.connect(self._follow)
        self.popup.chosen.connect(self._insert)
        window.console.cell_submitted.connect(self._remember)

    def _remember(self, workbook_id: Optional[str], code: str) -> None:
        if workbook_id and _compiles(code):
            cells = self.cells.setdefault(workbook_id, [])
            cells.append(code)
            del cells[:-MAX_CONTEXT_CELLS]

    # --- keys -----------------------------------------------------------------------------

    def eventFilter(self, watched: QObject, event: QEvent) -> bool:
        if watched is not self.prompt:
            return False
        if event.type() == QEvent.Type.FocusOut:
            self.close()
            return False
        if event.type() != QEvent.Type.KeyPress or not isinstance(event, QKeyEvent):
            return False
        key, modifiers = event.key(), event.modifiers()
        if key == Qt.Key.Key_Space and modifiers == _CTRL:
            self.complete()
            return True
        if self.popup.isVisible() and modifiers in _PLAIN:
            if key in (Qt.Key.Key_Up, Qt.Key.Key_Down):
                self.popup.move_choice(-1 if key == Qt.Key.Key_Up else 1)
                return True
            if key in (Qt.Key.Key_Return, Qt.Key.Key_Enter, Qt.Key.Key_Tab):
                self._insert(self.popup.current())
                return True
            if key == Qt.Key.Key_Escape:
                self.close()
                return True
        if key == Qt.Key.Key_Tab and modifiers in _PLAIN and self._after_name():
            self.complete()
            return True
        return False

    def _after_name(self) -> bool:
        cursor = self.prompt.textCursor()
        before = cursor.block().text()[:self._column(cursor)]
        return not cursor.hasSelection() and bool(before) and (
            before.endswith(".") or ("_" + before[-1]).isidentifier())

    @staticmethod
    def _column(cursor: QTextCursor) -> int:
        """The cursor's column in characters (Qt counts UTF-16 units)."""
        text, units = cursor.block().text(), cursor.positionInBlock()
        column = 0
        while column < len(text) and utf16_length(text[:column + 1]) <= units:
            column += 1
        return column

    # --- asking ---------------------------------------------------------------------------

    def complete(self) -> None:
        window = self.window
        workbook_id = window.console.current_workbook()
        problem = ("no workbook is picked in the console's Run in box" if workbook_id is None
                   else window.kernel_problem(workbook_id)
                   or (None if window.channel.is_connected() else "the IDE is not connected"))
        if problem:
            window.statusBar().showMessage(f"No completions: {problem}", 5000)
            return
        cursor = self.prompt.textCursor()
        column = self._column(cursor)
        before = cursor.block().text()[:column]
        self._anchor = cursor.position() - utf16_length(before[_name_start(before):])
        context = self.cells.get(workbook_id, [])
        lines = "\n".join(context).count("\n") + 1 if context else 0
        code = "\n".join(context + [self.prompt.toPlainText()])
        message = {"type": "completion_request", "workbook_id": workbook_id,
                   "module_name": None, "path": None, "code": code,
                   "line": lines + cursor.blockNumber() + 1, "column": column,
                   "dirty_files": {}}
        self._asked_text = self.prompt.toPlainText()
        self._asked = window.channel.request(message, self._answered, None, LANGUAGE_TIMEOUT)

    def _answered(self, reply: Dict[str, Any]) -> None:
        if reply.get("request_id") != self._asked:
            return
        self._asked = None
        if reply.get("type") != "completion_response" or \
                self.prompt.toPlainText() != self._asked_text or self._anchor is None:
            return  # refused, given up, or the text changed since
        items = reply.get("completions")
        self.popup.set_items(items if isinstance(items, list) else [])
        if len(self.popup.items) == 1:
            self._insert(self.popup.items[0])  # nothing to choose from
        else:
            self._show()

    # --- the list -------------------------------------------------------------------------

    def _typed(self) -> Optional[str]:
        cursor = self.prompt.textCursor()
        if self._anchor is None or cursor.position() < self._anchor or cursor.hasSelection():
            return None
        pick = QTextCursor(self.prompt.document())
        pick.setPosition(self._anchor)
        pick.setPosition(cursor.position(), QTextCursor.MoveMode.KeepAnchor)
        typed = pick.selectedText()
        return typed if not typed or ("_" + typed).isidentifier() else None

    def _show(self) -> None:
        typed = self._typed()
        if typed is None or not self.popup.show_matching(lambda _item: typed):
            self.close()
            return
        console = self.window.console
        cursor = QTextCursor(self.prompt.document())
        cursor.setPosition(self._anchor or 0)
        rect = self.prompt.cursorRect(cursor)
        top_left = self.prompt.viewport().mapTo(console, rect.topLeft())
        place_beside(self.popup, QRect(top_left, rect.size()), above=True)
        self.popup.show()
        self.popup.raise_()

    def _follow(self) -> None:
        if self.popup.isVisible():
            self._show()

    def _insert(self, item: Optional[dict]) -> None:
        if item is None or self._anchor is None:
            return
        text = item.get("insert_text")
        cursor = self.prompt.textCursor()
        cursor.setPosition(min(self._anchor, cursor.position()), QTextCursor.MoveMode.KeepAnchor)
        self.close()
        cursor.insertText(text if isinstance(text, str) else str(item.get("label")))
        self.prompt.setTextCursor(cursor)

    def close(self) -> None:
        self.popup.hide()
        self._anchor = None
