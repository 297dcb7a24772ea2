"""``ConsolePrompt``: the input line under the console, where a person types code cells.

What it promises:

* Enter runs the cell (emits ``submitted`` with its text and clears the prompt), except while
  the text is an unfinished compound statement ("for n in range(3):"): then Enter starts a new,
  indented line, and Enter on a blank line runs it, as in an interactive interpreter.
  Ctrl+Enter always runs the cell; Shift+Enter always starts a new line.
* Up on the first line and Down on the last line walk through the cells run before (the text
  being typed is kept and comes back after the newest cell). Escape clears the prompt.
* Tab indents by four spaces (after a name it completes: ``PromptCompletion``). The prompt
  grows with its text up to ``MAX_VISIBLE_LINES``.
* ``history`` holds the cells run, oldest first, at most ``HISTORY_LIMIT`` of them.
"""

from __future__ import annotations

import codeop
from typing import List, Optional

from PySide6.QtCore import Qt, Signal
from PySide6.QtGui import QFontDatabase, QKeyEvent, QTextCursor
from PySide6.QtWidgets import QPlainTextEdit, QWidget

__all__ = ["ConsolePrompt", "HISTORY_LIMIT"]

HISTORY_LIMIT = 500
MAX_VISIBLE_LINES = 8
INDENT = "    "


def is_unfinished(code: str) -> bool:
    """True while `code` is the start of a statement that needs more lines."""
    try:
        return codeop.compile_command(code, "<prompt>", "single") is None
    except (SyntaxError, ValueError, OverflowError):
        return False  # an error is finished: running it shows the error


class ConsolePrompt(QPlainTextEdit):
    submitted = Signal(str)

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.history: List[str] = []
        self._browse_index: Optional[int] = None  # position in history while walking it
        self._draft = ""
        font = QFontDatabase.systemFont(QFontDatabase.SystemFont.FixedFont)
        font.setPointSize(10)
        self.setFont(font)
        self.setTabChangesFocus(False)
        self.setLineWrapMode(QPlainTextEdit.LineWrapMode.NoWrap)
        self.setPlaceholderText("Python: Enter runs, Shift+Enter adds a line, Up/Down recall")
        self.setStyleSheet("QPlainTextEdit { background: #252526; color: #d4d4d4; "
                           "border: 1px solid #3c3c3c; }")
        self.document().blockCountChanged.connect(self._fit_height)
        self._fit_height()

    def set_history(self, cells: List[str]) -> None:
        self.history = list(cells)[-HISTORY_LIMIT:]
        self._browse_index = None

    def submit(self) -> None:
        code = self.toPlainText().rstrip()
        if not code.strip():
            return
        if not self.history or self.history[-1] != code:
            self.history.append(code)
            del self.history[:-HISTORY_LIMIT]
        self._browse_index = None
        self._draft = ""
        self.clear()
        self.submitted.emit(code)

    # --- keys -----------------------------------------------------------------------------

    def keyPressEvent(self, event: QKeyEvent) -> None:
        key, modifiers = event.key(), event.modifiers()
        if key in (Qt.Key.Key_Return, Qt.Key.Key_Enter):
            if modifiers & Qt.KeyboardModifier.ControlModifier:
                self.submit()
            elif modifiers & Qt.KeyboardModifier.ShiftModifier or (
                    self.textCursor().block().text().strip()
                    and is_unfinished(self.toPlainText())):
                # A blank line ends an unfinished block, as in an interactive interpreter.
                self._new_line()
            else:
                self.submit()
            return
        cursor = self.textCursor()
        if key == Qt.Key.Key_Up and not cursor.hasSelection() and cursor.blockNumber() == 0:
            self._walk(-1)
            return
        if (key == Qt.Key.Key_Down and not cursor.hasSelection()
                and cursor.blockNumber() == self.blockCount() - 1):
            self._walk(+1)
            return
        if key == Qt.Key.Key_Escape:
            self.clear()
            self._browse_index = None
            return
        if key == Qt.Key.Key_Tab and not modifiers:
            self.insertPlainText(INDENT)
            return
        super().keyPressEvent(event)

    def _new_line(self) -> None:
        line = self.textCursor().block().text()
        indent = line[:len(line) - len(line.lstrip())]
        if line.rstrip().endswith(":"):
            indent += INDENT
        self.insertPlainText("\n" + indent)
        self.ensureCursorVisible()

    def _walk(self, step: int) -> None:
        if not self.history:
            return
        if self._browse_index is None:
            if step > 0:
                return
            self._draft = self.toPlainText()
            index = len(self.history) - 1
        else:
            index = self._browse_index + step
        if index < 0:
            return
        if index >= len(self.history):
            self._browse_index = None
            self._show(self._draft, at_end=True)
            return
        self._browse_index = index
        # Walking up lands on the first line, so that Up again goes further back.
        self._show(self.history[index], at_end=step > 0)

    def _show(self, text: str, at_end: bool) -> None:
        self.setPlainText(text)
        cursor = self.textCursor()
        cursor.movePosition(QTextCursor.MoveOperation.End if at_end
                            else QTextCursor.MoveOperation.Start)
        if not at_end:
            cursor.movePosition(QTextCursor.MoveOperation.EndOfLine)
        self.setTextCursor(cursor)

    def _fit_height(self, _count: int = 0) -> None:
        lines = min(max(self.blockCount(), 1), MAX_VISIBLE_LINES)
        margins = self.contentsMargins()
        frame = 2 * self.frameWidth() + margins.top() + margins.bottom()
        self.setFixedHeight(lines * self.fontMetrics().lineSpacing() + frame + 8)
