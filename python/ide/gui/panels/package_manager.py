"""``PackageManagerPanel``: the packages of one workbook at a time, and pip's output.

What it promises:

* ``get_current_workbook()`` is the id of the workbook the panel shows, or None.
* ``update_caches`` (a signal) carries a workbook's packages, package errors and import paths;
  the panel keeps them per workbook and lists those of the shown one: one row per package with
  its version and status.
* ``update_package_status`` sets a package's status in its row as an installation goes on;
  ``log_pip_output`` and ``log_pip_output_colored`` add a line to the pip output view (default
  or given colour).
* ``show_resolved_deps_popup(deps)`` opens a non-modal window listing resolved dependencies.
* A spec typed into the field is installed for the shown workbook with Install (or Enter);
  Remove takes the selected package off the workbook. Requests leave through the signal
  ``send_requested`` (the window sends them to the hub): "install_package", "remove_package",
  and "get_workbook_packages" whenever another workbook is shown.
"""

from __future__ import annotations

import html
import re
from typing import Dict, List, Optional, Tuple

from PySide6.QtCore import Signal
from PySide6.QtGui import QColor, QFontDatabase
from PySide6.QtWidgets import (QAbstractItemView, QDialog, QDialogButtonBox,
                               QHBoxLayout, QLabel, QLineEdit, QListWidget, QPushButton,
                               QTableWidget, QTableWidgetItem, QTextEdit, QVBoxLayout, QWidget)

from ..colors import ERROR, INFO, SUCCESS
from ..workbook_box import WorkbookBox

__all__ = ["PackageManagerPanel"]

STATUS_COLORS = {"installed": SUCCESS, "installing": INFO, "error": ERROR}
_NAME_COLUMN, _VERSION_COLUMN, _STATUS_COLUMN = range(3)


def _same_package(name: str) -> str:
    """Package names as pip compares them: case, "-", "_" and "." do not matter."""
    return re.sub(r"[-_.]+", "-", name).lower()


def _package_rows(packages: object) -> List[Tuple[str, str]]:
    if isinstance(packages, dict):
        return [(str(name), "" if version is None else str(version))
                for name, version in packages.items()]
    rows = []
    for entry in packages or []:
        if isinstance(entry, dict):
            rows.append((str(entry.get("name", "")), str(entry.get("version", ""))))
        else:
            rows.append((str(entry), ""))
    return rows


