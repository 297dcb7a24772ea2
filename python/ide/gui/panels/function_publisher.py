"""``FunctionPublisherPanel``: the worksheet functions of a workbook, which formulas call by name.

It lists the chosen workbook's functions as the hub last reported them
(``update_publications_from_server``): name, the module function behind it, its parameters,
description, whether it streams (a generator) or is volatile, and what publishes it: a
``@quorvel.function`` decorator in the module, or a publication made here.

Publish... opens ``PublishDialog``: a top-level function of the workbook's modules, and
optionally the name formulas use and a description; it sends "publish_function". Unpublish
sends "unpublish_function" for the selected function published here; a decorated one stays
until its decorator is removed from the module.
"""

from __future__ import annotations

import re
from typing import Callable, Dict, List, Optional

from PySide6.QtCore import Signal
from PySide6.QtWidgets import (QAbstractItemView, QDialog, QDialogButtonBox, QFormLayout,
                               QHBoxLayout, QLabel, QLineEdit, QPushButton, QTableWidget,
                               QTableWidgetItem, QVBoxLayout, QWidget)

from ..colors import ERROR, style
from .automation_panel import AutomationPanel, FunctionBox, ModuleFunction

__all__ = ["FunctionPublisherPanel", "PublishDialog"]

COLUMNS = ("Name", "Function", "Parameters", "Description", "Kind", "Origin")
_NAME_COLUMN, _ORIGIN_COLUMN = 0, 5
# Letters, digits, "_" and ".", starting with a letter; the hub also refuses cell references.
_FUNCTION_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_.]{0,254}")
_DECORATED_TIP = ("The @quorvel.function decorator in {module}.py publishes it: remove the "
                  "decorator there to unpublish it.")


class PublishDialog(QDialog):
    """Asks which module function to publish, and under which name and description; `chosen`
    gets (module name, function name, name, description), the last two "" when left blank."""

    chosen = Signal(str, str, str, str)

    def __init__(self, parent: Optional[QWidget],
                 functions: Callable[[], List[ModuleFunction]]) -> None:
        super().__init__(parent)
        self.setWindowTitle("Publish a worksheet function")
        self.function_box = FunctionBox(functions, self)
        self.function_box.setObjectName("publish_function_box")
        self.name_edit = QLineEdit(self)
        self.name_edit.setObjectName("publish_name")
        self.description_edit = QLineEdit(self)
        self.description_edit.setObjectName("publish_description")
        self.problem_label = QLabel("", self)
        self.problem_label.setStyleSheet(style(ERROR))
        self.problem_label.setWordWrap(True)
        self.buttons = QDialogButtonBox(QDialogButtonBox.StandardButton.Cancel, self)
        self.publish_button = QPushButton("Publish", self)
        self.publish_button.setDefault(True)
        self.buttons.addButton(self.publish_button, QDialogButtonBox.ButtonRole.AcceptRole)
        self.buttons.accepted.connect(self.accept)
        self.buttons.rejected.connect(self.reject)
        form = QFormLayout()
        form.addRow("&Function:", self.function_box)
        form.addRow("&Name:", self.name_edit)
        form.addRow("&Description:", self.description_edit)
        layout = QVBoxLayout(self)
        layout.addLayout(form)
        layout.addWidget(self.problem_label)
        layout.addWidget(self.buttons)
        self.setMinimumWidth(420)
        self.function_box.currentIndexChanged.connect(self._function_picked)
        self._function_picked()

    def _function_picked(self, _index: int = 0) -> None:
        function = self.function_box.chosen()
        self.name_edit.setPlaceholderText(function.function_name.upper() if function else "")
        self.description_edit.setPlaceholderText(
            function.doc if function and function.doc else "(the docstring's first line)")
        self.problem_label.setText(
            "" if function else "The workbook's modules have no top-level function to publish.")
        self.publish_button.setEnabled(function is not None)

    def accept(self) -> None:
        function = self.function_box.chosen()
        name = self.name_edit.text().strip()
        if function is None:
            return
        if name and not _FUNCTION_NAME.fullmatch(name):
            self.problem_label.setText(
                f"'{name}' cannot name a worksheet function: use letters, digits, '_' and '.', "
                "start with a letter, at most 255 characters.")
            self.name_edit.setFocus()
            return
        super().accept()
        self.chosen.emit(function.module_name, function.function_name, name,
                         self.description_edit.text().strip())


