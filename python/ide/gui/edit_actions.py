"""``EditActions``: the Edit menu's find, replace, go to line and toggle comment, on the
current editor tab.

What it promises:

* Find (Ctrl+F) and Replace (Ctrl+H) open the window's ``FindBar``; Find Next (F3) and Find
  Previous (Shift+F3) step through the matches without it taking the keyboard.
* Go to Line (Ctrl+G) asks for a line number between 1 and the module's last line and puts the
  cursor at the start of that line, in the middle of the view.
* Toggle Comment (Ctrl+/) comments out every line the selection touches (``# `` at the
  smallest indentation among them, so the block stays aligned) or, when every non-blank one is
  commented already, takes the comment marks off; blank lines are left as they are. It is one
  edit, which one Undo takes back, and the selection keeps covering those lines.
* Each does nothing but say so in the status bar when no module is open.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, List, Optional

from PySide6.QtCore import QObject
from PySide6.QtGui import QAction, QKeySequence, QTextCursor
from PySide6.QtWidgets import QInputDialog

from .find_bar import FindBar
from .monaco_editor import MonacoEditor

if TYPE_CHECKING:
    from .hosts import EditHost

__all__ = ["EditActions", "toggled_comment"]

COMMENT = "# "


def toggled_comment(lines: List[str]) -> List[str]:
    """The lines with their comment marks toggled, as Toggle Comment edits them."""
    code = [line for line in lines if line.strip()]
    if not code:
        return list(lines)
    if all(line.lstrip().startswith("#") for line in code):
        def uncomment(line: str) -> str:
            body = line.lstrip()
            if not body.startswith("#"):
                return line
            indent = line[:len(line) - len(body)]
            body = body[1:]
            return indent + (body[1:] if body.startswith(" ") else body)
        return [uncomment(line) for line in lines]
    column = min(len(line) - len(line.lstrip()) for line in code)
    return [line[:column] + COMMENT + line[column:] if line.strip() else line
            for line in lines]


class EditActions(QObject):
    def __init__(self, window: "EditHost", find_bar: FindBar) -> None:
        super().__init__(window)
        self.window = window
        self.find_bar = find_bar
        self.go_to_line_dialog: Optional[QInputDialog] = None
        self.find_action = self._action("&Find...", "Ctrl+F", self._editing(find_bar.open_find))
        self.replace_action = self._action("&Replace...", "Ctrl+H",
                                           self._editing(find_bar.open_replace))
        self.find_next_action = self._action("Find &Next", "F3",
                                             self._editing(lambda: find_bar.find()))
        self.find_previous_action = self._action(
            "Find &Previous", "Shift+F3", self._editing(lambda: find_bar.find(backwards=True)))
        self.go_to_line_action = self._action("&Go to Line...", "Ctrl+G",
                                              self._editing(self.ask_line))
        self.toggle_comment_action = self._action("Toggle &Comment", "Ctrl+/",
                                                  self._editing(self.toggle_comment))

    def actions(self) -> list:
        return [self.find_action, self.replace_action, self.find_next_action,
                self.find_previous_action, None, self.go_to_line_action,
                self.toggle_comment_action]

    def _action(self, text: str, shortcut: str, slot: Callable[[], None]) -> QAction:
        action = QAction(text, self.window)
        action.setShortcut(QKeySequence(shortcut))
        action.triggered.connect(lambda _checked=False: slot())
        return action

    def _editing(self, slot: Callable[[], None]) -> Callable[[], None]:
        def run() -> None:
            if self.window.current_editor() is None:
                self.window.statusBar().showMessage("No module is open", 3000)
                return
            slot()
        return run

    # --- go to line -----------------------------------------------------------------------

    def ask_line(self) -> None:
        editor = self.window.current_editor()
        dialog = QInputDialog(self.window)
        dialog.setWindowTitle("Go to Line")
        dialog.setInputMode(QInputDialog.InputMode.IntInput)
        last = editor.document().blockCount()
        dialog.setLabelText(f"Line (1 to {last}):")
        dialog.setIntRange(1, last)
        dialog.setIntValue(editor.cursor_line())
        dialog.intValueSelected.connect(lambda line, e=editor: self.go_to_line(e, line))
        self.go_to_line_dialog = dialog
        dialog.open()

    def go_to_line(self, editor: MonacoEditor, line: int) -> None:
        block = editor.document().findBlockByNumber(max(0, line - 1))
        if not block.isValid():
            block = editor.document().lastBlock()
        editor.setTextCursor(QTextCursor(block))
        editor.centerCursor()
        editor.setFocus()

    # --- comments -------------------------------------------------------------------------

    def toggle_comment(self) -> None:
        editor = self.window.current_editor()
        cursor = editor.textCursor()
        document = editor.document()
        first = document.findBlock(cursor.selectionStart())
        last = document.findBlock(cursor.selectionEnd())
        if (cursor.hasSelection() and last != first
                and cursor.selectionEnd() == last.position()):
            last = last.previous()  # a selection ending at a line's start leaves that line
        edit = QTextCursor(document)
        edit.setPosition(first.position())
        edit.setPosition(last.position() + last.length() - 1, QTextCursor.MoveMode.KeepAnchor)
        lines = edit.selectedText().split("\u2029")
        changed = toggled_comment(lines)
        if changed == lines:
            return
        start, first_number = first.position(), first.blockNumber()
        had_selection, caret_column = cursor.hasSelection(), cursor.positionInBlock()
        edit.beginEditBlock()
        edit.insertText("\n".join(changed))
        edit.endEditBlock()
        selection = QTextCursor(document)
        if had_selection:
            # The lines stay selected, so that a second Ctrl+/ takes back the first.
            end = document.findBlockByNumber(first_number + len(changed) - 1)
            selection.setPosition(start)
            selection.setPosition(end.position() + end.length() - 1,
                                  QTextCursor.MoveMode.KeepAnchor)
        else:
            # A caret stays on its line, moved with the text it was in.
            column = caret_column + len(changed[0]) - len(lines[0])
            selection.setPosition(start + max(0, min(column, len(changed[0]))))
        editor.setTextCursor(selection)
