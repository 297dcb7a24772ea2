"""``MonacoEditor``: the code editor widget of an editor tab.

Stands in for the IDE's web-based editor with a plain Qt text editor. What it promises:

* ``workbook_id`` and ``module_name`` name the module the editor shows (a rename changes
  ``module_name``).
* ``set_debug_line(line)`` marks the (1-based) line where the debugger stopped and scrolls it
  into view; ``clear_debug_line()`` removes the mark. Lines outside the text are ignored.
* Python source is shown in a monospace font with line numbers and light syntax colouring.
* The text is editable. ``is_modified()`` tells whether it differs from the text last marked
  saved (``mark_saved``); the document's ``modificationChanged`` signal follows it.
* Typing Python: Enter keeps the line's indentation (one level more after a colon, one less
  after return, pass, raise, break or continue); Tab and Shift+Tab indent and dedent by four
  spaces; Backspace in the indentation goes back one level.
* The gutter left of the line numbers draws markers: ``set_gutter_markers(kind, {line:
  colour}, shape)`` replaces the markers of one kind (breakpoints as dots, diagnostics as
  findings: a cross for an error, a triangle for a warning, beside the dots), ``{}`` removes
  them. ``gutter()`` is that widget (for clicks on it); ``line_at(y)`` is the line shown at a
  height of it, or 0 below the text.
* ``set_diagnostics(diagnostics)`` shows the language services' findings (lines 1-based,
  columns 0-based in characters) as wavy underlines, red for errors and amber for warnings,
  with a gutter marker on their lines; ``diagnostics_at(position)`` lists those under a
  document position. The underlines move with the text as it is edited.
* ``text_version`` counts the edits of the text; ``assist`` (the window's language client, or
  None) sees every key press first (``key_pressed(editor, event)`` returns True when it took
  the key) and every key the editor handled after (``key_handled(editor, event)``). The
  completion list and the signature and hover tips float over the editor
  (``completion_popup``, ``signature_tip``, ``hover_tip``).
"""

from __future__ import annotations

import keyword
import re
from typing import Any, Dict, List, Optional

from PySide6.QtCore import QPoint, QRect, QSize, Qt
from PySide6.QtGui import (QColor, QFont, QFontDatabase, QKeyEvent, QPainter, QPen, QPolygon,
                           QSyntaxHighlighter, QTextCharFormat, QTextCursor, QTextFormat)
from PySide6.QtWidgets import QPlainTextEdit, QTextEdit, QWidget

from .colors import HINT
from .completion_popup import CompletionPopup
from .editor_tips import TipLabel

__all__ = ["MonacoEditor"]

INDENT = "    "
MARKER_MARGIN = 22  # gutter pixels left of the line numbers, where markers are drawn
# Breakpoints are dots at the margin's left; the language services' findings sit right of
# them, an error as a cross and a warning as a triangle, so the two never look alike.
DOT, FINDING = "dot", "finding"
FINDING_LEFT = 13
_DEDENT_AFTER = re.compile(r"^\s*(?:return|pass|raise|break|continue)\b")
_QUOTED_NAME = re.compile(r"'(\w[\w.]*)'")
_WORD = re.compile(r"\w+")

DEBUG_LINE_COLOR = QColor("#5c4b00")
ERROR_COLOR = "#f14c4c"
WARNING_COLOR = "#cca700"
GUTTER_BACKGROUND = QColor("#252526")
GUTTER_TEXT = QColor(HINT)


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


def utf16_length(text: str) -> int:
    """How many positions `text` takes in a Qt document (characters beyond the BMP take two)."""
    return len(text) if text.isascii() else len(text.encode("utf-16-le")) // 2


