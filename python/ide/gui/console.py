"""``ConsoleView``: the IDE console, where program output, results and notices appear, with
the prompt where code cells are typed.

What it promises:

* ``append(text, color, level, from_std)`` records an entry in ``entries`` at once and shows it
  on screen when the GUI thread is next idle: a burst of thousands of entries costs one update
  of the text document, not thousands.
* Program output (``from_std``) is a stream: it is shown as written, line breaks and all. Every
  other entry is a line of its own.
* ``color`` is a hex colour such as ``"#ff6b6b"`` or None for the default text colour.
* ``DETAILED`` entries are hidden while the verbosity is ``SIMPLE``; changing it redraws.
* The console keeps at most ``max_lines`` lines of text (``DEFAULT_MAX_LINES`` unless set) and
  as many entries; the oldest go first, so memory stays bounded however much a program prints.
* A line longer than ``MAX_LINE_CHARS`` characters is cut there: the rest of it, up to the next
  line feed, is dropped and the line ends with ``LINE_CUT_MARKER``. Entries hold the cut text,
  so one enormous write costs the time of reading it once, not of laying it out.
* ``shown`` is emitted after each screen update with the number of entries recorded so far.
* Under the text, ``prompt`` (a ``ConsolePrompt``) takes code cells; ``cell_submitted`` carries
  the workbook picked in the "Run in" box and the cell's text.
* Ctrl+C in the text or the prompt copies the selection; without one, it triggers
  ``interrupt_action`` (when set and enabled) instead.
* ``append_echo(text)`` shows a cell's echo; ``cell_ending(echo)`` (the entry it returned)
  says that the next entry may be that cell's end: when it is the plain success line,
  "Execution completed successfully", it is kept among the entries as written but drawn as a
  green mark at the end of the echo, not as a line of its own. Failures stay lines.
* A failure line whose traceback the program's output has just shown ("Execution failed for
  f(): Traceback ...") is drawn with the traceback's last line only: each error is shown once.
* A notice (not program output) that repeats the one on the console's last line is not drawn
  again: that line counts the repeats, "Disconnected from Quorvel Server (×3)". Entries keep
  each one.
* ``set_running(True)`` shows that a cell sent from the prompt is still running: the prompt's
  sign turns amber, and "running" with an Interrupt button (``interrupt_action``) appear beside
  the prompt until ``set_running(False)``. The prompt stays usable: the next cell queues.
"""

from __future__ import annotations

import collections
from typing import Deque, Dict, Iterable, List, NamedTuple, Optional, Tuple

from PySide6.QtCore import QEvent, QObject, QTimer, Signal
from PySide6.QtGui import (QAction, QColor, QFontDatabase, QKeyEvent, QKeySequence,
                           QTextCharFormat, QTextCursor)
from PySide6.QtWidgets import (QComboBox, QHBoxLayout, QLabel, QPlainTextEdit, QPushButton,
                               QToolButton, QVBoxLayout, QWidget)

from .colors import NOTICE, SUCCESS
from .console_prompt import ConsolePrompt
from .output_level import OutputLevel
from .workbook_box import WorkbookBox

__all__ = ["ConsoleEntry", "ConsoleView", "DEFAULT_MAX_LINES", "LINE_CUT_MARKER",
           "MAX_LINE_CHARS", "clip_long_lines"]

DEFAULT_MAX_LINES = 10_000
MAX_LINE_CHARS = 10_000
LINE_CUT_MARKER = f" [... line cut at {MAX_LINE_CHARS:,} characters]"
DEFAULT_TEXT_COLOR = "#d4d4d4"
# A plain cell's success line, as the connection client writes it, and how it is drawn once
# the cell's echo is known: a mark at the end of the echo rather than a line of its own.
CELL_SUCCESS = "Execution completed successfully"
DONE_MARK, DONE_COLOR = "  ✓", SUCCESS
# A run's failure whose traceback its output has just shown is drawn with the traceback's
# last line only (the traceback is not shown twice); the output looked back at is this long.
FAILED, TRACEBACK = "Execution failed", "Traceback (most recent call last):"
RECENT_OUTPUT_CHARS = 100_000
RUNNING_COLOR = NOTICE


