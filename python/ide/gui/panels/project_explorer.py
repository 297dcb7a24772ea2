"""``ProjectExplorer``: the open workbooks and their modules.

``_workbook_items`` maps each shown workbook id to its tree row. ``add_workbook`` shows a
workbook (or renames it when shown), ``set_modules`` replaces its module list, and
``remove_workbook`` takes it away. Double-clicking a module emits ``module_activated``.
``workbooks_changed`` is emitted whenever the set of workbooks or their names change.
"""

from __future__ import annotations

from typing import Dict, Iterable, Optional

from PySide6.QtCore import Qt, Signal
from PySide6.QtWidgets import QTreeWidget, QTreeWidgetItem, QWidget

__all__ = ["ProjectExplorer"]

_WORKBOOK_ID_ROLE = Qt.ItemDataRole.UserRole
_MODULE_ROLE = Qt.ItemDataRole.UserRole + 1


class ProjectExplorer(QTreeWidget):
    module_activated = Signal(str, str)  # workbook id, module name
    workbooks_changed = Signal()

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.setHeaderHidden(True)
        self._workbook_items: Dict[str, QTreeWidgetItem] = {}
        self._workbook_names: Dict[str, Optional[str]] = {}
        self.itemDoubleClicked.connect(self._on_double_click)

    def add_workbook(self, workbook_id: str, name: Optional[str]) -> None:
        self._workbook_names[workbook_id] = name
        item = self._workbook_items.get(workbook_id)
        if item is None:
            item = QTreeWidgetItem(self)
            item.setData(0, _WORKBOOK_ID_ROLE, workbook_id)
            item.setExpanded(True)
            self._workbook_items[workbook_id] = item
        item.setText(0, self.display_name(workbook_id))
        item.setToolTip(0, workbook_id)
        self.workbooks_changed.emit()

    def set_modules(self, workbook_id: str, names: Iterable[str]) -> None:
        item = self._workbook_items.get(workbook_id)
        if item is None:
            return  # modules of a workbook that is not shown have no place to go
        item.takeChildren()
        for name in names:
            child = QTreeWidgetItem(item, [f"{name}.py"])
            child.setData(0, _WORKBOOK_ID_ROLE, workbook_id)
            child.setData(0, _MODULE_ROLE, str(name))
        item.setExpanded(True)

    def remove_workbook(self, workbook_id: str) -> None:
        item = self._workbook_items.pop(workbook_id, None)
        self._workbook_names.pop(workbook_id, None)
        if item is not None:
            self.takeTopLevelItem(self.indexOfTopLevelItem(item))
            self.workbooks_changed.emit()

    def update_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        if workbook_id in self._workbook_items:
            self.add_workbook(workbook_id, name)

    def display_name(self, workbook_id: str) -> str:
        return self._workbook_names.get(workbook_id) or workbook_id

    def modules_of(self, workbook_id: str) -> list:
        item = self._workbook_items.get(workbook_id)
        if item is None:
            return []
        return [item.child(i).data(0, _MODULE_ROLE) for i in range(item.childCount())]

    def _on_double_click(self, item: QTreeWidgetItem, _column: int) -> None:
        module = item.data(0, _MODULE_ROLE)
        if module:
            self.module_activated.emit(item.data(0, _WORKBOOK_ID_ROLE), module)
