"""The IDE's small dialogs: ``NameDialog`` asks for a name, ``RunDialog`` for a function and the
arguments of a run, ``WorkbookFileDialog`` for a workbook file to create, open or save to,
``ask`` for a yes or no and ``choose`` for one of a few named choices.

All are window-modal and opened with ``open()``: they do not block the caller, and their
result arrives through a signal or a callback. The dialogs refuse bad input in place, saying
why, and keep what was typed so it can be corrected.
"""

from __future__ import annotations

import os
from typing import Callable, Dict, List, Optional, Sequence

from PySide6.QtCore import Qt, Signal
from PySide6.QtWidgets import (QComboBox, QDialog, QDialogButtonBox, QFileDialog, QFormLayout,
                               QLabel, QLineEdit, QMessageBox, QPushButton, QVBoxLayout,
                               QWidget)

from .colors import ERROR, HINT, style
from .python_source import ArgumentError, FunctionInfo, parse_arguments

__all__ = ["FileDialog", "ModuleFileDialog", "NameDialog", "RunDialog", "WorkbookFileDialog",
           "ask", "choose"]

Button = QMessageBox.StandardButton


def ask(parent: QWidget, title: str, text: str, buttons: Button, default: Button,
        on_answer: Callable[[Button], None]) -> QMessageBox:
    """Opens a question box; `on_answer` gets the button pressed (Cancel or No for Escape)."""
    box = QMessageBox(QMessageBox.Icon.Question, title, text, buttons, parent)
    box.setDefaultButton(default)

    def answered(_result: int) -> None:
        clicked = box.clickedButton()
        answer = box.standardButton(clicked) if clicked is not None else Button.Cancel
        box.deleteLater()
        on_answer(answer)

    box.finished.connect(answered)
    box.open()
    return box

def choose(parent: QWidget, title: str, text: str, choices: Sequence[str],
           on_choice: Callable[[Optional[str]], None]) -> QMessageBox:
    """Opens a box with a button per choice (the last one also answers Escape); `on_choice`
    gets the text of the button pressed, or None when the box was closed otherwise."""
    box = QMessageBox(QMessageBox.Icon.Warning, title, text, QMessageBox.StandardButton.NoButton,
                      parent)
    buttons = [box.addButton(choice, QMessageBox.ButtonRole.AcceptRole) for choice in choices]
    box.setDefaultButton(buttons[0])
    box.setEscapeButton(buttons[-1])

    def answered(_result: int) -> None:
        clicked = box.clickedButton()
        box.deleteLater()
        on_choice(clicked.text() if clicked in buttons else None)

    box.finished.connect(answered)
    box.open()
    return box


_ERROR_STYLE = style(ERROR)
WORKBOOK_FILTER = "Workbooks (*.xlsx)"
PYTHON_FILTER = "Python files (*.py)"


class FileDialog(QFileDialog):
    """Asks for a file: one to create or save to (`saving`), or one to open. Qt's own dialog
    rather than the desktop's, so that it behaves alike everywhere (and under test). `chosen`
    gets the absolute path, with the suffix added to a name typed without it."""

    chosen = Signal(str)

    def __init__(self, parent: Optional[QWidget], title: str, folder: str, saving: bool,
                 name_filter: str, suffix: str, confirm_overwrite: bool = True) -> None:
        super().__init__(parent, title, folder, name_filter)
        self.setOption(QFileDialog.Option.DontUseNativeDialog, True)
        if saving:
            self.setAcceptMode(QFileDialog.AcceptMode.AcceptSave)
            self.setFileMode(QFileDialog.FileMode.AnyFile)
            self.setDefaultSuffix(suffix)
            self.setOption(QFileDialog.Option.DontConfirmOverwrite, not confirm_overwrite)
        else:
            self.setAcceptMode(QFileDialog.AcceptMode.AcceptOpen)
            self.setFileMode(QFileDialog.FileMode.ExistingFile)
        self.fileSelected.connect(lambda path: self.chosen.emit(os.path.abspath(path)))

    @property
    def name_edit(self) -> QLineEdit:
        """The line the file's name is typed into."""
        return self.findChild(QLineEdit, "fileNameEdit")


class WorkbookFileDialog(FileDialog):
    """Asks for a workbook file (".xlsx")."""

    def __init__(self, parent: Optional[QWidget], title: str, folder: str,
                 saving: bool) -> None:
        # The hub refuses to create over a file that exists, and says so.
        super().__init__(parent, title, folder, saving, WORKBOOK_FILTER, "xlsx",
                         confirm_overwrite=False)


class ModuleFileDialog(FileDialog):
    """Asks for a Python file to import a module from, or to export one to (Qt asks before
    an existing file is replaced)."""

    def __init__(self, parent: Optional[QWidget], title: str, folder: str,
                 saving: bool) -> None:
        super().__init__(parent, title, folder, saving, PYTHON_FILTER, "py")