def clip_long_lines(text: str, column: int, limit: int = MAX_LINE_CHARS) -> Tuple[str, int]:
    """`text` with every line cut at `limit` characters, given that the line it starts on
    already holds `column` characters; also the column where the result leaves off.

    A column past `limit` means the current line was cut already: its marker is in place and
    the rest of it is dropped until the next line feed.
    """
    if column + len(text) <= limit:  # the common case: no line can be too long
        last_break = text.rfind("\n")
        return text, (column + len(text) if last_break < 0 else len(text) - last_break - 1)
    pieces = []
    start = 0
    while start < len(text):
        end = text.find("\n", start)
        stop = len(text) if end < 0 else end
        room = limit - column
        if column > limit:
            pass  # this line was cut before: drop the rest of it
        elif stop - start <= room:
            pieces.append(text[start:stop])
            column += stop - start
        else:
            pieces.append(text[start:start + room] + LINE_CUT_MARKER)
            column = limit + 1
        if end < 0:
            break
        pieces.append("\n")
        column = 0
        start = end + 1
    return "".join(pieces), column


class ConsoleEntry(NamedTuple):
    text: str
    color: Optional[str]
    level: OutputLevel
    from_std: bool


def _told_traceback(text: str, output: str) -> Optional[str]:
    """The failure line `text` with only its traceback's last line, when `output` holds that
    traceback already; else None."""
    head, separator, error = text.partition(": ")
    error = error.strip()
    if not separator or not error.startswith(TRACEBACK) or error not in output:
        return None
    return f"{head}: {error.splitlines()[-1].strip()}"


def _lines_of(entry: ConsoleEntry) -> int:
    """Lines an entry takes on screen (a piece of a stream line counts as one)."""
    return max(1, entry.text.count("\n"))


