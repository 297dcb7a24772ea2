"""``EventManagerPanel``: the workbooks' event handlers, as the kernel last reported them.

``_module_cache`` maps workbook id to that workbook's module sources (handlers are picked from
them); ``update_state`` shows the state message of one workbook; ``show_result`` shows the
outcome of a save or a validation.
"""

from __future__ import annotations

from typing import Dict, Optional

from PySide6.QtWidgets import QLabel, QWidget

from .workbook_tree import WorkbookPanel, summary

__all__ = ["EventManagerPanel"]

_ENVELOPE = {"type", "workbook_id", "request_id", "source"}


class EventManagerPanel(WorkbookPanel):
    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self._module_cache: Dict[str, dict] = {}
        self.states: Dict[str, dict] = {}
        self.result_label = QLabel(self)
        self.result_label.setWordWrap(True)
        self.layout_.addWidget(self.result_label)

    def set_module_cache(self, workbook_id: str, modules: dict) -> None:
        self._module_cache[workbook_id] = modules
        self._redraw(workbook_id)

    def update_state(self, workbook_id: str, message: dict) -> None:
        self.states[workbook_id] = message
        self._redraw(workbook_id)

    def show_result(self, message: dict) -> None:
        ok = message.get("success", message.get("valid", False))
        text = message.get("message") or message.get("error") or ("OK" if ok else "Failed")
        self.result_label.setText(str(text))
        self.result_label.setStyleSheet(f"color: {'#4caf50' if ok else '#ff6b6b'};")

    def _redraw(self, workbook_id: str) -> None:
        modules = self._module_cache.get(workbook_id) or {}
        lines = [f"{len(modules)} module(s)"]
        state = self.states.get(workbook_id) or {}
        lines += [f"{key}: {summary(value)}" for key, value in state.items()
                  if key not in _ENVELOPE]
        self.tree.set_children(workbook_id, lines)
