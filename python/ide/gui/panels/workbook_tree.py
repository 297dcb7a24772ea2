"""``WorkbookTree``: a tree with one top-level row per workbook; ``WorkbookPanel``, the panel
built around one, the base of most side panels.

Rows are keyed by workbook id; a row shows the workbook's name (its id while it has none) and
the children its panel puts under it. Unknown ids are added on first use, so a panel never
refuses a call for a workbook it has not seen yet.
"""

from __future__ import annotations

from typing import Dict, Iterable, Optional

from PySide6.QtWidgets import QTreeWidget, QTreeWidgetItem, QVBoxLayout, QWidget

__all__ = ["WorkbookPanel", "WorkbookTree", "summary"]


def summary(value: object, limit: int = 80) -> str:
    """A one-line description of a value from a message."""
    if isinstance(value, dict):
        name = value.get("name") or value.get("id") or value.get("function_name")
        if name is not None:
            return str(name)
    text = str(value)
    return text if len(text) <= limit else text[: limit - 1] + "…"


class WorkbookTree(QTreeWidget):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.setHeaderHidden(True)
        self._rows: Dict[str, QTreeWidgetItem] = {}
        self._names: Dict[str, Optional[str]] = {}

    def workbook_row(self, workbook_id: str) -> QTreeWidgetItem:
        row = self._rows.get(workbook_id)
        if row is None:
            row = QTreeWidgetItem(self, [self._title(workbook_id)])
            row.setExpanded(True)
            self._rows[workbook_id] = row
        return row

    def remove_workbook(self, workbook_id: str) -> None:
        row = self._rows.pop(workbook_id, None)
        self._names.pop(workbook_id, None)
        if row is not None:
            self.takeTopLevelItem(self.indexOfTopLevelItem(row))

    def update_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        self._names[workbook_id] = name
        row = self._rows.get(workbook_id)
        if row is not None:
            row.setText(0, self._title(workbook_id))

    def set_children(self, workbook_id: str, texts: Iterable[str]) -> None:
        row = self.workbook_row(workbook_id)
        row.takeChildren()
        for text in texts:
            QTreeWidgetItem(row, [text])
        row.setExpanded(True)

    def children_of(self, workbook_id: str) -> list:
        row = self._rows.get(workbook_id)
        return [] if row is None else [row.child(i).text(0) for i in range(row.childCount())]

    def _title(self, workbook_id: str) -> str:
        return self._names.get(workbook_id) or workbook_id


class WorkbookPanel(QWidget):
    """A panel whose content is a WorkbookTree; it follows workbook renames."""

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.tree = WorkbookTree(self)
        self.layout_ = QVBoxLayout(self)
        self.layout_.setContentsMargins(0, 0, 0, 0)
        self.layout_.addWidget(self.tree)

    def update_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        self.tree.update_workbook_name(workbook_id, name)