class NameDialog(QDialog):
    """Asks for a name; `check(name)` returns why a name cannot be used, or None."""

    chosen = Signal(str)

    def __init__(self, parent: Optional[QWidget], title: str, label: str, initial: str,
                 check: Callable[[str], Optional[str]]) -> None:
        super().__init__(parent)
        self.setWindowTitle(title)
        self._check = check
        self.name_edit = QLineEdit(initial, self)
        self.name_edit.selectAll()
        self.problem_label = QLabel("", self)
        self.problem_label.setStyleSheet(_ERROR_STYLE)
        self.problem_label.setWordWrap(True)
        self.buttons = QDialogButtonBox(
            QDialogButtonBox.StandardButton.Ok | QDialogButtonBox.StandardButton.Cancel, self)
        self.buttons.accepted.connect(self.accept)
        self.buttons.rejected.connect(self.reject)
        form = QFormLayout()
        form.addRow(label, self.name_edit)
        layout = QVBoxLayout(self)
        layout.addLayout(form)
        layout.addWidget(self.problem_label)
        layout.addWidget(self.buttons)
        self.setMinimumWidth(420)
        self.name_edit.textChanged.connect(self._show_problem)
        self._show_problem(initial)

    def name(self) -> str:
        return self.name_edit.text().strip()

    def _show_problem(self, _text: str = "") -> Optional[str]:
        problem = self._check(self.name())
        self.problem_label.setText(problem or "")
        self.buttons.button(QDialogButtonBox.StandardButton.Ok).setEnabled(problem is None)
        return problem

    def accept(self) -> None:
        if self._show_problem() is None:
            super().accept()
            self.chosen.emit(self.name())


class RunDialog(QDialog):
    """Picks one of a module's top-level functions, shows its signature and docstring, and
    reads its arguments as in a call, with Python literals (keywords put in their places).

    `remembered` maps function names to the argument text last used with them; `verb` names
    what the dialog starts ("Run", "Debug").
    """

    chosen = Signal(str, list, str)  # function name, argument values, argument text

    def __init__(self, parent: Optional[QWidget], module_name: str,
                 functions: List[FunctionInfo], selected: Optional[str],
                 remembered: Dict[str, str], verb: str = "Run") -> None:
        super().__init__(parent)
        self.setWindowTitle(f"{verb} a function of {module_name}.py")
        self._remembered = remembered
        self._functions = {info.name: info for info in functions}
        self.function_box = QComboBox(self)
        for info in functions:
            self.function_box.addItem(info.signature, info.name)
        self.args_edit = QLineEdit(self)
        self.problem_label = QLabel("", self)
        self.problem_label.setStyleSheet(_ERROR_STYLE)
        self.problem_label.setWordWrap(True)
        hint = QLabel("As in a call, with Python literals: 1000, 0.05, 'text', [1, 2], years=15",
                      self)
        hint.setStyleSheet(style(HINT))
        # The picked function's signature and docstring.
        self.signature_label = QLabel("", self)
        self.signature_label.setStyleSheet("font-family: monospace; font-weight: bold;")
        self.signature_label.setTextInteractionFlags(Qt.TextInteractionFlag.TextSelectableByMouse)
        self.doc_label = QLabel("", self)
        self.doc_label.setWordWrap(True)
        self.doc_label.setStyleSheet("color: #b0b0b0;")
        self.doc_label.setTextInteractionFlags(Qt.TextInteractionFlag.TextSelectableByMouse)
        self.buttons = QDialogButtonBox(QDialogButtonBox.StandardButton.Cancel, self)
        run_button = QPushButton(verb, self)
        run_button.setDefault(True)
        self.buttons.addButton(run_button, QDialogButtonBox.ButtonRole.AcceptRole)
        self.buttons.accepted.connect(self.accept)
        self.buttons.rejected.connect(self.reject)
        form = QFormLayout()
        form.addRow("&Function:", self.function_box)
        form.addRow("&Arguments:", self.args_edit)
        layout = QVBoxLayout(self)
        layout.addWidget(self.signature_label)
        layout.addWidget(self.doc_label)
        layout.addLayout(form)
        layout.addWidget(hint)
        layout.addWidget(self.problem_label)
        layout.addWidget(self.buttons)
        self.setMinimumWidth(460)
        self.function_box.currentIndexChanged.connect(self._function_picked)
        index = self.function_box.findData(selected)
        self.function_box.setCurrentIndex(max(index, 0))
        self._function_picked()
        self.args_edit.setFocus()

    def function_name(self) -> str:
        return self.function_box.currentData()

    def _function_picked(self, _index: int = 0) -> None:
        self.args_edit.setText(self._remembered.get(self.function_name(), ""))
        self.args_edit.setPlaceholderText(self.function_box.currentText())
        self.problem_label.setText("")
        info = self._functions.get(self.function_name())
        self.signature_label.setText(f"def {info.signature}" if info else "")
        doc = info.doc if info else ""
        self.doc_label.setText(doc or "(no docstring)")
        self.doc_label.setEnabled(bool(doc))

    def accept(self) -> None:
        text = self.args_edit.text()
        try:
            values = parse_arguments(text, self._functions.get(self.function_name()))
        except ArgumentError as error:
            self.problem_label.setText(str(error))
            self.args_edit.setFocus()
            if error.span is not None:  # the faulty argument, ready to be typed over
                self.args_edit.setSelection(error.span[0], error.span[1] - error.span[0])
            else:
                self.args_edit.deselect()
            return
        super().accept()
        self.chosen.emit(self.function_name(), values, text)
