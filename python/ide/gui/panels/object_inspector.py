"""``ObjectInspectorPanel``: the objects each workbook's kernel keeps for user code.

It lists the kept objects of the workbook chosen at its top (key, type, and the object's repr as
the kernel gave it), live:

* ``handle_registry_response(workbook_id, objects)`` replaces a workbook's list with the
  kernel's registry (entries {``key``, ``type``, ``repr``}).
* ``handle_registry_update(workbook_id, action, message)`` applies one change: "update"
  (``key``, ``object_type``, ``repr``) adds or replaces an object, "delete" (``key``) drops
  it, "clear_all" empties the list; other actions leave it as it is.
* Whenever another workbook is chosen the panel asks its kernel for the whole registry: the
  signal ``send_requested`` carries {"type": "get_object_registry", "workbook_id": ...}.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Tuple

from PySide6.QtCore import Signal
from PySide6.QtWidgets import (QAbstractItemView, QHBoxLayout, QLabel, QTableWidget,
                               QTableWidgetItem, QVBoxLayout, QWidget)

from ..workbook_box import WorkbookBox

__all__ = ["ObjectInspectorPanel"]

# The panel shows the start of a long repr; the tool tip holds up to this many characters.
TOOLTIP_CHARS = 2000
SHOWN_CHARS = 200


def _shown(text: str) -> str:
    line = " ".join(text.split())
    return line if len(line) <= SHOWN_CHARS else line[: SHOWN_CHARS - 1] + "…"


class ObjectInspectorPanel(QWidget):
    send_requested = Signal(dict)

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        # workbook id -> key -> (type name, repr), in the order the kernel kept them
        self.objects: Dict[str, Dict[str, Tuple[str, str]]] = {}
        self.updates: List[tuple] = []
        self._requested_for: Optional[str] = None
        self._rows: Dict[str, int] = {}  # key -> table row, for the shown workbook

        self.workbook_box = WorkbookBox(self)
        self.workbook_box.currentIndexChanged.connect(lambda _i: self._show_current())
        self.table = QTableWidget(0, 3, self)
        self.table.setHorizontalHeaderLabels(["Key", "Type", "Value"])
        self.table.horizontalHeader().setStretchLastSection(True)
        self.table.verticalHeader().setVisible(False)
        self.table.setEditTriggers(QAbstractItemView.EditTrigger.NoEditTriggers)
        self.table.setSelectionBehavior(QAbstractItemView.SelectionBehavior.SelectRows)

        top = QHBoxLayout()
        top.addWidget(QLabel("Workbook:", self))
        top.addWidget(self.workbook_box, 1)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(4, 4, 4, 4)
        layout.addLayout(top)
        layout.addWidget(self.table)

    # --- workbooks ------------------------------------------------------------------------

    def current_workbook(self) -> Optional[str]:
        return self.workbook_box.current()

    def set_workbooks(self, workbooks: List[Tuple[str, str]]) -> None:
        """The workbooks to choose from, as (id, display name); keeps the current one."""
        self.workbook_box.set_workbooks(workbooks)
        self._show_current()

    def update_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        self.workbook_box.rename(workbook_id, name)

    # --- the registry ---------------------------------------------------------------------

    def handle_registry_response(self, workbook_id: str, objects: list) -> None:
        kept: Dict[str, Tuple[str, str]] = {}
        for entry in objects or []:
            if isinstance(entry, dict) and entry.get("key") is not None:
                kept[str(entry["key"])] = (str(entry.get("type", "")), str(entry.get("repr", "")))
        self.objects[workbook_id] = kept
        self._redraw(workbook_id)

    def handle_registry_update(self, workbook_id: str, action: str, message: dict) -> None:
        self.updates.append((workbook_id, action))
        kept = self.objects.setdefault(workbook_id, {})
        key = message.get("key")
        if action == "clear_all":
            kept.clear()
        elif action == "update" and key is not None:
            kept[str(key)] = (str(message.get("object_type", "")), str(message.get("repr", "")))
            if workbook_id == self.current_workbook():
                # One row changes: a loop that keeps thousands of objects must not redraw all.
                self._set_row(str(key), *kept[str(key)])
                return
        elif action == "delete" and key is not None:
            kept.pop(str(key), None)
        self._redraw(workbook_id)

    def keys_of(self, workbook_id: str) -> List[str]:
        return list(self.objects.get(workbook_id, {}))

    def _show_current(self) -> None:
        workbook_id = self.current_workbook()
        if workbook_id is not None and workbook_id != self._requested_for:
            self.send_requested.emit({"type": "get_object_registry", "workbook_id": workbook_id})
        self._requested_for = workbook_id
        self._redraw(workbook_id)

    def _redraw(self, workbook_id: Optional[str]) -> None:
        if workbook_id != self.current_workbook():
            return
        kept = self.objects.get(workbook_id, {}) if workbook_id is not None else {}
        self.table.setRowCount(0)
        self._rows.clear()
        for key, (type_name, text) in kept.items():
            self._set_row(key, type_name, text)

    def _set_row(self, key: str, type_name: str, text: str) -> None:
        row = self._rows.get(key)
        if row is None:
            row = self._rows[key] = self.table.rowCount()
            self.table.insertRow(row)
            self.table.setItem(row, 0, QTableWidgetItem(key))
        value = QTableWidgetItem(_shown(text))
        value.setToolTip(text[:TOOLTIP_CHARS])
        self.table.setItem(row, 1, QTableWidgetItem(type_name))
        self.table.setItem(row, 2, value)
