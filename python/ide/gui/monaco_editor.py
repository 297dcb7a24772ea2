"""``MonacoEditor``: the code editor widget of an editor tab.

Stands in for the IDE's web-based editor with a plain Qt text editor. What it promises:

* ``workbook_id`` and ``module_name`` name the module the editor shows.
* ``set_debug_line(line)`` marks the (1-based) line where the debugger stopped and scrolls it
  into view; ``clear_debug_line()`` removes the mark. Lines outside the text are ignored.
* Python source is shown in a monospace font with line numbers and light syntax colouring.
"""

from __future__ import annotations

import keyword
import re
from typing import Optional

from PySide6.QtCore import QRect, QSize, Qt
from PySide6.QtGui import (QColor, QFont, QFontDatabase, QPainter, QSyntaxHighlighter,
                           QTextCharFormat, QTextCursor, QTextFormat)
from PySide6.QtWidgets import QPlainTextEdit, QTextEdit, QWidget

__all__ = ["MonacoEditor"]

DEBUG_LINE_COLOR = QColor("#5c4b00")
GUTTER_BACKGROUND = QColor("#252526")
GUTTER_TEXT = QColor("#858585")


def _format(color: str, bold: bool = False, italic: bool = False) -> QTextCharFormat:
    fmt = QTextCharFormat()
    fmt.setForeground(QColor(color))
    if bold:
        fmt.setFontWeight(QFont.Weight.Bold)
    fmt.setFontItalic(italic)
    return fmt


class _PythonHighlighter(QSyntaxHighlighter):
    """Keywords, strings, numbers and comments; one line at a time (no multi-line strings)."""

    RULES = [
        (re.compile(r"\b(?:%s)\b" % "|".join(keyword.kwlist)), _format("#569cd6", bold=True)),
        (re.compile(r"\b(?:self|None|True|False)\b"), _format("#569cd6")),
        (re.compile(r"\b[0-9]+(?:\.[0-9]+)?\b"), _format("#b5cea8")),
        (re.compile(r"\bdef\s+(\w+)|\bclass\s+(\w+)"), _format("#dcdcaa")),
        (re.compile(r"(?:'[^'\\\n]*(?:\\.[^'\\\n]*)*'|\"[^\"\\\n]*(?:\\.[^\"\\\n]*)*\")"),
         _format("#ce9178")),
        (re.compile(r"#[^\n]*"), _format("#6a9955", italic=True)),
    ]

    def highlightBlock(self, text: str) -> None:
        for pattern, fmt in self.RULES:
            for match in pattern.finditer(text):
                group = next((g for g in range(1, (pattern.groups or 0) + 1) if match.group(g)), 0)
                start, end = match.span(group)
                self.setFormat(start, end - start, fmt)


class _LineNumberArea(QWidget):
    def __init__(self, editor: "MonacoEditor") -> None:
        super().__init__(editor)
        self._editor = editor

    def sizeHint(self) -> QSize:
        return QSize(self._editor.line_number_width(), 0)

    def paintEvent(self, event) -> None:
        self._editor.paint_line_numbers(event)


class MonacoEditor(QPlainTextEdit):
    """A Python code editor bound to one module of one workbook."""

    def __init__(self, workbook_id: Optional[str] = None, module_name: Optional[str] = None,
                 code: str = "", parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.workbook_id = workbook_id
        self.module_name = module_name
        self.debug_line: Optional[int] = None
        font = QFontDatabase.systemFont(QFontDatabase.SystemFont.FixedFont)
        font.setPointSize(10)
        self.setFont(font)
        self.setLineWrapMode(QPlainTextEdit.LineWrapMode.NoWrap)
        self.setTabStopDistance(4 * self.fontMetrics().horizontalAdvance(" "))
        self.setStyleSheet("QPlainTextEdit { background: #1e1e1e; color: #d4d4d4; border: none; }")
        self._highlighter = _PythonHighlighter(self.document())
        self._gutter = _LineNumberArea(self)
        self.blockCountChanged.connect(self._update_gutter_width)
        self.updateRequest.connect(self._update_gutter)
        self._update_gutter_width()
        self.setPlainText(code)

    # --- debugging ------------------------------------------------------------------------

    def set_debug_line(self, line: int) -> None:
        """Marks `line` (1-based) as the line where execution is paused and shows it."""
        block = self.document().findBlockByNumber(int(line) - 1)
        if not block.isValid():
            return
        self.debug_line = int(line)
        selection = QTextEdit.ExtraSelection()
        selection.format.setBackground(DEBUG_LINE_COLOR)
        selection.format.setProperty(QTextFormat.Property.FullWidthSelection, True)
        selection.cursor = QTextCursor(block)
        self.setExtraSelections([selection])
        self.setTextCursor(QTextCursor(block))
        self.centerCursor()

    def clear_debug_line(self) -> None:
        self.debug_line = None
        self.setExtraSelections([])

    # --- line numbers ---------------------------------------------------------------------

    def line_number_width(self) -> int:
        digits = len(str(max(1, self.blockCount())))
        return 12 + self.fontMetrics().horizontalAdvance("9") * max(digits, 3)

    def _update_gutter_width(self, _count: int = 0) -> None:
        self.setViewportMargins(self.line_number_width(), 0, 0, 0)

    def _update_gutter(self, rect: QRect, dy: int) -> None:
        if dy:
            self._gutter.scroll(0, dy)
        else:
            self._gutter.update(0, rect.y(), self._gutter.width(), rect.height())

    def resizeEvent(self, event) -> None:
        super().resizeEvent(event)
        area = self.contentsRect()
        self._gutter.setGeometry(QRect(area.left(), area.top(), self.line_number_width(),
                                       area.height()))

    def paint_line_numbers(self, event) -> None:
        painter = QPainter(self._gutter)
        painter.fillRect(event.rect(), GUTTER_BACKGROUND)
        painter.setPen(GUTTER_TEXT)
        block = self.firstVisibleBlock()
        top = round(self.blockBoundingGeometry(block).translated(self.contentOffset()).top())
        height = self.fontMetrics().height()
        while block.isValid() and top <= event.rect().bottom():
            if block.isVisible():
                painter.drawText(0, top, self._gutter.width() - 6, height,
                                 Qt.AlignmentFlag.AlignRight, str(block.blockNumber() + 1))
            top += round(self.blockBoundingRect(block).height())
            block = block.next()
        painter.end()