class MonacoEditor(QPlainTextEdit):
    """A Python code editor bound to one module of one workbook."""

    def __init__(self, workbook_id: Optional[str] = None, module_name: Optional[str] = None,
                 code: str = "", parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.workbook_id = workbook_id
        self.module_name = module_name
        self.debug_line: Optional[int] = None
        self.gutter_markers: Dict[str, Dict[int, QColor]] = {}
        self._marker_shapes: Dict[str, str] = {}
        self.text_version = 0
        self.assist: Any = None
        # The analysed text's version, and its findings as given, with their underlines.
        self.diagnostics: List[dict] = []
        self.diagnostics_version: Optional[int] = None
        self.diagnostics_error: Optional[str] = None  # why the text could not be analysed
        # Extra selections by layer (the debug line, diagnostics), shown together.
        self._selections: Dict[str, List[QTextEdit.ExtraSelection]] = {}
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
        self.document().contentsChanged.connect(self._count_edit)
        self.setPlainText(code)
        self.document().setModified(False)
        self.completion_popup = CompletionPopup(self)
        self.signature_tip = TipLabel(self)
        self.hover_tip = TipLabel(self)

    # --- saving ---------------------------------------------------------------------------

    def is_modified(self) -> bool:
        return self.document().isModified()

    def mark_saved(self) -> None:
        """The text as it is now is the saved text (the undo history can come back to it)."""
        self.document().setModified(False)

    def cursor_line(self) -> int:
        """The (1-based) line of the text cursor."""
        return self.textCursor().blockNumber() + 1

    def _count_edit(self) -> None:
        self.text_version += 1

    # --- typing ---------------------------------------------------------------------------

    def keyPressEvent(self, event: QKeyEvent) -> None:
        assist = self.assist
        if assist is not None and assist.key_pressed(self, event):
            return
        self._edit_key(event)
        if assist is not None:
            assist.key_handled(self, event)

    def _edit_key(self, event: QKeyEvent) -> None:
        key, modifiers = event.key(), event.modifiers()
        plain = not modifiers & ~Qt.KeyboardModifier.KeypadModifier
        if key in (Qt.Key.Key_Return, Qt.Key.Key_Enter) and plain:
            self._new_line()
        elif key == Qt.Key.Key_Tab and plain and not self.textCursor().hasSelection():
            self.insertPlainText(INDENT)
        elif key == Qt.Key.Key_Backtab or (key == Qt.Key.Key_Tab and plain):
            self._shift_lines(-1 if key == Qt.Key.Key_Backtab else +1)
        elif key == Qt.Key.Key_Backspace and plain and self._in_indentation():
            cursor = self.textCursor()
            column = cursor.positionInBlock()
            cursor.movePosition(QTextCursor.MoveOperation.Left, QTextCursor.MoveMode.KeepAnchor,
                                (column - 1) % len(INDENT) + 1)
            cursor.removeSelectedText()
        else:
            super().keyPressEvent(event)

    def _new_line(self) -> None:
        cursor = self.textCursor()
        before = cursor.block().text()[:cursor.positionInBlock()]
        indent = before[:len(before) - len(before.lstrip())]
        code = before.split("#", 1)[0].rstrip()
        if code.endswith(":"):
            indent += INDENT
        elif _DEDENT_AFTER.match(before):
            indent = indent[:-len(INDENT)] if indent.endswith(INDENT) else ""
        cursor.insertText("\n" + indent)
        self.ensureCursorVisible()

    def _in_indentation(self) -> bool:
        cursor = self.textCursor()
        column = cursor.positionInBlock()
        return (not cursor.hasSelection() and column > 0
                and not cursor.block().text()[:column].strip(" "))

    def _shift_lines(self, step: int) -> None:
        """Indents (step 1) or dedents (step -1) every line the selection touches."""
        cursor = self.textCursor()
        first = self.document().findBlock(cursor.selectionStart())
        last = self.document().findBlock(cursor.selectionEnd())
        edit = QTextCursor(self.document())
        edit.beginEditBlock()
        block = first
        while block.isValid():
            edit.setPosition(block.position())
            if step > 0:
                edit.insertText(INDENT)
            else:
                text = block.text()
                width = min(len(INDENT), len(text) - len(text.lstrip(" ")))
                edit.movePosition(QTextCursor.MoveOperation.Right,
                                  QTextCursor.MoveMode.KeepAnchor, width)
                edit.removeSelectedText()
            if block == last:
                break
            block = block.next()
        edit.endEditBlock()

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
        self._set_selections("debug", [selection])
        self.setTextCursor(QTextCursor(block))
        self.centerCursor()

    def clear_debug_line(self) -> None:
        self.debug_line = None
        self._set_selections("debug", [])

    def _set_selections(self, layer: str, selections: List[QTextEdit.ExtraSelection]) -> None:
        if selections:
            self._selections[layer] = selections
        else:
            self._selections.pop(layer, None)
        self.setExtraSelections([selection for layer_selections in self._selections.values()
                                 for selection in layer_selections])

    # --- diagnostics ----------------------------------------------------------------------

    def set_diagnostics(self, diagnostics: List[dict]) -> None:
        """Underlines each finding of the text as it is now; replaces the earlier ones."""
        shown, selections, lines = [], [], {}
        for diagnostic in diagnostics:
            span = self._span_of(diagnostic)
            if span is None:
                continue
            error = diagnostic.get("severity") == "error"
            color = ERROR_COLOR if error else WARNING_COLOR
            underline = QTextCharFormat()
            underline.setUnderlineStyle(QTextCharFormat.UnderlineStyle.WaveUnderline)
            underline.setUnderlineColor(QColor(color))
            cursor = QTextCursor(self.document())
            cursor.setPosition(span[0])
            cursor.setPosition(span[1], QTextCursor.MoveMode.KeepAnchor)
            selection = QTextEdit.ExtraSelection()
            selection.format, selection.cursor = underline, cursor
            selections.append(selection)
            shown.append(diagnostic)
            line = self.document().findBlock(span[0]).blockNumber() + 1
            if error or line not in lines:
                lines[line] = color
        self.diagnostics = shown
        self._set_selections("diagnostics", selections)
        self.set_gutter_markers("diagnostics", lines, shape=FINDING)

    def diagnostics_at(self, position: int) -> List[dict]:
        """The findings whose underline covers the document position (or ends at it)."""
        return [diagnostic for diagnostic, selection in
                zip(self.diagnostics, self._selections.get("diagnostics", []))
                if selection.cursor.selectionStart() <= position <= selection.cursor.selectionEnd()]

    def _span_of(self, diagnostic: dict) -> Optional[tuple]:
        """The document range of a finding: at least one character, inside the text."""
        try:
            line, column = int(diagnostic["line"]), int(diagnostic.get("column") or 0)
            end_line = int(diagnostic.get("end_line") or line)
            end_column = int(diagnostic.get("end_column") or column + 1)
        except (KeyError, TypeError, ValueError):
            return None
        start = self.position_of(line, column)
        end = self.position_of(end_line, end_column)
        if start is None:
            return None
        end = start if end is None or end < start else end
        if end - start <= 1 and end_line == line:
            start, end = self._name_span(start, str(diagnostic.get("message", ""))) or (start, end)
        if end == start:
            block = self.document().findBlock(start)
            block_end = block.position() + block.length() - 1
            if start < block_end:
                end = start + 1
            elif start > block.position():
                start -= 1  # at the end of a line: mark its last character
        return start, end

    def _name_span(self, start: int, message: str) -> Optional[tuple]:
        """The name a finding marks by one character: the name its message quotes, on the
        line from there on ("'os' imported but unused" marks the "import"), else the word
        there; None when there is neither."""
        text = self.document().findBlock(start).text()
        column = self.column_of(start)[1]
        quoted = _QUOTED_NAME.search(message)
        found = quoted and re.compile(r"(?<![\w.])" + re.escape(quoted.group(1)) + r"(?!\w)"
                                      ).search(text, column)
        found = found or _WORD.match(text, column)
        if not found:
            return None
        begin = start + utf16_length(text[column:found.start()])
        return begin, begin + utf16_length(found.group())

    def position_of(self, line: int, column: int) -> Optional[int]:
        """The document position of a (1-based) line and a (0-based) column counted in
        characters, the column clamped to the line; None for a line outside the text."""
        block = self.document().findBlockByNumber(line - 1)
        if line < 1 or not block.isValid():
            return None
        text = block.text()
        column = max(0, min(column, len(text)))
        return block.position() + utf16_length(text[:column])

    def column_of(self, position: int) -> tuple:
        """The (1-based) line and (0-based, in characters) column of a document position."""
        block = self.document().findBlock(position)
        offset = position - block.position()
        text = block.text()
        if not text.isascii():
            offset = len(text.encode("utf-16-le")[:2 * offset].decode("utf-16-le", "ignore"))
        return block.blockNumber() + 1, offset

    # --- line numbers ---------------------------------------------------------------------

    def set_gutter_markers(self, kind: str, markers: Dict[int, object], shape: str = DOT) -> None:
        """Replaces the gutter markers of `kind`: (1-based) line -> colour, drawn as `shape`
        (``DOT``, or ``FINDING``: a cross in the error colour, else a triangle)."""
        if markers:
            self.gutter_markers[kind] = {int(line): QColor(color)
                                         for line, color in markers.items()}
            self._marker_shapes[kind] = shape
        else:
            self.gutter_markers.pop(kind, None)
        self._gutter.update()

    def gutter(self) -> QWidget:
        return self._gutter

    def line_at(self, y: int) -> int:
        """The (1-based) line shown at height `y` of the gutter, or 0 where no line is."""
        block = self.firstVisibleBlock()
        top = self.blockBoundingGeometry(block).translated(self.contentOffset()).top()
        while block.isValid() and top <= y:
            bottom = top + self.blockBoundingRect(block).height()
            if block.isVisible() and y < bottom:
                return block.blockNumber() + 1
            top = bottom
            block = block.next()
        return 0

    def line_number_width(self) -> int:
        digits = len(str(max(1, self.blockCount())))
        return MARKER_MARGIN + 6 + self.fontMetrics().horizontalAdvance("9") * max(digits, 3)

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

    @staticmethod
    def _draw_marker(painter: QPainter, shape: str, color: QColor, top: int, size: int) -> None:
        if shape == DOT:
            painter.setPen(Qt.PenStyle.NoPen)
            painter.setBrush(color)
            painter.drawEllipse(2, top, size, size)
            return
        left, small = FINDING_LEFT, size - 2
        if color == QColor(ERROR_COLOR):
            painter.setPen(QPen(color, 2))
            painter.drawLine(left, top + 1, left + small, top + 1 + small)
            painter.drawLine(left, top + 1 + small, left + small, top + 1)
        else:
            painter.setPen(Qt.PenStyle.NoPen)
            painter.setBrush(color)
            painter.drawPolygon(QPolygon([QPoint(left + small // 2, top + 1),
                                          QPoint(left + small, top + 1 + small),
                                          QPoint(left, top + 1 + small)]))

    def paint_line_numbers(self, event) -> None:
        painter = QPainter(self._gutter)
        painter.fillRect(event.rect(), GUTTER_BACKGROUND)
        painter.setPen(GUTTER_TEXT)
        block = self.firstVisibleBlock()
        top = round(self.blockBoundingGeometry(block).translated(self.contentOffset()).top())
        height = self.fontMetrics().height()
        # Later kinds draw over earlier ones on the same line.
        markers = [(kind_markers, self._marker_shapes.get(kind, DOT))
                   for kind, kind_markers in self.gutter_markers.items()]
        size = min(FINDING_LEFT - 3, height - 2)
        painter.setRenderHint(QPainter.RenderHint.Antialiasing)
        while block.isValid() and top <= event.rect().bottom():
            if block.isVisible():
                line = block.blockNumber() + 1
                painter.drawText(0, top, self._gutter.width() - 6, height,
                                 Qt.AlignmentFlag.AlignRight, str(line))
                for kind_markers, shape in markers:
                    color = kind_markers.get(line)
                    if color is not None:
                        self._draw_marker(painter, shape, color, top + (height - size) // 2,
                                          size)
                        painter.setPen(GUTTER_TEXT)
                        painter.setBrush(Qt.BrushStyle.NoBrush)
            top += round(self.blockBoundingRect(block).height())
            block = block.next()
        painter.end()
