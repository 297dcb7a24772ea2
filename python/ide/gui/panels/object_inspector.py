"""``ObjectInspectorPanel``: the objects each workbook's kernel keeps for user code.

``handle_registry_response`` replaces a workbook's object list; ``handle_registry_update``
applies one change ("added", "updated", "removed" or "cleared"; other actions are recorded and
leave the list as it is).
"""

from __future__ import annotations

from typing import Dict, List, Optional

from PySide6.QtWidgets import QWidget

from .workbook_tree import WorkbookPanel, summary

__all__ = ["ObjectInspectorPanel"]


def _name_of(entry: object) -> str:
    return summary(entry)


class ObjectInspectorPanel(WorkbookPanel):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.objects: Dict[str, List] = {}
        self.updates: List[tuple] = []

    def handle_registry_response(self, workbook_id: str, objects: list) -> None:
        self.objects[workbook_id] = list(objects or [])
        self._redraw(workbook_id)

    def handle_registry_update(self, workbook_id: str, action: str, message: dict) -> None:
        self.updates.append((workbook_id, action))
        objects = self.objects.setdefault(workbook_id, [])
        entry = message.get("object") or message.get("name") or message.get("object_id")
        name = _name_of(entry) if entry is not None else None
        if action == "cleared":
            objects.clear()
        elif action in ("added", "updated") and entry is not None:
            objects[:] = [o for o in objects if _name_of(o) != name] + [entry]
        elif action == "removed" and entry is not None:
            objects[:] = [o for o in objects if _name_of(o) != name]
        self._redraw(workbook_id)

    def _redraw(self, workbook_id: str) -> None:
        self.tree.set_children(workbook_id, [_name_of(o) for o in self.objects[workbook_id]])
