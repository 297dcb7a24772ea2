"""``TimerManagerPanel``: the workbooks' timed ("on time") events."""

from __future__ import annotations

from typing import Dict, List, Optional

from PySide6.QtWidgets import QWidget

from .workbook_tree import WorkbookPanel, summary

__all__ = ["TimerManagerPanel"]


class TimerManagerPanel(WorkbookPanel):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.configs: Dict[str, List] = {}

    def add_workbook(self, workbook_id: str, name: Optional[str]) -> None:
        self.tree.update_workbook_name(workbook_id, name)
        self.tree.workbook_row(workbook_id)

    def remove_workbook(self, workbook_id: str) -> None:
        self.configs.pop(workbook_id, None)
        self.tree.remove_workbook(workbook_id)

    def update_ontime_config(self, workbook_id: str, ontime_events: list) -> None:
        self.configs[workbook_id] = list(ontime_events or [])
        self.tree.set_children(workbook_id, [summary(e) for e in self.configs[workbook_id]])