class ConsoleView(QWidget):
    """The console panel: a header with its settings and a read-only text view."""

    shown = Signal(int)
    cleared = Signal()
    # The source filter the user picked: "all" or "ide_only".
    source_filter_changed = Signal(str)

    # The workbook picked in the "Run in" box (or None) and the cell typed in the prompt.
    cell_submitted = Signal(object, str)

    def __init__(self, parent: Optional[QWidget] = None,
                 max_lines: int = DEFAULT_MAX_LINES) -> None:
        super().__init__(parent)
        self.max_lines = max(1, int(max_lines))
        self.entries: Deque[ConsoleEntry] = collections.deque()
        self._entry_lines = 0  # lines held by `entries`, kept at most max_lines
        self.entry_count = 0  # every entry ever appended, including those dropped since
        self.verbosity = OutputLevel.DETAILED
        self._pending: List[ConsoleEntry] = []
        self._at_line_start = True
        self._column = 0  # characters on the last line of the entries, for cutting long lines
        self._formats: Dict[Optional[str], QTextCharFormat] = {}
        # Cells' echoes whose end is expected, the success entries drawn as marks on them,
        # and where each echo ends in the document (a cursor moves with the text).
        self._echoes: Dict[int, ConsoleEntry] = {}
        self._ending: Optional[ConsoleEntry] = None
        self._marks: Dict[int, Tuple[ConsoleEntry, ConsoleEntry]] = {}  # success: (it, echo)
        self._echo_ends: Dict[int, QTextCursor] = {}
        # The latest program output, to know a traceback printed already; and how entries whose
        # traceback is there are drawn (by entry id).
        self._recent_output = ""
        self._shown_as: Dict[int, str] = {}
        # The notice on the console's last line, and how many times in a row it came.
        self._last_notice: Optional[ConsoleEntry] = None
        self._repeats = 1

        self.view = QPlainTextEdit(self)
        self.view.setReadOnly(True)
        # One block more than lines: the empty block after the last line feed.
        self.view.setMaximumBlockCount(self.max_lines + 1)
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

        self.workbook_box = WorkbookBox(self)
        self.workbook_box.setToolTip("The workbook whose kernel runs the cells typed below")
        self.workbook_box.setMinimumContentsLength(14)
        self.prompt = ConsolePrompt(self)
        self.prompt.submitted.connect(
            lambda code: self.cell_submitted.emit(self.current_workbook(), code))
        self.interrupt_action: Optional[QAction] = None
        self.view.installEventFilter(self)
        self.prompt.installEventFilter(self)

        header = QHBoxLayout()
        header.setContentsMargins(6, 2, 6, 2)
        title = QLabel("Console", self)
        title.setStyleSheet("font-weight: bold;")
        header.addWidget(title)
        header.addStretch(1)
        run_in = QLabel("Run in:", self)
        run_in.setBuddy(self.workbook_box)
        header.addWidget(run_in)
        header.addWidget(self.workbook_box)
        header.addWidget(self._source_box)
        header.addWidget(self._verbosity_box)
        header.addWidget(clear_button)
        prompt_row = QHBoxLayout()
        prompt_row.setContentsMargins(6, 2, 6, 4)
        self.prompt_sign = QLabel(">>>", self)
        prompt_row.addWidget(self.prompt_sign)
        prompt_row.addWidget(self.prompt)
        # While the last cell of the prompt's workbook runs: a note, and Interrupt beside it.
        self.running_label = QLabel("running", self)
        self.running_label.setStyleSheet(f"color: {RUNNING_COLOR};")
        self.interrupt_button = QToolButton(self)
        prompt_row.addWidget(self.running_label)
        prompt_row.addWidget(self.interrupt_button)
        self.set_running(False)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(0, 0, 0, 0)
        layout.setSpacing(0)
        layout.addLayout(header)
        layout.addWidget(self.view)
        layout.addLayout(prompt_row)

        self._flush_timer = QTimer(self)
        self._flush_timer.setSingleShot(True)
        self._flush_timer.setInterval(0)
        self._flush_timer.timeout.connect(self.flush)

    # --- entries --------------------------------------------------------------------------

    def append(self, text: object, color: Optional[str] = None,
               level: OutputLevel = OutputLevel.SIMPLE,
               from_std: bool = False) -> "ConsoleEntry":
        text = str(text)
        if from_std:
            text, self._column = clip_long_lines(text, self._column)
        else:
            # A line of its own: it starts at the left and leaves the next entry there too.
            text, _ = clip_long_lines(text, 0)
            self._column = 0
        entry = ConsoleEntry(text, color or None, OutputLevel(level), bool(from_std))
        echo, self._ending = self._ending, None
        if echo is not None and text == CELL_SUCCESS and not from_std:
            self._marks[id(entry)] = (entry, echo)
        if from_std:
            self._recent_output = (self._recent_output + text)[-RECENT_OUTPUT_CHARS:]
        elif text.startswith(FAILED) and TRACEBACK in text:
            short = _told_traceback(text, self._recent_output)
            if short is not None:
                self._shown_as[id(entry)] = short
        self.entries.append(entry)
        self._entry_lines += _lines_of(entry)
        while self._entry_lines > self.max_lines and len(self.entries) > 1:
            self._entry_lines -= _lines_of(self._forget(self.entries.popleft()))
        self.entry_count += 1
        self._pending.append(entry)
        if not self._flush_timer.isActive():
            self._flush_timer.start()
        return entry

    def append_echo(self, text: str, color: str) -> "ConsoleEntry":
        """A cell's echo, which its success will mark."""
        entry = self.append(text, color)
        self._echoes[id(entry)] = entry
        return entry

    def cell_ending(self, echo: "ConsoleEntry") -> None:
        """The next entry may end the cell whose echo is `echo`."""
        self._ending = echo if id(echo) in self._echoes else None

    def _forget(self, entry: "ConsoleEntry") -> "ConsoleEntry":
        self._echoes.pop(id(entry), None)
        self._marks.pop(id(entry), None)
        self._shown_as.pop(id(entry), None)
        self._echo_ends.pop(id(entry), None)
        return entry

    def texts(self) -> List[str]:
        return [entry.text for entry in self.entries]

    def plain_text(self) -> str:
        """What the console shows, as text."""
        self.flush()
        return self.view.toPlainText()

    def clear(self) -> None:
        self.entries.clear()
        self._echoes.clear()
        self._marks.clear()
        self._shown_as.clear()
        self._echo_ends.clear()
        self._last_notice = None
        self._recent_output = ""
        self._entry_lines = 0
        self._pending.clear()
        self.view.clear()
        self._at_line_start = True
        self._column = 0
        self.cleared.emit()

    def set_max_lines(self, max_lines: int) -> None:
        """Keeps at most `max_lines` lines from now on (the oldest beyond that go at once)."""
        self.flush()
        self.max_lines = max(1, int(max_lines))
        while self._entry_lines > self.max_lines and len(self.entries) > 1:
            self._entry_lines -= _lines_of(self.entries.popleft())
        self.view.setMaximumBlockCount(self.max_lines + 1)

    def eventFilter(self, watched: QObject, event: QEvent) -> bool:
        # Ctrl+C with nothing selected interrupts what runs; with a selection it copies.
        action = self.interrupt_action
        if (event.type() == QEvent.Type.KeyPress and watched in (self.view, self.prompt)
                and isinstance(event, QKeyEvent)
                and event.matches(QKeySequence.StandardKey.Copy)
                and not watched.textCursor().hasSelection()
                and action is not None and action.isEnabled()):
            action.trigger()
            return True
        return super().eventFilter(watched, event)

    # --- the "Run in" box -----------------------------------------------------------------

    def set_running(self, running: bool) -> None:
        self.running = running
        self.prompt_sign.setStyleSheet(
            f"color: {RUNNING_COLOR if running else '#858585'}; font-family: monospace;")
        self.prompt_sign.setToolTip("The last cell is still running" if running else "")
        self.running_label.setVisible(running)
        if self.interrupt_action is not None and self.interrupt_button.defaultAction() is None:
            self.interrupt_button.setDefaultAction(self.interrupt_action)
        self.interrupt_button.setVisible(running and self.interrupt_action is not None)

    def set_workbooks(self, workbooks: Iterable[Tuple[str, str]]) -> None:
        """Offers these (id, display name) workbooks; the picked one stays picked if listed."""
        self.workbook_box.set_workbooks(workbooks)

    def select_workbook(self, workbook_id: Optional[str]) -> None:
        self.workbook_box.select(workbook_id)

    def current_workbook(self) -> Optional[str]:
        return self.workbook_box.current()

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
        self._draw(self._last_lines(pending))
        self.shown.emit(self.entry_count)

    def _last_lines(self, entries: List[ConsoleEntry]) -> List[ConsoleEntry]:
        """The shown entries that end the list and hold the last max_lines lines: a flood
        that arrived between two updates is laid out once for what stays on screen, not for
        every line the document would drop again at once."""
        lines, start = 0, len(entries)
        while start > 0 and lines <= self.max_lines:
            start -= 1
            if entries[start].level <= self.verbosity:
                lines += _lines_of(entries[start])
        if start > 0:
            self._at_line_start = True  # what went before is scrolled out anyway
        return entries[start:]

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
            marked = self._marks.get(id(entry))
            if marked is not None:  # drawn on its echo, when that is on screen
                echo_end = self._echo_ends.get(id(marked[1]))
                if echo_end is not None and not echo_end.atStart():  # else scrolled out
                    if run:
                        cursor.insertText("".join(run), self._format(run_color))
                        run = []
                    echo_end.insertText(DONE_MARK, self._format(DONE_COLOR))
                continue
            if id(entry) in self._echoes:
                if run:
                    cursor.insertText("".join(run), self._format(run_color))
                    run = []
                if not self._at_line_start:
                    cursor.insertText("\n", self._format(None))
                cursor.insertText(entry.text.rstrip("\n") + "\n", self._format(entry.color))
                echo_end = QTextCursor(cursor)  # where the echo's last line ends
                echo_end.movePosition(QTextCursor.MoveOperation.PreviousCharacter)
                self._echo_ends[id(entry)] = echo_end
                self._last_notice = None
                self._at_line_start = True
                run_color = entry.color
                continue
            if not entry.from_std and self._repeating(entry):
                if run:
                    cursor.insertText("".join(run), self._format(run_color))
                    run = []
                self._repeats += 1
                line = QTextCursor(self.view.document().lastBlock().previous())
                line.movePosition(QTextCursor.MoveOperation.EndOfBlock,
                                  QTextCursor.MoveMode.KeepAnchor)
                line.insertText(f"{entry.text} (×{self._repeats})", self._format(entry.color))
                continue
            self._last_notice = None if entry.from_std else entry
            self._repeats = 1
            text = entry.text if entry.from_std else \
                self._shown_as.get(id(entry), entry.text).rstrip("\n") + "\n"
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

    def _repeating(self, entry: "ConsoleEntry") -> bool:
        """Whether the entry repeats the notice drawn last, on the console's last line."""
        last = self._last_notice
        return (last is not None and last.text == entry.text and last.color == entry.color
                and "\n" not in entry.text and self._at_line_start)

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
        self._echo_ends.clear()
        self._last_notice = None
        self.view.clear()
        self._at_line_start = True
        self._draw(list(self.entries))
