"""``PackageManagerPanel``: the packages of one workbook at a time, and pip's output.

What it promises:

* ``get_current_workbook()`` is the id of the workbook the panel shows, or None.
* ``update_caches`` (a signal) carries a workbook's packages, package errors and import paths;
  the panel keeps them per workbook and lists those of the shown one.
* ``update_package_status`` sets a package's status row; ``log_pip_output`` and
  ``log_pip_output_colored`` add a line to the pip output view (default or given colour).
* ``show_resolved_deps_popup(deps)`` opens a non-modal window listing resolved dependencies.
"""

from __future__ import annotations

import html
from typing import Dict, List, Optional, Tuple

from PySide6.QtCore import Signal
from PySide6.QtGui import QColor, QFontDatabase
from PySide6.QtWidgets import (QComboBox, QDialog, QDialogButtonBox, QHBoxLayout, QLabel,
                               QListWidget, QTableWidget, QTableWidgetItem, QTextEdit,
                               QVBoxLayout, QWidget)

__all__ = ["PackageManagerPanel"]

STATUS_COLORS = {"installed": "#4caf50", "installing": "#4daafc", "error": "#ff6b6b"}


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

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.caches: Dict[object, tuple] = {}
        self.statuses: Dict[str, Tuple[str, str]] = {}
        self.deps_popup: Optional[QDialog] = None

        self.workbook_box = QComboBox(self)
        self.workbook_box.currentIndexChanged.connect(lambda _i: self._show_packages())
        self.table = QTableWidget(0, 2, self)
        self.table.setHorizontalHeaderLabels(["Package", "Version / status"])
        self.table.horizontalHeader().setStretchLastSection(True)
        self.table.verticalHeader().setVisible(False)
        self.output = QTextEdit(self)
        self.output.setReadOnly(True)
        font = QFontDatabase.systemFont(QFontDatabase.SystemFont.FixedFont)
        font.setPointSize(9)
        self.output.setFont(font)
        self.output.setStyleSheet("QTextEdit { background: #1e1e1e; color: #d4d4d4; }")

        top = QHBoxLayout()
        top.addWidget(QLabel("Workbook:", self))
        top.addWidget(self.workbook_box, 1)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(4, 4, 4, 4)
        layout.addLayout(top)
        layout.addWidget(self.table, 2)
        layout.addWidget(QLabel("pip output", self))
        layout.addWidget(self.output, 3)

        self.update_caches.connect(self._on_update_caches)

    # --- workbooks ------------------------------------------------------------------------

    def get_current_workbook(self) -> Optional[str]:
        return self.workbook_box.currentData()

    def set_workbooks(self, workbooks: List[Tuple[str, str]]) -> None:
        """The workbooks to choose from, as (id, display name); keeps the current one."""
        current = self.get_current_workbook()
        self.workbook_box.blockSignals(True)
        self.workbook_box.clear()
        for workbook_id, name in workbooks:
            self.workbook_box.addItem(name, workbook_id)
        index = self.workbook_box.findData(current)
        self.workbook_box.setCurrentIndex(index if index >= 0 else (0 if workbooks else -1))
        self.workbook_box.blockSignals(False)
        self._show_packages()

    def update_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        index = self.workbook_box.findData(workbook_id)
        if index >= 0:
            self.workbook_box.setItemText(index, name or workbook_id)

    # --- packages and pip output ----------------------------------------------------------

    def update_package_status(self, package_name: str, status: str, error: str = "") -> None:
        self.statuses[package_name] = (status, error)
        self._set_row(package_name, status if not error else f"{status}: {error}",
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
        packages, errors, _paths = self.caches.get(self.get_current_workbook(), (None, None, None))
        self.table.setRowCount(0)
        for name, version in _package_rows(packages):
            self._set_row(name, version, None)
        for name, error in (errors or {}).items():
            self._set_row(str(name), f"error: {error}", STATUS_COLORS["error"])
        for name, (status, error) in self.statuses.items():
            self._set_row(name, status if not error else f"{status}: {error}",
                          STATUS_COLORS.get(status))

    def _set_row(self, name: str, value: str, color: Optional[str]) -> None:
        for row in range(self.table.rowCount()):
            if self.table.item(row, 0).text() == name:
                break
        else:
            row = self.table.rowCount()
            self.table.insertRow(row)
            self.table.setItem(row, 0, QTableWidgetItem(name))
        item = QTableWidgetItem(value)
        if color:
            item.setForeground(QColor(color))
        self.table.setItem(row, 1, item)
