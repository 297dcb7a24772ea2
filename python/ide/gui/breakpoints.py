"""Breakpoints of the IDE: which lines of which module stop a debug run, and the editor gutter
that sets them.

What it promises:

* ``BreakpointStore`` keeps each module's breakpoints (line -> condition, or None) whether its
  tab is open or not, and gives a workbook's as the records a debug run sends:
  ``{"module_name", "line"}`` with ``"condition"`` when there is one. ``changed`` is emitted
  with the workbook id when a person adds, removes or edits one (not when lines only shift).
* ``BreakpointGutter`` makes an editor's gutter toggle a breakpoint on a click (a red dot;
  orange when it has a condition) and offers the condition in its context menu. As text is
  typed the breakpoints move with the lines they were set on; a breakpoint whose line is
  removed goes with it. A text replaced as a whole (the workbook's code loaded into the tab)
  keeps the line numbers, less those beyond its end.
* ``shift_breakpoints`` is that rule without Qt.
* ``BreakpointKeeper`` keeps each workbook's breakpoints in its file through the hub: they are
  sent whenever a person changes one and whenever a module of the workbook is saved (the lines
  they moved to as text was typed are then the saved text's); the first time the window sees a
  workbook, its file's breakpoints are shown.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Set, Tuple

import shiboken6
from PySide6.QtCore import QEvent, QObject, QPoint, Qt, QTimer, Signal
from PySide6.QtGui import QContextMenuEvent, QMouseEvent
from PySide6.QtWidgets import QMenu

from .dialogs import NameDialog
from .monaco_editor import MonacoEditor

__all__ = ["BREAKPOINT_COLOR", "CONDITIONAL_COLOR", "BreakpointGutter", "BreakpointKeeper",
           "BreakpointStore", "condition_problem", "shift_breakpoints"]

BREAKPOINT_COLOR = "#e51400"
CONDITIONAL_COLOR = "#ff8c00"
MARKER_KIND = "breakpoints"

Lines = Dict[int, Optional[str]]  # (1-based) line -> condition, or None to always stop
_Key = Tuple[Optional[str], Optional[str]]  # workbook id, module name


def shift_breakpoints(lines: Lines, line: int, at_line_start: bool, delta: int) -> Lines:
    """The breakpoints after an edit at `line` (1-based, where the change starts; at its first
    column when `at_line_start`) that added (`delta` > 0) or removed (< 0) lines.

    Lines inserted at the start of a line push that line down with the rest; inserted inside
    it, only the lines below move. Removed from the start of a line, the lines removed lose
    their breakpoints and the line whose rest now starts there brings its own; removed inside a
    line, the lines joined to it lose theirs.
    """
    if delta == 0:
        return dict(lines)
    shifted: Lines = {}
    if delta > 0:
        first_moving = line if at_line_start else line + 1
        for at, condition in lines.items():
            shifted[at + delta if at >= first_moving else at] = condition
        return shifted
    removed = -delta
    first_gone = line if at_line_start else line + 1
    for at, condition in lines.items():
        if at < first_gone:
            shifted[at] = condition
        elif at >= first_gone + removed:
            shifted[at - removed] = condition
    return shifted


def condition_problem(text: str) -> Optional[str]:
    """Why `text` cannot be a breakpoint's condition, or None (empty means no condition)."""
    if not text:
        return None
    try:
        compile(text, "<condition>", "eval")
    except SyntaxError as error:
        return f"Not a Python expression: {error.msg}."
    except ValueError as error:
        return f"Not a Python expression: {error}."
    return None


