"""``LanguageClient``: completions, signature help, hover text and diagnostics in the editor,
answered by the kernel of the edited module's workbook, through the hub.

When it asks (about the current tab's editor, and only while its kernel is connected):

* completion: after "." once typing pauses for ``COMPLETION_DELAY_MS``, and at once on
  Ctrl+Space. While the list is open, typing a name filters it in place; Up, Down, Page Up
  and Page Down choose, Enter or Tab inserts the chosen item (its ``insert_text`` over the
  ``prefix_length`` characters before the cursor it was asked at, and over what was typed
  since), a double click too, and Escape closes the list. It closes when the cursor leaves
  the name being completed.
* signature help: after "(" and "," (``SIGNATURE_DELAY_MS``) and on Ctrl+Shift+Space. The tip
  above the line emphasises the active parameter, is asked again as the cursor moves in the
  call, and goes when the cursor leaves the call (or on Escape).
* hover: when the mouse rests on the text for ``HOVER_DELAY_MS``. The tip shows the findings
  under the mouse at once, and the hover text of the name there when it comes.
* diagnostics: ``DIAGNOSTIC_DELAY_MS`` after the last edit of the current tab's module, and
  when a tab is shown or its kernel connects with findings older than its text. The status
  bar counts the errors and warnings of the current tab.

"completion_request", "signature_help_request" and "hover_request" carry `code`, `line`
(1-based), `column` (0-based, in characters), `path`, `workbook_id`, `module_name` and
`dirty_files` (module name -> text, for the workbook's other open modules with unsaved edits);
"diagnostic_request" carries `code`, `workbook_id` and `module_name`. A request longer than the
kernel takes goes without `dirty_files`, or not at all (the status bar says so).

At most one request of each kind is in flight; one wanted meanwhile goes when the answer comes.
An answer is shown only when it answers the request in flight (by its request id) and the
editor's text and cursor are still as they were when it was asked (for hover: the text and the
word under the mouse; for diagnostics: the text); otherwise it is dropped. A request that gets
no answer in ``timeout`` seconds (a kernel that could not answer sends nothing), that the hub
refuses, or whose kernel goes away is dropped, and the next one can go.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Optional, Set, Tuple

import shiboken6
from PySide6.QtCore import QEvent, QObject, QPoint, QRect, Qt, QTimer
from PySide6.QtGui import QKeyEvent, QTextCursor
from PySide6.QtWidgets import QLabel

from .colors import HINT
from .completion_popup import VISIBLE_ROWS
from .editor_tips import hover_markdown, place_beside, signature_html
from .hub_channel import KERNEL_CONNECTED
from .monaco_editor import MonacoEditor, utf16_length
from .python_source import enclosing_call

if TYPE_CHECKING:
    from .hosts import LanguageHost

__all__ = ["LanguageClient", "COMPLETION", "SIGNATURE_HELP", "HOVER", "DIAGNOSTIC",
           "MAX_REQUEST_CHARS", "fitted_request"]

COMPLETION_DELAY_MS = 80
SIGNATURE_DELAY_MS = 120
HOVER_DELAY_MS = 500
DIAGNOSTIC_DELAY_MS = 400
# Seconds an answer may take before its request is dropped (a cold first completion of a big
# package takes a few seconds on a busy machine).
LANGUAGE_TIMEOUT = 10.0
# The longest request sent, in characters of JSON: the kernel refuses frames above 1 MiB.
MAX_REQUEST_CHARS = 1_000_000
# Lines above the cursor searched for the call it is in.
CALL_SCAN_LINES = 30

COMPLETION, SIGNATURE_HELP = "completion", "signature_help"
HOVER, DIAGNOSTIC = "hover", "diagnostic"
_KINDS = (COMPLETION, SIGNATURE_HELP, HOVER, DIAGNOSTIC)
_PLAIN = (Qt.KeyboardModifier.NoModifier, Qt.KeyboardModifier.KeypadModifier)
_CTRL = Qt.KeyboardModifier.ControlModifier
_CTRL_SHIFT = Qt.KeyboardModifier.ControlModifier | Qt.KeyboardModifier.ShiftModifier
_WATCHED = (QEvent.Type.MouseMove, QEvent.Type.Leave, QEvent.Type.FocusOut)
_CALLEE = re.compile(r"[\w.]*$")


@dataclass
class _Asked:
    """A request in flight: what it was asked about."""
    editor: MonacoEditor
    version: int  # the editor's text_version
    position: Optional[int]  # the cursor (or, for hover, the mouse) position; None for all
    request_id: str = ""


@dataclass
class _Session:
    """A completion from its trigger until the list closes."""
    editor: MonacoEditor
    anchor: int  # where the name being completed starts
    answered: bool = False
    typed: Optional[str] = None  # what the open list was filtered with
    starts: Dict[int, int] = field(default_factory=dict)  # prefix length -> replaced from

    def start_of(self, item: dict) -> int:
        return self.starts.get(_prefix_length(item), self.anchor)


def _prefix_length(item: dict) -> int:
    value = item.get("prefix_length")
    return value if isinstance(value, int) and not isinstance(value, bool) and value > 0 else 0


def _name_part(text: str) -> bool:
    return not text or ("_" + text).isidentifier()


def _text_between(editor: MonacoEditor, start: int, end: int) -> str:
    cursor = QTextCursor(editor.document())
    cursor.setPosition(start)
    cursor.setPosition(end, QTextCursor.MoveMode.KeepAnchor)
    return cursor.selectedText().replace("\u2029", "\n")


def fitted_request(message: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    """The message, without `dirty_files` if that makes it short enough, or None."""
    texts = len(message["code"]) + sum(map(len, message.get("dirty_files", {}).values()))
    if texts * 12 + 4096 <= MAX_REQUEST_CHARS:  # JSON escapes a character in 12 at most
        return message
    if len(json.dumps(message)) <= MAX_REQUEST_CHARS:
        return message
    if message.get("dirty_files"):
        return fitted_request(dict(message, dirty_files={}))
    return None


class LanguageClient(QObject):
    def __init__(self, host: "LanguageHost") -> None:
        super().__init__(host.window())
        self.host = host
        self.timeout = LANGUAGE_TIMEOUT
        self.editor: Optional[MonacoEditor] = None
        # Errors and warnings of the current tab, for the status bar.
        self.problems_label = QLabel("", host.window())
        self.problems_label.hide()
        self._asked: Dict[str, _Asked] = {}
        self._again: Set[str] = set()
        self._session: Optional[_Session] = None
        # The "(" of the call whose signature is shown or asked for.
        self._call: Optional[int] = None
        # Where the mouse rests (viewport coordinates), and the word under it: (start, end,
        # position of the character under the mouse, whether it is a name).
        self._mouse: Optional[QPoint] = None
        self._hovered: Optional[Tuple[int, int, int, bool]] = None
        self._timers = {kind: self._timer(lambda k=kind: self._send(k)) for kind in _KINDS}
        self._timers[HOVER] = self._timer(self._mouse_rested)
        host.channel.kernel_states_changed.connect(self._kernel_states_changed)

    def _timer(self, slot) -> QTimer:
        timer = QTimer(self)
        timer.setSingleShot(True)
        timer.timeout.connect(slot)
        return timer

    def waiting(self) -> Set[str]:
        """The kinds of request in flight."""
        return set(self._asked)

    # --- editors ----------------------------------------------------------------------------

    def attach(self, editor: MonacoEditor) -> None:
        """Serves `editor` (a new tab's) whenever it is the current one."""
        editor.assist = self
        editor.installEventFilter(self)
        editor.viewport().installEventFilter(self)
        editor.viewport().setMouseTracking(True)
        editor.document().contentsChanged.connect(lambda e=editor: self._edited(e))
        editor.cursorPositionChanged.connect(lambda e=editor: self._follow(e))
        editor.verticalScrollBar().valueChanged.connect(lambda _v, e=editor: self._scrolled(e))
        editor.horizontalScrollBar().valueChanged.connect(lambda _v, e=editor: self._scrolled(e))
        editor.completion_popup.chosen.connect(lambda item, e=editor: self._insert(e, item))

    def set_editor(self, editor: Optional[MonacoEditor]) -> None:
        """The current tab's editor (None without tabs): the one served from now on."""
        if self.editor is not None and shiboken6.isValid(self.editor):
            self._close_floating(self.editor)
        for timer in self._timers.values():
            timer.stop()
        self.editor = editor
        self._show_problems()
        if editor is not None and editor.diagnostics_version != editor.text_version:
            self._timers[DIAGNOSTIC].start(0)

    def _close_floating(self, editor: MonacoEditor) -> None:
        self._close_session()
        self._hide_signature()
        editor.hover_tip.hide()
        self._hovered = None

    def eventFilter(self, watched: QObject, event: QEvent) -> bool:
        kind = event.type()
        if self.editor is None or kind not in _WATCHED:
            return False
        if kind == QEvent.Type.FocusOut:
            if watched is self.editor:
                self._close_floating(self.editor)
        elif watched.parent() is self.editor:  # the editor's viewport
            if kind == QEvent.Type.MouseMove:
                self._mouse_moved(event.position().toPoint())
            else:
                self._timers[HOVER].stop()
                self.editor.hover_tip.hide()
                self._hovered = None
        return False

    # --- what the editor tells ------------------------------------------------------------

    def key_pressed(self, editor: MonacoEditor, event: QKeyEvent) -> bool:
        """Takes the keys of the completion list and the language shortcuts."""
        key, modifiers = event.key(), event.modifiers()
        editor.hover_tip.hide()
        if key == Qt.Key.Key_Space and modifiers == _CTRL:
            self.complete(editor)
            return True
        if key == Qt.Key.Key_Space and modifiers == _CTRL_SHIFT:
            self.show_signature(editor)
            return True
        popup = editor.completion_popup
        if popup.isVisible() and modifiers in _PLAIN:
            steps = {Qt.Key.Key_Up: -1, Qt.Key.Key_Down: 1, Qt.Key.Key_PageUp: -VISIBLE_ROWS,
                     Qt.Key.Key_PageDown: VISIBLE_ROWS}
            if key in steps:
                popup.move_choice(steps[key])
                return True
            if key in (Qt.Key.Key_Return, Qt.Key.Key_Enter, Qt.Key.Key_Tab):
                self._insert(editor, popup.current())
                return True
        if key == Qt.Key.Key_Escape:
            closing = self._session is not None or editor.signature_tip.isVisible()
            self._close_session()
            self._hide_signature()
            return closing
        return False

    def key_handled(self, editor: MonacoEditor, event: QKeyEvent) -> None:
        text = event.text()
        if editor is not self.editor:
            return
        if text == ".":
            self._session = _Session(editor, editor.textCursor().position())
            self._timers[COMPLETION].start(COMPLETION_DELAY_MS)
        elif text in ("(", ","):
            call = self._enclosing_call(editor)
            if call is not None:
                self._call = call
                self._timers[SIGNATURE_HELP].start(SIGNATURE_DELAY_MS)

    def complete(self, editor: MonacoEditor) -> None:
        """Asks at once for the completions of the name before the cursor."""
        if editor is not self.editor or not self._can_ask(editor, "completions"):
            return
        cursor = editor.textCursor()
        before = cursor.block().text()[:editor.column_of(cursor.position())[1]]
        start = len(before)
        while start > 0 and _name_part(before[start - 1:]):
            start -= 1
        self._close_session()
        self._session = _Session(editor, cursor.position() - utf16_length(before[start:]))
        self._send(COMPLETION)

    def show_signature(self, editor: MonacoEditor) -> None:
        """Asks at once for the signature of the call the cursor is in."""
        if editor is not self.editor or not self._can_ask(editor, "signatures"):
            return
        call = self._enclosing_call(editor)
        if call is not None:
            self._call = call
            self._send(SIGNATURE_HELP)

    def _can_ask(self, editor: MonacoEditor, what: str) -> bool:
        """Whether the editor's kernel can be asked; if not, the status bar says why."""
        problem = (self.host.kernel_problem(editor.workbook_id)
                   if self.host.channel.is_connected() else "the IDE is not connected")
        if problem:
            self.host.statusBar().showMessage(f"No {what}: {problem}", 5000)
        return not problem

    def _edited(self, editor: MonacoEditor) -> None:
        editor.hover_tip.hide()
        if editor is self.editor:
            self._timers[DIAGNOSTIC].start(DIAGNOSTIC_DELAY_MS)
            self._follow(editor)

    def _follow(self, editor: MonacoEditor) -> None:
        """After an edit or a cursor move: filters or closes the list, follows the call."""
        if editor is not self.editor:
            return
        session = self._session
        if session is not None:
            cursor = editor.textCursor()
            position = cursor.position()
            typed = (_text_between(editor, session.anchor, position)
                     if position >= session.anchor and not cursor.hasSelection() else None)
            if typed is None or not _name_part(typed):
                self._close_session()
            elif not session.answered:
                self._timers[COMPLETION].start(COMPLETION_DELAY_MS)
            elif typed != session.typed:
                self._show_list()
        if self._call is not None:
            call = self._enclosing_call(editor)
            if call is None:
                self._hide_signature()
            else:
                if call != self._call:
                    editor.signature_tip.hide()
                    self._call = call
                self._timers[SIGNATURE_HELP].start(SIGNATURE_DELAY_MS)

    def _scrolled(self, editor: MonacoEditor) -> None:
        editor.hover_tip.hide()
        if editor is not self.editor:
            return
        if editor.signature_tip.isVisible() and self._call is not None:
            place_beside(editor.signature_tip, self._callee_rect(editor), above=True)
        if editor.completion_popup.isVisible():
            self._place_list()

    def _mouse_moved(self, point: QPoint) -> None:
        self._mouse = point
        if self._hovered is not None and self._word_at(point) != self._hovered:
            self.editor.hover_tip.hide()
            self._hovered = None
        self._timers[HOVER].start(HOVER_DELAY_MS)

    def _mouse_rested(self) -> None:
        editor = self.editor
        if editor is None or self._mouse is None:
            return
        word = self._word_at(self._mouse)
        if word is None or word == self._hovered:
            return
        self._hovered = word
        self._show_hover(None)
        if word[3]:
            self._send(HOVER)

    def _word_at(self, point: QPoint) -> Optional[Tuple[int, int, int, bool]]:
        """The word under a point of the viewport: (start, end, position of the character under
        the point, whether it is a name), or None away from the text."""
        editor = self.editor
        cursor = editor.cursorForPosition(point)
        block = cursor.block()
        position = cursor.position()
        box = editor.cursorRect(cursor)
        if not box.top() <= point.y() <= box.bottom():
            return None
        if point.x() < box.left() and position > block.position():
            position -= 1  # the point is on the character before the nearest gap
        if position >= block.position() + block.length() - 1:
            return None  # past the end of the line
        cursor.setPosition(position)
        cursor.movePosition(QTextCursor.MoveOperation.Right, QTextCursor.MoveMode.KeepAnchor)
        if cursor.selectedText().isspace():
            return None
        cursor.select(QTextCursor.SelectionType.WordUnderCursor)
        name = cursor.selectedText().isidentifier() and (
            cursor.selectionStart() <= position < cursor.selectionEnd())
        if not name:
            return position, position + 1, position, False
        return cursor.selectionStart(), cursor.selectionEnd(), position, True

    # --- requests -------------------------------------------------------------------------

    def _send(self, kind: str) -> None:
        if kind in self._asked:
            self._again.add(kind)  # goes when the answer in flight comes (or is given up)
            return
        built = self._request(kind)
        if built is None:
            return
        message, asked = built
        request_id = self.host.channel.request(
            message, lambda reply, k=kind: self._replied(k, reply), None, self.timeout)
        if request_id is not None:
            asked.request_id = request_id
            self._asked[kind] = asked

    def _request(self, kind: str) -> Optional[Tuple[Dict[str, Any], _Asked]]:
        editor = self.editor
        if (editor is None or not self.host.channel.is_connected()
                or self.host.kernel_problem(editor.workbook_id) is not None):
            return None
        message: Dict[str, Any] = {"type": f"{kind}_request", "workbook_id": editor.workbook_id,
                                   "module_name": editor.module_name}
        position: Optional[int] = None
        if kind != DIAGNOSTIC:
            if kind == COMPLETION:
                if self._session is None or self._session.answered:
                    return None
                position = editor.textCursor().position()
            elif kind == SIGNATURE_HELP:
                if self._call is None:
                    return None
                position = editor.textCursor().position()
            elif self._hovered is None or not self._hovered[3]:
                return None
            else:
                position = self._hovered[2]
            line, column = editor.column_of(position)
            name = editor.module_name or ""
            message.update(path=name.replace(".", "/") + ".py", line=line, column=column,
                           dirty_files=self._dirty_files(editor))
        message["code"] = editor.toPlainText()
        fitted = fitted_request(message)
        if fitted is None:
            self.host.statusBar().showMessage(
                f"{editor.module_name}.py is too long for completions and diagnostics", 5000)
            return None
        return fitted, _Asked(editor, editor.text_version, position)

    def _dirty_files(self, editor: MonacoEditor) -> Dict[str, str]:
        return {other.module_name: other.toPlainText() for other in self.host.editors()
                if other is not editor and other.workbook_id == editor.workbook_id
                and other.is_modified()}

    def _replied(self, kind: str, reply: Dict[str, Any]) -> None:
        if reply.get("type") == f"{kind}_response":
            self.answered(kind, reply)
        elif self._settle(kind, reply) is not None:
            # Refused by the hub or not answered in time: nothing to show, the next may go.
            self._send_again(kind)

    def _settle(self, kind: str, message: Dict[str, Any]) -> Optional[_Asked]:
        """The request in flight that `message` answers, no longer in flight; else None."""
        asked = self._asked.get(kind)
        if asked is None or message.get("request_id") != asked.request_id:
            return None
        del self._asked[kind]
        return asked

    def _send_again(self, kind: str) -> None:
        if kind in self._again:
            self._again.discard(kind)
            self._send(kind)

    def _kernel_states_changed(self, states: Dict[str, str]) -> None:
        # A kernel that went away answers nothing it was asked.
        for kind, asked in list(self._asked.items()):
            if (not shiboken6.isValid(asked.editor)
                    or states.get(asked.editor.workbook_id) != KERNEL_CONNECTED):
                del self._asked[kind]
                self._again.discard(kind)
        editor = self.editor
        if (editor is not None and editor.diagnostics_version != editor.text_version
                and states.get(editor.workbook_id) == KERNEL_CONNECTED):
            self._timers[DIAGNOSTIC].start(DIAGNOSTIC_DELAY_MS)

    # --- answers --------------------------------------------------------------------------

    def answered(self, kind: str, message: Dict[str, Any]) -> None:
        """Shows an answer of the kernel (the reply to the request, or the window's
        `_handle_*_response` with one that came without it) if it answers the request in flight
        and still holds."""
        asked = self._settle(kind, message)
        if asked is None:
            return
        editor = asked.editor
        if shiboken6.isValid(editor) and editor.text_version == asked.version:
            if kind == DIAGNOSTIC:
                self._take_diagnostics(editor, message)
            elif kind == HOVER:
                if editor is self.editor and self._hovered and self._hovered[2] == asked.position:
                    self._show_hover(message.get("contents"))
            elif editor is self.editor and editor.textCursor().position() == asked.position:
                if kind == COMPLETION:
                    self._take_completions(editor, message)
                else:
                    self._take_signatures(editor, message)
        self._send_again(kind)

    def _take_completions(self, editor: MonacoEditor, message: Dict[str, Any]) -> None:
        session = self._session
        if session is None or session.editor is not editor or session.answered:
            return
        items = message.get("completions")
        editor.completion_popup.set_items(items if isinstance(items, list) else [])
        items = editor.completion_popup.items
        if not items:
            self._close_session()
            return
        position = editor.textCursor().position()
        block = editor.textCursor().block()
        before = _text_between(editor, block.position(), position)
        for length in {_prefix_length(item) for item in items}:
            prefix = before[max(0, len(before) - length):]
            session.starts[length] = position - utf16_length(prefix)
        session.anchor = min(session.starts.values())
        session.answered = True
        self._show_list()

    def _show_list(self) -> None:
        session = self._session
        editor = session.editor
        position = editor.textCursor().position()
        typed_by_start: Dict[int, str] = {}

        def typed(item: dict) -> str:
            start = session.start_of(item)
            if start not in typed_by_start:
                typed_by_start[start] = _text_between(editor, min(start, position), position)
            return typed_by_start[start]

        session.typed = _text_between(editor, session.anchor, position)
        if editor.completion_popup.show_matching(typed):
            self._place_list()
            editor.completion_popup.show()
            editor.completion_popup.raise_()
        else:
            editor.completion_popup.hide()

    def _place_list(self) -> None:
        editor = self._session.editor
        line = self._line_rect(editor, self._session.anchor)
        tip = editor.signature_tip
        if tip.isVisible() and tip.y() > line.top():
            line.setBottom(max(line.bottom(), tip.geometry().bottom()))  # under the tip below
        place_beside(editor.completion_popup, line, above=False)

    def _insert(self, editor: MonacoEditor, item: Optional[dict]) -> None:
        session = self._session
        if item is None or session is None or session.editor is not editor:
            return
        start = session.start_of(item)
        text = item.get("insert_text")
        self._close_session()
        cursor = editor.textCursor()
        cursor.setPosition(min(start, cursor.position()), QTextCursor.MoveMode.KeepAnchor)
        cursor.insertText(text if isinstance(text, str) else str(item.get("label")))
        editor.setTextCursor(cursor)

    def _close_session(self) -> None:
        session, self._session = self._session, None
        self._timers[COMPLETION].stop()
        if session is not None and shiboken6.isValid(session.editor):
            session.editor.completion_popup.hide()

    def _take_signatures(self, editor: MonacoEditor, message: Dict[str, Any]) -> None:
        signatures = [signature for signature in message.get("signatures") or []
                      if isinstance(signature, dict)] if isinstance(
                          message.get("signatures"), list) else []
        if not signatures or self._call is None:
            self._hide_signature()
            return
        chosen = message.get("activeSignature")
        chosen = chosen if isinstance(chosen, int) and 0 <= chosen < len(signatures) else 0
        signature = signatures[chosen]
        active = signature.get("activeParameter", message.get("activeParameter"))
        text = signature_html(signature, active)
        if len(signatures) > 1:
            text += f"<p style='color: #808080'>1 of {len(signatures)} signatures</p>"
        editor.signature_tip.show_text(text, False, self._callee_rect(editor), above=True)
        if self._session is not None and editor.completion_popup.isVisible():
            self._place_list()

    def _hide_signature(self) -> None:
        self._call = None
        self._timers[SIGNATURE_HELP].stop()
        if self.editor is not None and shiboken6.isValid(self.editor):
            self.editor.signature_tip.hide()

    def _show_hover(self, contents: Any) -> None:
        """Shows the findings under the mouse and the hover text, if there is anything."""
        editor, word = self.editor, self._hovered
        text = hover_markdown(editor.diagnostics_at(word[2]), contents)
        if text:
            editor.hover_tip.show_text(text, True, self._line_rect(editor, word[0]), above=True)
        else:
            editor.hover_tip.hide()

    def _take_diagnostics(self, editor: MonacoEditor, message: Dict[str, Any]) -> None:
        diagnostics = message.get("diagnostics")
        diagnostics = [d for d in diagnostics if isinstance(d, dict)] if isinstance(
            diagnostics, list) else []
        editor.set_diagnostics(diagnostics)
        editor.diagnostics_version = editor.text_version
        editor.diagnostics_error = message.get("error")
        if editor is self.editor:
            self._show_problems()

    def _show_problems(self) -> None:
        editor, label = self.editor, self.problems_label
        if editor is None or editor.diagnostics_version is None:
            label.hide()
            return
        errors = sum(1 for d in editor.diagnostics if d.get("severity") == "error")
        warnings = len(editor.diagnostics) - errors
        failure = editor.diagnostics_error
        if failure:
            text, color = "Not analysed", HINT
        elif errors or warnings:
            parts = [f"{n} {word}{'s' if n != 1 else ''}"
                     for n, word in ((errors, "error"), (warnings, "warning")) if n]
            text, color = ", ".join(parts), "#f14c4c" if errors else "#cca700"
        else:
            text, color = "No problems", HINT
        label.setText(text)
        label.setStyleSheet(f"color: {color};")
        label.setToolTip(f"{editor.module_name}.py: {failure}" if failure else
                         f"Problems found in {editor.module_name}.py (hover an underline to "
                         "read one)")
        label.show()

    # --- places ---------------------------------------------------------------------------

    def _line_rect(self, editor: MonacoEditor, position: int) -> QRect:
        """The rectangle of the text position's line height, in the editor's coordinates."""
        cursor = QTextCursor(editor.document())
        cursor.setPosition(min(position, editor.document().characterCount() - 1))
        return editor.cursorRect(cursor).translated(editor.viewport().pos())

    def _callee_rect(self, editor: MonacoEditor) -> QRect:
        """The line rectangle from the start of the called name ("forecast.grow" of
        "forecast.grow(")."""
        block = editor.document().findBlock(self._call)
        before = _text_between(editor, block.position(), self._call)
        callee = _CALLEE.search(before).group()
        return self._line_rect(editor, self._call - utf16_length(callee))

    def _enclosing_call(self, editor: MonacoEditor) -> Optional[int]:
        """The document position of the "(" of the call the cursor is in, or None."""
        cursor = editor.textCursor()
        first = cursor.block()
        for _ in range(CALL_SCAN_LINES):
            if not first.previous().isValid():
                break
            first = first.previous()
        text = _text_between(editor, first.position(), cursor.position())
        offset = enclosing_call(text)
        return None if offset is None else first.position() + utf16_length(text[:offset])