class FunctionPublisherPanel(AutomationPanel):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.publications: Dict[str, List[dict]] = {}
        self.dialog: Optional[PublishDialog] = None

        self.table = QTableWidget(0, len(COLUMNS), self)
        self.table.setObjectName("functions")
        self.table.setHorizontalHeaderLabels(COLUMNS)
        self.table.horizontalHeader().setStretchLastSection(True)
        self.table.verticalHeader().setVisible(False)
        self.table.setEditTriggers(QAbstractItemView.EditTrigger.NoEditTriggers)
        self.table.setSelectionBehavior(QAbstractItemView.SelectionBehavior.SelectRows)
        self.table.setSelectionMode(QAbstractItemView.SelectionMode.SingleSelection)
        self.table.itemSelectionChanged.connect(self._update_buttons)
        self.publish_button = QPushButton("Publish...", self)
        self.publish_button.setObjectName("publish")
        self.publish_button.setToolTip("Make a module function callable from formulas")
        self.publish_button.clicked.connect(self.open_publish_dialog)
        self.unpublish_button = QPushButton("Unpublish", self)
        self.unpublish_button.setObjectName("unpublish")
        self.unpublish_button.clicked.connect(self.unpublish_selected)

        buttons = QHBoxLayout()
        buttons.addWidget(self.publish_button)
        buttons.addWidget(self.unpublish_button)
        buttons.addStretch(1)
        self.layout_.addLayout(buttons)
        self.layout_.addWidget(self.table, 1)
        self.layout_.addWidget(self.status_label)
        self._update_buttons()

    def update_publications_from_server(self, workbook_id: str, functions: list) -> None:
        self.publications[workbook_id] = [f for f in functions or [] if isinstance(f, dict)]
        if self._shows(workbook_id):
            self.show_status("")
            self.refresh()

    def remove_workbook(self, workbook_id: str) -> None:
        self.publications.pop(workbook_id, None)
        super().remove_workbook(workbook_id)

    def selected_function(self) -> Optional[dict]:
        rows = {index.row() for index in self.table.selectedIndexes()}
        shown = self.publications.get(self.current_workbook() or "", [])
        if len(rows) != 1:
            return None
        row = rows.pop()
        return shown[row] if row < len(shown) else None

    # --- requests -------------------------------------------------------------------------

    def open_publish_dialog(self) -> Optional[PublishDialog]:
        """Opens the dialog (window-modal, not blocking) for the shown workbook."""
        workbook_id = self.current_workbook()
        if workbook_id is None:
            self.show_status("Open a workbook before publishing functions.", ok=False)
            return None
        dialog = PublishDialog(self, lambda: self.functions(workbook_id))
        dialog.chosen.connect(
            lambda module, function, name, description: self._publish(
                workbook_id, module, function, name, description))
        dialog.finished.connect(dialog.deleteLater)
        self.dialog = dialog
        dialog.open()
        return dialog

    def _publish(self, workbook_id: str, module_name: str, function_name: str, name: str,
                 description: str) -> None:
        fields = {"module_name": module_name, "function_name": function_name}
        if name:
            fields["name"] = name
        if description:
            fields["description"] = description
        self.send("publish_function", workbook_id, **fields)
        self.show_status(f"Publishing {module_name}.{function_name}...")

    def unpublish_selected(self) -> None:
        function, workbook_id = self.selected_function(), self.current_workbook()
        if function is None or workbook_id is None or function.get("origin") == "decorator":
            return
        self.send("unpublish_function", workbook_id, name=function.get("name"))
        self.show_status(f"Unpublishing {function.get('name')}...")

    # --- showing --------------------------------------------------------------------------

    def refresh(self) -> None:
        self.table.setRowCount(0)
        for function in self.publications.get(self.current_workbook() or "", []):
            row = self.table.rowCount()
            self.table.insertRow(row)
            kinds = [kind for kind in ("streaming", "volatile") if function.get(kind)]
            parameters = function.get("parameters") or []
            texts = (function.get("name"),
                     f"{function.get('module_name')}.{function.get('function_name')}",
                     ", ".join(map(str, parameters)) if isinstance(parameters, list)
                     else parameters,
                     function.get("description"), ", ".join(kinds), function.get("origin"))
            for column, text in enumerate(texts):
                item = QTableWidgetItem("" if text is None else str(text))
                if column == _ORIGIN_COLUMN and function.get("origin") == "decorator":
                    item.setToolTip(_DECORATED_TIP.format(module=function.get("module_name")))
                self.table.setItem(row, column, item)
        self._update_buttons()

    def _update_buttons(self) -> None:
        self.publish_button.setEnabled(self.current_workbook() is not None)
        function = self.selected_function()
        decorated = function is not None and function.get("origin") == "decorator"
        self.unpublish_button.setEnabled(function is not None and not decorated)
        self.unpublish_button.setToolTip(
            _DECORATED_TIP.format(module=function.get("module_name")) if decorated
            else "Stop publishing the selected function")