class BreakpointStore(QObject):
    changed = Signal(str)  # workbook id: a breakpoint was added, removed or edited
    loaded = Signal(str)  # workbook id: its breakpoints were read from its file

    def __init__(self, parent: Optional[QObject] = None) -> None:
        super().__init__(parent)
        self._lines: Dict[_Key, Lines] = {}

    def lines(self, workbook_id: Optional[str], module_name: Optional[str]) -> Lines:
        return dict(self._lines.get((workbook_id, module_name), {}))

    def set_lines(self, workbook_id: Optional[str], module_name: Optional[str], lines: Lines,
                  announce: bool = True) -> None:
        key = (workbook_id, module_name)
        if lines:
            self._lines[key] = dict(lines)
        else:
            self._lines.pop(key, None)
        if announce and workbook_id:
            self.changed.emit(workbook_id)

    def toggle(self, workbook_id: Optional[str], module_name: Optional[str], line: int) -> bool:
        """Adds or removes the breakpoint on `line`; True when there is one now."""
        lines = self.lines(workbook_id, module_name)
        added = line not in lines
        if added:
            lines[line] = None
        else:
            del lines[line]
        self.set_lines(workbook_id, module_name, lines)
        return added

    def rename(self, workbook_id: str, old: str, new: str) -> None:
        lines = self._lines.pop((workbook_id, old), None)
        if lines:
            self._lines[(workbook_id, new)] = lines
            self.changed.emit(workbook_id)

    def forget(self, workbook_id: str, module_name: str) -> None:
        if self._lines.pop((workbook_id, module_name), None):
            self.changed.emit(workbook_id)

    def load(self, workbook_id: str, records: List[Any]) -> None:
        """Takes the workbook's breakpoints from records as ``records`` gives them (ones that
        are not such records are passed over)."""
        for key in [key for key in self._lines if key[0] == workbook_id]:
            del self._lines[key]
        for record in records:
            if not isinstance(record, dict):
                continue
            module, line, condition = (record.get("module_name"), record.get("line"),
                                       record.get("condition"))
            if isinstance(module, str) and isinstance(line, int) and line > 0 and \
                    not isinstance(line, bool):
                self._lines.setdefault((workbook_id, module), {})[line] = \
                    condition if isinstance(condition, str) and condition else None
        self.loaded.emit(workbook_id)

    def records(self, workbook_id: Optional[str]) -> List[Dict[str, Any]]:
        """The workbook's breakpoints as a debug run sends them, by module and line."""
        records = []
        for (book, module), lines in sorted(self._lines.items(), key=lambda item: str(item[0])):
            if book != workbook_id:
                continue
            for line in sorted(lines):
                record: Dict[str, Any] = {"module_name": module, "line": line}
                if lines[line]:
                    record["condition"] = lines[line]
                records.append(record)
        return records


