"""``FindBar``: the bar over the editors that finds, and replaces, text in the current module.

What it promises:

* ``open_find()`` shows the bar with the find field focused and its text selected (the
  editor's selection, when it is on one line, becomes the text to find); ``open_replace()``
  shows the replace field too. Escape, or the bar's close button, hides it and gives the
  keyboard back to the editor.
* Typing in the find field moves the editor's selection to the first match at or after the
  cursor; Enter and Next find the next, Shift+Enter and Previous the previous, wrapping at the
  ends of the module. "Match case" and "Whole word" narrow the search. Every match in view is
  highlighted; the label beside the fields says "3 of 12" or "No matches".
* Replace swaps the selected match (when the selection is a match) and moves on to the next;
  Replace All swaps every match in the module as one edit, which one Undo takes back.
* It works on the editor the callable it is given returns (the current tab's), and does
  nothing without one; ``refresh()`` redraws the highlights after the tab changes.
"""

from __future__ import annotations

from typing import Callable, List, Optional

from PySide6.QtCore import Qt, Signal
from PySide6.QtGui import QColor, QKeyEvent, QKeySequence, QShortcut, QTextCursor, QTextDocument
from PySide6.QtWidgets import (QCheckBox, QHBoxLayout, QLabel, QLineEdit, QPushButton,
                               QTextEdit, QToolButton, QVBoxLayout, QWidget)

from .monaco_editor import MonacoEditor

__all__ = ["FindBar"]

MATCH_COLOR = QColor("#613214")
MAX_HIGHLIGHTS = 2000  # beyond it a module's matches are counted, not all drawn


class _Field(QLineEdit):
    """A line edit whose Enter and Shift+Enter step through the matches."""

    stepped = Signal(bool)  # True: backwards

    def keyPressEvent(self, event: QKeyEvent) -> None:
        if event.key() in (Qt.Key.Key_Return, Qt.Key.Key_Enter):
            self.stepped.emit(bool(event.modifiers() & Qt.KeyboardModifier.ShiftModifier))
            return
        super().keyPressEvent(event)


