"""``DebugPanel``: what a paused debug run shows, and the box that evaluates in its frame.

* ``show_pause(message)`` fills the Variables tree (the paused frame's locals and globals:
  name, type, value) and the Call stack (innermost frame first: function, module, line) from a
  "debug_paused" message; ``clear()`` empties both.
* Clicking a frame emits ``frame_activated`` with its record (``module``, ``function``,
  ``line``, ``file``).
* Enter in the expression box emits ``expression_entered`` with the text (the box empties, its
  earlier expressions come back with Up and Down); the box takes text only while paused.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional

from PySide6.QtCore import Qt, Signal
from PySide6.QtGui import QKeyEvent
from PySide6.QtWidgets import (QLabel, QLineEdit, QSplitter, QTreeWidget, QTreeWidgetItem,
                               QVBoxLayout, QWidget)

__all__ = ["DebugPanel"]

FRAME_ROLE = Qt.ItemDataRole.UserRole


class _ExpressionEdit(QLineEdit):
    """A line edit that recalls its earlier expressions with Up and Down."""

    entered = Signal(str)

    def __init__(self, parent: QWidget) -> None:
        super().__init__(parent)
        self.history: List[str] = []
        self._back = 0

    def keyPressEvent(self, event: QKeyEvent) -> None:
        key = event.key()
        if key in (Qt.Key.Key_Return, Qt.Key.Key_Enter):
            text = self.text().strip()
            if text:
                if not self.history or self.history[-1] != text:
                    self.history.append(text)
                self._back = 0
                self.clear()
                self.entered.emit(text)
        elif key in (Qt.Key.Key_Up, Qt.Key.Key_Down) and self.history:
            step = 1 if key == Qt.Key.Key_Up else -1
            self._back = max(0, min(len(self.history), self._back + step))
            self.setText(self.history[-self._back] if self._back else "")
        else:
            super().keyPressEvent(event)


class DebugPanel(QWidget):
    frame_activated = Signal(dict)
    expression_entered = Signal(str)

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.state_label = QLabel("Not debugging. Set breakpoints in the gutter, then Debug (F9).",
                                  self)
        self.state_label.setWordWrap(True)
        self.expression_edit = _ExpressionEdit(self)
        self.expression_edit.setPlaceholderText("Evaluate in the paused frame (Enter)")
        self.expression_edit.entered.connect(self.expression_entered)
        self.variables = QTreeWidget(self)
        self.variables.setHeaderLabels(["Variable", "Type", "Value"])
        self.variables.setUniformRowHeights(True)
        self.stack = QTreeWidget(self)
        self.stack.setHeaderLabels(["Call stack", "Module", "Line"])
        self.stack.setRootIsDecorated(False)
        self.stack.itemClicked.connect(self._frame_clicked)
        self.stack.itemActivated.connect(self._frame_clicked)
        splitter = QSplitter(Qt.Orientation.Vertical, self)
        splitter.addWidget(self.variables)
        splitter.addWidget(self.stack)
        splitter.setSizes([260, 140])
        layout = QVBoxLayout(self)
        layout.setContentsMargins(4, 4, 4, 4)
        layout.addWidget(self.state_label)
        layout.addWidget(self.expression_edit)
        layout.addWidget(splitter)
        self.set_paused(False)

    def set_paused(self, paused: bool) -> None:
        self.expression_edit.setEnabled(paused)

    def set_state(self, text: str) -> None:
        self.state_label.setText(text)

    def clear(self) -> None:
        self.variables.clear()
        self.stack.clear()
        self.set_paused(False)

    def show_pause(self, message: Dict[str, Any]) -> None:
        self.variables.clear()
        for title, key in (("Locals", "locals"), ("Globals", "globals")):
            entries = [e for e in message.get(key) or [] if isinstance(e, dict)]
            scope = QTreeWidgetItem(self.variables, [f"{title} ({len(entries)})", "", ""])
            for entry in entries:
                value = str(entry.get("value", ""))
                row = QTreeWidgetItem(scope, [str(entry.get("name", "")),
                                              str(entry.get("type", "")), value])
                row.setToolTip(2, value)
            scope.setExpanded(True)
        self.variables.resizeColumnToContents(0)
        self.variables.resizeColumnToContents(1)
        self.stack.clear()
        for frame in message.get("call_stack") or []:
            if not isinstance(frame, dict):
                continue
            row = QTreeWidgetItem(self.stack, [f"{frame.get('function', '?')}()",
                                               str(frame.get("module") or ""),
                                               str(frame.get("line", ""))])
            row.setToolTip(0, str(frame.get("file") or ""))
            row.setData(0, FRAME_ROLE, frame)
        if self.stack.topLevelItemCount():
            self.stack.setCurrentItem(self.stack.topLevelItem(0))
        self.stack.resizeColumnToContents(0)
        self.set_paused(True)

    def variable_rows(self, scope: str) -> Dict[str, List[str]]:
        """The rows of a scope ("Locals" or "Globals") as shown: name -> [type, value]."""
        for index in range(self.variables.topLevelItemCount()):
            top = self.variables.topLevelItem(index)
            if top.text(0).startswith(scope + " "):
                return {top.child(i).text(0): [top.child(i).text(1), top.child(i).text(2)]
                        for i in range(top.childCount())}
        return {}

    def _frame_clicked(self, item: QTreeWidgetItem, _column: int = 0) -> None:
        frame = item.data(0, FRAME_ROLE)
        if isinstance(frame, dict):
            self.frame_activated.emit(frame)
