"""``ProjectExplorer``: the open workbooks and their modules.

``_workbook_items`` maps each shown workbook id to its tree row. ``add_workbook`` shows a
workbook (or renames it when shown), ``set_modules`` replaces its module list, and
``remove_workbook`` takes it away. Double-clicking a module (or Enter on it) emits
``module_activated``. ``workbooks_changed`` is emitted whenever the set of workbooks or their
names change.

``set_kernel_states({id: state}, busy)`` shows whether the workbook's kernel is "connected",
"starting" or "stopped" (None: not known) beside its name, and "busy" for a connected one whose
id is in `busy`. The context menu offers the actions given to
``set_menu_actions`` for the row under the pointer (a workbook, a module, or blank space);
``current_target()`` is the (workbook id, module name or None) the actions apply to.
"""

from __future__ import annotations

from typing import Dict, Iterable, List, Optional, Set, Tuple

from PySide6.QtCore import Qt, Signal
from PySide6.QtGui import QAction, QBrush, QColor, QContextMenuEvent, QIcon, QPainter, QPixmap
from PySide6.QtWidgets import QHeaderView, QMenu, QTreeWidget, QTreeWidgetItem, QWidget

from ..colors import ERROR, HINT, NOTICE, SUCCESS

__all__ = ["ProjectExplorer"]

_WORKBOOK_ID_ROLE = Qt.ItemDataRole.UserRole
_MODULE_ROLE = Qt.ItemDataRole.UserRole + 1

# How each kernel state reads beside a workbook's name, and its colour.
KERNEL_STATE_LOOKS = {
    "connected": ("connected", SUCCESS),
    "busy": ("busy", NOTICE),  # connected, and running something
    "starting": ("starting...", NOTICE),
    "stopped": ("no kernel", ERROR),
    None: ("", HINT),
}


def _dot(color: str) -> QIcon:
    pixmap = QPixmap(10, 10)
    pixmap.fill(Qt.GlobalColor.transparent)
    painter = QPainter(pixmap)
    painter.setRenderHint(QPainter.RenderHint.Antialiasing)
    painter.setBrush(QColor(color))
    painter.setPen(Qt.PenStyle.NoPen)
    painter.drawEllipse(1, 1, 8, 8)
    painter.end()
    return QIcon(pixmap)


class ProjectExplorer(QTreeWidget):
    module_activated = Signal(str, str)  # workbook id, module name
    workbooks_changed = Signal()

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self.setHeaderHidden(True)
        self.setColumnCount(2)
        self.header().setStretchLastSection(False)
        self.header().setSectionResizeMode(0, QHeaderView.ResizeMode.Stretch)
        self.header().setSectionResizeMode(1, QHeaderView.ResizeMode.ResizeToContents)
        self._workbook_items: Dict[str, QTreeWidgetItem] = {}
        self._workbook_names: Dict[str, Optional[str]] = {}
        self.kernel_states: Dict[str, Optional[str]] = {}
        self.busy: Set[str] = set()
        self._menu_actions: Tuple[List[QAction], List[QAction], List[QAction]] = ([], [], [])
        self.in_context_menu = False
        self.itemDoubleClicked.connect(self._on_double_click)
        self.itemActivated.connect(self._on_double_click)

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
        self._show_kernel_state(workbook_id)
        self.workbooks_changed.emit()

    def set_modules(self, workbook_id: str, names: Iterable[str]) -> None:
        item = self._workbook_items.get(workbook_id)
        if item is None:
            return  # modules of a workbook that is not shown have no place to go
        item.takeChildren()
        for name in names:
            child = QTreeWidgetItem(item, [f"{name}.py", ""])
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

    def set_kernel_states(self, states: Dict[str, Optional[str]],
                          busy: Iterable[str] = ()) -> None:
        """Shows these states (workbook id -> state); workbooks not listed show none."""
        self.kernel_states = dict(states)
        self.busy = set(busy)
        for workbook_id in self._workbook_items:
            self._show_kernel_state(workbook_id)

    def _show_kernel_state(self, workbook_id: str) -> None:
        item = self._workbook_items.get(workbook_id)
        if item is None:
            return
        state = self.kernel_states.get(workbook_id)
        if state == "connected" and workbook_id in self.busy:
            state = "busy"
        text, color = KERNEL_STATE_LOOKS.get(state, KERNEL_STATE_LOOKS[None])
        item.setText(1, text)
        item.setForeground(1, QBrush(QColor(color)))
        item.setIcon(0, _dot(color))
        item.setToolTip(1, f"The kernel of {self.display_name(workbook_id)}: {text or 'unknown'}")

    def select_workbook(self, workbook_id: str) -> None:
        item = self._workbook_items.get(workbook_id)
        if item is not None:
            self.setCurrentItem(item)

    def current_target(self) -> Tuple[Optional[str], Optional[str]]:
        """The (workbook id, module name or None) of the current row; (None, None) if none."""
        item = self.currentItem()
        if item is None:
            return None, None
        return item.data(0, _WORKBOOK_ID_ROLE), item.data(0, _MODULE_ROLE) or None

    def set_menu_actions(self, on_workbook: List[QAction], on_module: List[QAction],
                         on_blank: List[QAction]) -> None:
        self._menu_actions = (list(on_workbook), list(on_module), list(on_blank))

    def contextMenuEvent(self, event: QContextMenuEvent) -> None:
        item = self.itemAt(event.pos()) if event.reason() == QContextMenuEvent.Reason.Mouse \
            else self.currentItem()
        self.setCurrentItem(item)
        on_workbook, on_module, on_blank = self._menu_actions
        if item is None:
            actions = on_blank
        elif item.data(0, _MODULE_ROLE):
            actions = on_module
        else:
            actions = on_workbook
        if actions:
            menu = QMenu(self)
            menu.addActions(actions)
            self.in_context_menu = True  # the actions run inside exec and act on this row
            try:
                menu.exec(event.globalPos())
            finally:
                self.in_context_menu = False

    def has_the_user(self) -> bool:
        """Whether the explorer is where the user is working (focused, or its menu is open)."""
        return self.in_context_menu or self.hasFocus()

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