class FindBar(QWidget):
    def __init__(self, current_editor: Callable[[], Optional[MonacoEditor]],
                 parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self._current_editor = current_editor
        self._highlighted: Optional[MonacoEditor] = None
        self.setObjectName("find bar")
        self.find_field = _Field(self)
        self.find_field.setPlaceholderText("Find")
        self.find_field.setClearButtonEnabled(True)
        self.replace_field = _Field(self)
        self.replace_field.setPlaceholderText("Replace with")
        self.match_case = QCheckBox("Match &case", self)
        self.whole_word = QCheckBox("&Whole word", self)
        self.count_label = QLabel("", self)
        self.count_label.setMinimumWidth(90)
        self.previous_button = QPushButton("Previous", self)
        self.next_button = QPushButton("Next", self)
        self.replace_button = QPushButton("Replace", self)
        self.replace_all_button = QPushButton("Replace All", self)
        close = QToolButton(self)
        close.setText("✕")
        close.setToolTip("Close (Esc)")
        close.setAutoRaise(True)

        find_row = QHBoxLayout()
        for widget in (self.find_field, self.previous_button, self.next_button, self.match_case,
                       self.whole_word, self.count_label, close):
            find_row.addWidget(widget)
        self._replace_row = QWidget(self)
        replace_row = QHBoxLayout(self._replace_row)
        replace_row.setContentsMargins(0, 0, 0, 0)
        for widget in (self.replace_field, self.replace_button, self.replace_all_button):
            replace_row.addWidget(widget)
        replace_row.addStretch(1)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(6, 3, 6, 3)
        layout.setSpacing(3)
        layout.addLayout(find_row)
        layout.addWidget(self._replace_row)

        self.find_field.textEdited.connect(lambda _text: self._search_from_cursor())
        self.find_field.stepped.connect(lambda backwards: self.find(backwards))
        self.replace_field.stepped.connect(lambda _backwards: self.replace_one())
        self.match_case.toggled.connect(lambda _on: self._search_from_cursor())
        self.whole_word.toggled.connect(lambda _on: self._search_from_cursor())
        self.previous_button.clicked.connect(lambda: self.find(backwards=True))
        self.next_button.clicked.connect(lambda: self.find())
        self.replace_button.clicked.connect(self.replace_one)
        self.replace_all_button.clicked.connect(self.replace_all)
        close.clicked.connect(self.close_bar)
        escape = QShortcut(QKeySequence(Qt.Key.Key_Escape), self)
        escape.setContext(Qt.ShortcutContext.WidgetWithChildrenShortcut)
        escape.activated.connect(self.close_bar)
        self.hide()

    # --- showing --------------------------------------------------------------------------

    def open_find(self) -> None:
        self._open(replace=False)

    def open_replace(self) -> None:
        self._open(replace=True)

    def _open(self, replace: bool) -> None:
        editor = self._current_editor()
        if editor is not None:
            selected = editor.textCursor().selectedText()
            if selected and "\u2029" not in selected:  # a selection within one line
                self.find_field.setText(selected)
        self._replace_row.setVisible(replace)
        self.show()
        field = self.replace_field if replace and self.find_field.text() else self.find_field
        field.setFocus(Qt.FocusReason.ShortcutFocusReason)
        field.selectAll()
        self.refresh()

    def close_bar(self) -> None:
        self.hide()
        self._clear_highlights()
        editor = self._current_editor()
        if editor is not None:
            editor.setFocus(Qt.FocusReason.ShortcutFocusReason)

    # --- finding --------------------------------------------------------------------------

    def _flags(self, backwards: bool = False) -> QTextDocument.FindFlag:
        flags = QTextDocument.FindFlag(0)
        if self.match_case.isChecked():
            flags |= QTextDocument.FindFlag.FindCaseSensitively
        if self.whole_word.isChecked():
            flags |= QTextDocument.FindFlag.FindWholeWords
        if backwards:
            flags |= QTextDocument.FindFlag.FindBackward
        return flags

    def find(self, backwards: bool = False) -> bool:
        """Selects the next (or previous) match after the selection, wrapping at the ends;
        False when the module has none."""
        editor = self._current_editor()
        text = self.find_field.text()
        if editor is None or not text:
            self.refresh()
            return False
        cursor = editor.textCursor()
        start = cursor.selectionStart() if backwards else cursor.selectionEnd()
        found = self._find_from(editor, start, backwards)
        if found.isNull():  # wrap round
            found = self._find_from(editor, editor.document().characterCount() if backwards
                                    else 0, backwards)
        if not found.isNull():
            editor.setTextCursor(found)
            editor.centerCursor()
        self.refresh()
        return not found.isNull()

    def _find_from(self, editor: MonacoEditor, position: int, backwards: bool) -> QTextCursor:
        cursor = QTextCursor(editor.document())
        cursor.setPosition(min(position, editor.document().characterCount() - 1))
        return editor.document().find(self.find_field.text(), cursor, self._flags(backwards))

    def _search_from_cursor(self) -> None:
        """As the text to find changes, the search starts again where the selection starts."""
        editor = self._current_editor()
        if editor is not None and self.find_field.text():
            cursor = editor.textCursor()
            cursor.setPosition(cursor.selectionStart())
            editor.setTextCursor(cursor)
        self.find()

    def matches(self, editor: Optional[MonacoEditor] = None) -> List[QTextCursor]:
        """Every match in the module, in order."""
        editor = editor or self._current_editor()
        text = self.find_field.text()
        found: List[QTextCursor] = []
        if editor is None or not text:
            return found
        document, flags = editor.document(), self._flags()
        cursor = document.find(text, 0, flags)
        while not cursor.isNull():
            found.append(cursor)
            cursor = document.find(text, cursor, flags)
        return found

    def _is_match(self, cursor: QTextCursor) -> bool:
        return any(match.selectionStart() == cursor.selectionStart()
                   and match.selectionEnd() == cursor.selectionEnd()
                   for match in self.matches())

    # --- replacing ------------------------------------------------------------------------

    def replace_one(self) -> None:
        """Replaces the selected match, then selects the next one."""
        editor = self._current_editor()
        if editor is None or not self.find_field.text():
            return
        cursor = editor.textCursor()
        if cursor.hasSelection() and self._is_match(cursor):
            cursor.insertText(self.replace_field.text())
            editor.setTextCursor(cursor)
        self.find()

    def replace_all(self) -> int:
        """Replaces every match as one edit; how many were replaced."""
        editor = self._current_editor()
        found = self.matches(editor)
        if editor is None or not found:
            self.refresh()
            return 0
        replacement = self.replace_field.text()
        edit = QTextCursor(editor.document())
        edit.beginEditBlock()
        for match in found:  # the cursors move with the text as earlier matches change
            match.insertText(replacement)
        edit.endEditBlock()
        self.refresh()
        self.count_label.setText(f"Replaced {len(found)}")
        return len(found)

    # --- highlighting ---------------------------------------------------------------------

    def refresh(self) -> None:
        editor = self._current_editor()
        if self._highlighted is not None and self._highlighted is not editor:
            self._clear_highlights()
        if editor is None or not self.isVisible():
            return
        found = self.matches(editor)
        selections = []
        for match in found[:MAX_HIGHLIGHTS]:
            selection = QTextEdit.ExtraSelection()
            selection.format.setBackground(MATCH_COLOR)
            selection.cursor = match
            selections.append(selection)
        editor._set_selections("find", selections)
        self._highlighted = editor
        if not self.find_field.text():
            self.count_label.setText("")
        elif not found:
            self.count_label.setText("No matches")
        else:
            current = editor.textCursor()
            index = next((i for i, match in enumerate(found)
                          if match.selectionStart() == current.selectionStart()
                          and match.selectionEnd() == current.selectionEnd()), None)
            self.count_label.setText(f"{index + 1} of {len(found)}" if index is not None
                                     else f"{len(found)} matches")

    def _clear_highlights(self) -> None:
        editor, self._highlighted = self._highlighted, None
        if editor is not None:
            try:
                editor._set_selections("find", [])
            except RuntimeError:  # its tab was closed
                pass
