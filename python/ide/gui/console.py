"""``ConsoleView``: the IDE console, where program output, results and notices appear.

What it promises:

* ``append(text, color, level, from_std)`` records an entry in ``entries`` at once and shows it
  on screen when the GUI thread is next idle: a burst of thousands of entries costs one update
  of the text document, not thousands.
* Program output (``from_std``) is a stream: it is shown as written, line breaks and all. Every
  other entry is a line of its own.
* ``color`` is a hex colour such as ``"#ff6b6b"`` or None for the default text colour.
* ``DETAILED`` entries are hidden while the verbosity is ``SIMPLE``; changing it redraws.
* The console keeps at most ``MAX_ENTRIES`` entries and ``MAX_ENTRIES`` lines of text; the
  oldest go first.
* ``shown`` is emitted after each screen update with the number of entries recorded so far.
"""

from __future__ import annotations

import collections
from typing import Deque, Dict, List, NamedTuple, Optional

from PySide6.QtCore import QTimer, Signal
from PySide6.QtGui import QColor, QFontDatabase, QTextCharFormat, QTextCursor
from PySide6.QtWidgets import (QComboBox, QHBoxLayout, QLabel, QPlainTextEdit, QPushButton,
                               QVBoxLayout, QWidget)

from .output_level import OutputLevel

__all__ = ["ConsoleEntry", "ConsoleView", "MAX_ENTRIES"]

MAX_ENTRIES = 20000
DEFAULT_TEXT_COLOR = "#d4d4d4"


class ConsoleEntry(NamedTuple):
    text: str
    color: Optional[str]
    level: OutputLevel
    from_std: bool


class ConsoleView(QWidget):
    """The console panel: a header with its settings and a read-only text view."""

    shown = Signal(int)
    cleared = Signal()
    # The source filter the user picked: "all" or "ide_only".
    source_filter_changed = Signal(str)

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.entries: Deque[ConsoleEntry] = collections.deque(maxlen=MAX_ENTRIES)
        self.entry_count = 0  # every entry ever appended, including those dropped since
        self.verbosity = OutputLevel.DETAILED
        self._pending: List[ConsoleEntry] = []
        self._at_line_start = True
        self._formats: Dict[Optional[str], QTextCharFormat] = {}

        self.view = QPlainTextEdit(self)
        self.view.setReadOnly(True)
        self.view.setMaximumBlockCount(MAX_ENTRIES)
        self.view.setUndoRedoEnabled(False)
        font = QFontDatabase.systemFont(QFontDatabase.SystemFont.FixedFont)
        font.setPointSize(10)
        self.view.setFont(font)
        self.view.setStyleSheet(
            f"QPlainTextEdit {{ background: #1e1e1e; color: {DEFAULT_TEXT_COLOR}; border: none; }}")

        self._verbosity_box = QComboBox(self)
        self._verbosity_box.addItem("Detailed output", OutputLevel.DETAILED)
        self._verbosity_box.addItem("Simple output", OutputLevel.SIMPLE)
        self._verbosity_box.currentIndexChanged.connect(self._on_verbosity_picked)
        self._source_box = QComboBox(self)
        self._source_box.addItem("All sources", "all")
        self._source_box.addItem("IDE runs only", "ide_only")
        self._source_box.currentIndexChanged.connect(
            lambda _i: self.source_filter_changed.emit(self._source_box.currentData()))
        clear_button = QPushButton("Clear", self)
        clear_button.clicked.connect(self.clear)

        header = QHBoxLayout()
        header.setContentsMargins(6, 2, 6, 2)
        title = QLabel("Console", self)
        title.setStyleSheet("font-weight: bold;")
        header.addWidget(title)
        header.addStretch(1)
        header.addWidget(self._source_box)
        header.addWidget(self._verbosity_box)
        header.addWidget(clear_button)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(0, 0, 0, 0)
        layout.setSpacing(0)
        layout.addLayout(header)
        layout.addWidget(self.view)

        self._flush_timer = QTimer(self)
        self._flush_timer.setSingleShot(True)
        self._flush_timer.setInterval(0)
        self._flush_timer.timeout.connect(self.flush)

    # --- entries --------------------------------------------------------------------------

    def append(self, text: object, color: Optional[str] = None,
               level: OutputLevel = OutputLevel.SIMPLE, from_std: bool = False) -> None:
        entry = ConsoleEntry(str(text), color or None, OutputLevel(level), bool(from_std))
        self.entries.append(entry)
        self.entry_count += 1
        self._pending.append(entry)
        if not self._flush_timer.isActive():
            self._flush_timer.start()

    def texts(self) -> List[str]:
        return [entry.text for entry in self.entries]

    def plain_text(self) -> str:
        """What the console shows, as text."""
        self.flush()
        return self.view.toPlainText()

    def clear(self) -> None:
        self.entries.clear()
        self._pending.clear()
        self.view.clear()
        self._at_line_start = True
        self.cleared.emit()

    def set_verbosity(self, level: OutputLevel) -> None:
        self._verbosity_box.setCurrentIndex(self._verbosity_box.findData(OutputLevel(level)))

    def set_source_filter(self, value: str) -> None:
        self._source_box.setCurrentIndex(max(0, self._source_box.findData(value)))

    # --- drawing --------------------------------------------------------------------------

    def flush(self) -> None:
        """Shows the entries appended since the last update, in one edit of the document."""
        if not self._pending:
            return
        pending, self._pending = self._pending, []
        self._draw(pending)
        self.shown.emit(self.entry_count)

    def _draw(self, entries: List[ConsoleEntry]) -> None:
        cursor = QTextCursor(self.view.document())
        cursor.movePosition(QTextCursor.MoveOperation.End)
        cursor.beginEditBlock()
        # Consecutive pieces of one colour go in as one insertion.
        run: List[str] = []
        run_color: Optional[str] = None
        for entry in entries:
            if entry.level > self.verbosity:
                continue
            text = entry.text if entry.from_std else entry.text.rstrip("\n") + "\n"
            if not entry.from_std and not self._at_line_start:
                text = "\n" + text
            if entry.color != run_color and run:
                cursor.insertText("".join(run), self._format(run_color))
                run = []
            run_color = entry.color
            run.append(text)
            self._at_line_start = text.endswith("\n")
        if run:
            cursor.insertText("".join(run), self._format(run_color))
        cursor.endEditBlock()
        bar = self.view.verticalScrollBar()
        bar.setValue(bar.maximum())

    def _format(self, color: Optional[str]) -> QTextCharFormat:
        fmt = self._formats.get(color)
        if fmt is None:
            fmt = QTextCharFormat()
            fmt.setForeground(QColor(color or DEFAULT_TEXT_COLOR))
            self._formats[color] = fmt
        return fmt

    def _on_verbosity_picked(self, _index: int) -> None:
        self.verbosity = OutputLevel(self._verbosity_box.currentData())
        self._pending.clear()
        self.view.clear()
        self._at_line_start = True
        self._draw(list(self.entries))
