"""``FunctionPublisherPanel``: the module functions each workbook publishes to Excel."""

from __future__ import annotations

from typing import Dict, List, Optional

from PySide6.QtWidgets import QWidget

from .workbook_tree import WorkbookPanel, summary

__all__ = ["FunctionPublisherPanel"]


class FunctionPublisherPanel(WorkbookPanel):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.publications: Dict[str, List] = {}

    def update_publications_from_server(self, workbook_id: str, functions: list) -> None:
        self.publications[workbook_id] = list(functions or [])
        self.tree.set_children(workbook_id, [summary(f) for f in self.publications[workbook_id]])