class PackageManagerPanel(QWidget):
    # workbook id, packages, package errors, python paths
    update_caches = Signal(object, object, object, object)
    # a request for the hub
    send_requested = Signal(dict)

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.caches: Dict[object, tuple] = {}
        self._statuses: Dict[object, Dict[str, Tuple[str, str]]] = {}
        self.deps_popup: Optional[QDialog] = None
        self._requested_for: object = None

        self.workbook_box = WorkbookBox(self)
        self.workbook_box.currentIndexChanged.connect(lambda _i: self._show_packages())
        self.spec_input = QLineEdit(self)
        self.spec_input.setPlaceholderText("package spec, e.g. requests or httpx[http2]==0.27.0")
        self.spec_input.returnPressed.connect(self.install_typed_spec)
        self.install_button = QPushButton("Install", self)
        self.install_button.clicked.connect(self.install_typed_spec)
        self.remove_button = QPushButton("Remove", self)
        self.remove_button.setEnabled(False)
        self.remove_button.clicked.connect(self.remove_selected)

        self.table = QTableWidget(0, 3, self)
        self.table.setHorizontalHeaderLabels(["Package", "Version", "Status"])
        self.table.horizontalHeader().setStretchLastSection(True)
        self.table.verticalHeader().setVisible(False)
        self.table.setEditTriggers(QAbstractItemView.EditTrigger.NoEditTriggers)
        self.table.setSelectionBehavior(QAbstractItemView.SelectionBehavior.SelectRows)
        self.table.setSelectionMode(QAbstractItemView.SelectionMode.SingleSelection)
        self.table.itemSelectionChanged.connect(
            lambda: self.remove_button.setEnabled(self.selected_package() is not None))
        self.output = QTextEdit(self)
        self.output.setReadOnly(True)
        font = QFontDatabase.systemFont(QFontDatabase.SystemFont.FixedFont)
        font.setPointSize(9)
        self.output.setFont(font)
        self.output.setStyleSheet("QTextEdit { background: #1e1e1e; color: #d4d4d4; }")

        top = QHBoxLayout()
        top.addWidget(QLabel("Workbook:", self))
        top.addWidget(self.workbook_box, 1)
        install_row = QHBoxLayout()
        install_row.addWidget(self.spec_input, 1)
        install_row.addWidget(self.install_button)
        install_row.addWidget(self.remove_button)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(4, 4, 4, 4)
        layout.addLayout(top)
        layout.addLayout(install_row)
        layout.addWidget(self.table, 2)
        layout.addWidget(QLabel("pip output", self))
        layout.addWidget(self.output, 3)

        self.update_caches.connect(self._on_update_caches)

    # --- workbooks ------------------------------------------------------------------------

    def get_current_workbook(self) -> Optional[str]:
        return self.workbook_box.current()

    def set_workbooks(self, workbooks: List[Tuple[str, str]]) -> None:
        """The workbooks to choose from, as (id, display name); keeps the current one."""
        self.workbook_box.set_workbooks(workbooks)
        self._show_packages()

    def update_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        self.workbook_box.rename(workbook_id, name)

    # --- requests -------------------------------------------------------------------------

    def install_typed_spec(self) -> None:
        """Asks the hub to install the typed spec for the shown workbook."""
        spec = self.spec_input.text().strip()
        workbook_id = self.get_current_workbook()
        if not spec:
            return
        if workbook_id is None:
            self.log_pip_output_colored("Open a workbook before installing packages", ERROR)
            return
        self.send_requested.emit({"type": "install_package", "workbook_id": workbook_id,
                                  "package_spec": spec})
        self.spec_input.clear()

    def selected_package(self) -> Optional[str]:
        rows = {index.row() for index in self.table.selectedIndexes()}
        if len(rows) != 1:
            return None
        item = self.table.item(rows.pop(), _NAME_COLUMN)
        return item.text() if item is not None else None

    def remove_selected(self) -> None:
        """Asks the hub to take the selected package off the shown workbook."""
        name, workbook_id = self.selected_package(), self.get_current_workbook()
        if name is None or workbook_id is None:
            return
        self.statuses.pop(name, None)
        self.send_requested.emit({"type": "remove_package", "workbook_id": workbook_id,
                                  "package_name": name})

    # --- packages and pip output ----------------------------------------------------------

    @property
    def statuses(self) -> Dict[str, Tuple[str, str]]:
        """The shown workbook's installation statuses, by package name."""
        return self._statuses.setdefault(self.get_current_workbook(), {})

    def update_package_status(self, package_name: str, status: str, error: str = "") -> None:
        self.statuses[package_name] = (status, error)
        self._set_row(package_name, None, status if not error else f"{status}: {error}",
                      STATUS_COLORS.get(status))

    def log_pip_output(self, text: str) -> None:
        self.log_pip_output_colored(text, None)

    def log_pip_output_colored(self, text: str, color: Optional[str]) -> None:
        escaped = html.escape(str(text)).replace("\n", "<br>")
        if color:
            escaped = f'<span style="color:{html.escape(color)}">{escaped}</span>'
        self.output.append(escaped)

    def pip_lines(self) -> List[str]:
        return self.output.toPlainText().splitlines()

    def package_rows(self) -> List[Tuple[str, str, str]]:
        """What the table shows: (package, version, status) per row."""
        def text(row: int, column: int) -> str:
            item = self.table.item(row, column)
            return item.text() if item is not None else ""
        return [(text(r, 0), text(r, 1), text(r, 2)) for r in range(self.table.rowCount())]

    def show_resolved_deps_popup(self, deps: list) -> None:
        popup = QDialog(self)
        popup.setWindowTitle("Resolved dependencies")
        listing = QListWidget(popup)
        for dep in deps or []:
            if isinstance(dep, dict):
                listing.addItem(" ".join(str(v) for v in dep.values()))
            else:
                listing.addItem(str(dep))
        buttons = QDialogButtonBox(QDialogButtonBox.StandardButton.Close, popup)
        buttons.rejected.connect(popup.close)
        layout = QVBoxLayout(popup)
        layout.addWidget(listing)
        layout.addWidget(buttons)
        if self.deps_popup is not None:
            self.deps_popup.close()
        self.deps_popup = popup
        popup.show()

    def _on_update_caches(self, workbook_id, packages, package_errors, python_paths) -> None:
        self.caches[workbook_id] = (packages, package_errors, python_paths)
        if workbook_id == self.get_current_workbook():
            self._show_packages()

    def _show_packages(self) -> None:
        workbook_id = self.get_current_workbook()
        if workbook_id is not None and workbook_id != self._requested_for:
            self.send_requested.emit({"type": "get_workbook_packages", "workbook_id": workbook_id})
        self._requested_for = workbook_id
        packages, errors, _paths = self.caches.get(workbook_id, (None, None, None))
        self.table.setRowCount(0)
        listed = set()
        for name, version in _package_rows(packages):
            listed.add(_same_package(name))
            self._set_row(name, version, "installed", STATUS_COLORS["installed"])
        for name, error in (errors or {}).items():
            self._set_row(str(name), None, f"error: {error}", STATUS_COLORS["error"])
        for name, (status, error) in list(self.statuses.items()):
            if status == "installed" and _same_package(name) in listed:
                del self.statuses[name]  # the list says it now
                continue
            self._set_row(name, None, status if not error else f"{status}: {error}",
                          STATUS_COLORS.get(status))
        self.remove_button.setEnabled(self.selected_package() is not None)

    def _set_row(self, name: str, version: Optional[str], status: str,
                 color: Optional[str]) -> None:
        key = _same_package(name)
        for row in range(self.table.rowCount()):
            if _same_package(self.table.item(row, _NAME_COLUMN).text()) == key:
                break
        else:
            row = self.table.rowCount()
            self.table.insertRow(row)
            self.table.setItem(row, _NAME_COLUMN, QTableWidgetItem(name))
        if version is not None:
            self.table.setItem(row, _VERSION_COLUMN, QTableWidgetItem(version))
        item = QTableWidgetItem(status)
        if color:
            item.setForeground(QColor(color))
        self.table.setItem(row, _STATUS_COLUMN, item)