class BreakpointGutter(QObject):
    """Breakpoints in one editor's gutter, kept in the store under the editor's module."""

    def __init__(self, editor: MonacoEditor, store: BreakpointStore) -> None:
        super().__init__(editor)
        self.editor = editor
        self.store = store
        self.menu: Optional[QMenu] = None
        self.dialog: Optional[NameDialog] = None
        document = editor.document()
        self._blocks = document.blockCount()
        self._chars = document.characterCount()
        # Lines of a text removed as a whole, until its replacement arrives in the same turn.
        self._held: Optional[Lines] = None
        document.contentsChange.connect(self._text_changed)
        editor.gutter().installEventFilter(self)
        store.changed.connect(self._store_changed)
        store.loaded.connect(self._store_changed)
        self._keep(self._clipped(self.lines()))  # the module may have become shorter meanwhile

    def lines(self) -> Lines:
        return self.store.lines(self.editor.workbook_id, self.editor.module_name)

    def toggle(self, line: int) -> None:
        if 1 <= line <= self.editor.blockCount():
            self.store.toggle(self.editor.workbook_id, self.editor.module_name, line)

    # --- clicks ---------------------------------------------------------------------------

    def eventFilter(self, watched: QObject, event: QEvent) -> bool:
        kind = event.type()
        if kind == QEvent.Type.MouseButtonPress and isinstance(event, QMouseEvent):
            line = self.editor.line_at(round(event.position().y()))
            if line and event.button() == Qt.MouseButton.LeftButton:
                self.toggle(line)
                return True
        elif kind == QEvent.Type.ContextMenu and isinstance(event, QContextMenuEvent):
            line = self.editor.line_at(event.pos().y())
            if line:
                self._open_menu(line, event.globalPos())
                return True
        return False

    def _open_menu(self, line: int, where: QPoint) -> None:
        lines = self.lines()
        self.menu = QMenu(self.editor)
        if line in lines:
            self.menu.addAction("Remove Breakpoint", lambda: self.toggle(line))
            self.menu.addAction("Edit Condition...", lambda: self.ask_condition(line))
        else:
            self.menu.addAction("Add Breakpoint", lambda: self.toggle(line))
            self.menu.addAction("Add Conditional Breakpoint...",
                                lambda: self.ask_condition(line))
        self.menu.popup(where)

    def ask_condition(self, line: int) -> None:
        """Asks for the condition of the breakpoint on `line` (made if need be); empty text
        keeps a breakpoint that always stops."""
        condition = self.lines().get(line) or ""
        self.dialog = NameDialog(self.editor.window(), "Breakpoint condition",
                                 f"Stop at line {line} when:", condition, condition_problem)
        self.dialog.chosen.connect(lambda text: self._set_condition(line, text))
        self.dialog.open()

    def _set_condition(self, line: int, text: str) -> None:
        lines = self.lines()
        lines[line] = text or None
        self.store.set_lines(self.editor.workbook_id, self.editor.module_name, lines)

    # --- following the text ---------------------------------------------------------------

    def _text_changed(self, position: int, removed: int, added: int) -> None:
        document = self.editor.document()
        blocks, chars = document.blockCount(), document.characterCount()
        delta = blocks - self._blocks
        whole = position == 0 and self._chars > 1 and removed >= self._chars - 1
        self._blocks, self._chars = blocks, chars
        if whole and not added:
            # Emptied: a new text may follow at once (a reload); if none does, they are gone.
            self._held = self.lines()
            QTimer.singleShot(0, self._drop_held)
            return
        if self._held is not None and position == 0 and not removed:
            lines, self._held = self._held, None
            self._keep(self._clipped(lines))
            return
        if whole:
            self._keep(self._clipped(self.lines()))
        elif delta:
            block = document.findBlock(position)
            self._keep(shift_breakpoints(self.lines(), block.blockNumber() + 1,
                                         block.position() == position, delta))

    def _drop_held(self) -> None:
        if self._held is not None and shiboken6.isValid(self.editor):
            self._held = None
            self._keep({})

    def _clipped(self, lines: Lines) -> Lines:
        last = self.editor.blockCount()
        return {line: condition for line, condition in lines.items() if line <= last}

    def _keep(self, lines: Lines) -> None:
        if lines != self.lines():
            self.store.set_lines(self.editor.workbook_id, self.editor.module_name, lines,
                                 announce=False)
        self._show(lines)

    def _store_changed(self, workbook_id: str) -> None:
        if workbook_id == self.editor.workbook_id and shiboken6.isValid(self.editor):
            self._show(self.lines())

    def _show(self, lines: Lines) -> None:
        self.editor.set_gutter_markers(MARKER_KIND, {
            line: CONDITIONAL_COLOR if condition else BREAKPOINT_COLOR
            for line, condition in lines.items()})


class BreakpointKeeper(QObject):
    """Keeps the store's breakpoints in the workbooks' files, through the hub."""

    def __init__(self, store: BreakpointStore, channel: Any,
                 notify: Callable[[str], None]) -> None:
        super().__init__(store)
        self.store = store
        self.channel = channel
        self._notify = notify
        self._seen: Set[str] = set()  # workbooks whose file's breakpoints were taken
        store.changed.connect(self.keep)
        channel.kernel_states_changed.connect(self._workbooks_changed)

    def keep(self, workbook_id: str) -> None:
        """Sends the workbook's breakpoints as they are now, to be kept in its file."""
        if not self.channel.is_connected() or workbook_id not in self._seen:
            return

        def kept(reply: Dict[str, Any]) -> None:
            if reply.get("type") != "breakpoints_saved" or not reply.get("success"):
                self._notify(f"The breakpoints of {workbook_id} were not kept in its file: "
                             f"{reply.get('message') or reply.get('type')}")

        self.channel.save_breakpoints(workbook_id, self.store.records(workbook_id), kept)

    def _workbooks_changed(self, states: Dict[str, str]) -> None:
        if not self.channel.is_connected():
            return  # the hub is away: what the window holds stays, to be sent when it is back
        for workbook_id in states:
            if workbook_id not in self._seen:
                self._seen.add(workbook_id)
                saved = self.channel.saved_breakpoints.get(workbook_id) or []
                if saved or not self.store.records(workbook_id):
                    self.store.load(workbook_id, saved)
                else:
                    self.keep(workbook_id)  # set before the hub had the workbook
        self._seen &= set(states)  # a closed workbook is read again when it opens again
