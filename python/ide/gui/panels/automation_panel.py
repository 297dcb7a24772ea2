"""``AutomationPanel``: the base of the panels of worksheet functions, event handlers and
timers, which show one workbook at a time and pick functions from its modules (``FunctionBox``,
``module_functions``). A call for a workbook the panel has not seen yet adds it, so that a
panel never refuses one.
"""

from __future__ import annotations

import ast
import itertools
from typing import Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple

from PySide6.QtCore import Signal
from PySide6.QtWidgets import QComboBox, QHBoxLayout, QLabel, QVBoxLayout, QWidget

from ..colors import ERROR, style
from ..workbook_box import WorkbookBox

__all__ = ["AutomationPanel", "FunctionBox", "ModuleFunction", "module_functions",
           "new_request_id"]

_ERROR_STYLE = style(ERROR)


class ModuleFunction(NamedTuple):
    """A top-level function of a workbook module, as its source shows it."""

    module_name: str
    function_name: str
    parameters: str  # as written, e.g. "value, rate=0.05"
    doc: str  # the first line of its docstring, or ""

    @property
    def label(self) -> str:
        return f"{self.module_name}.{self.function_name}({self.parameters})"


def module_functions(modules: Mapping[str, object]) -> List[ModuleFunction]:
    """The plain ``def`` functions at the top of each module, by module name then in source
    order; a module that does not parse has none (its editor shows why)."""
    found = []
    for module_name in sorted(modules):
        source = modules[module_name]
        if not isinstance(source, str):
            continue
        try:
            tree = ast.parse(source)
        except (SyntaxError, ValueError):
            continue
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                doc = (ast.get_docstring(node) or "").strip().splitlines()
                found.append(ModuleFunction(module_name, node.name, ast.unparse(node.args),
                                            doc[0].strip() if doc else ""))
    return found


class FunctionBox(QComboBox):
    """A choice among a workbook's module functions. `functions` is asked again each time the
    list opens, so that a module saved meanwhile is offered as it is now."""

    def __init__(self, functions: Callable[[], List[ModuleFunction]],
                 parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self._source = functions
        self._functions: List[ModuleFunction] = []
        self.reload()

    def reload(self) -> None:
        """Lists the functions anew; the chosen one stays chosen while it exists."""
        chosen = self.chosen()
        self._functions = list(self._source())
        self.clear()
        for function in self._functions:
            self.addItem(function.label)
        if chosen is not None:
            self.select(chosen.module_name, chosen.function_name, reload=False)

    def chosen(self) -> Optional[ModuleFunction]:
        index = self.currentIndex()
        return self._functions[index] if 0 <= index < len(self._functions) else None

    def select(self, module_name: str, function_name: str, reload: bool = True) -> bool:
        if reload:
            self.reload()
        for index, function in enumerate(self._functions):
            if (function.module_name, function.function_name) == (module_name, function_name):
                self.setCurrentIndex(index)
                return True
        return False

    def showPopup(self) -> None:
        self.reload()
        super().showPopup()


_request_numbers = itertools.count(1)


def new_request_id() -> str:
    return f"ide-automation-{next(_request_numbers)}"


class AutomationPanel(QWidget):
    """A panel of one workbook's automation (worksheet functions, event handlers, timers): it
    shows the workbook chosen at its top, and its requests leave through ``send_requested``
    (the window sends them to the hub), each with the workbook's id and a new request id.

    A workbook's module sources come from ``module_source(workbook_id)`` when the window gives
    one (its own cache), else from what ``set_module_cache`` was given. A state for a workbook
    the panel has not been told of adds it to the choice.
    """

    send_requested = Signal(dict)

    def __init__(self, parent: Optional[QWidget] = None) -> None:
        super().__init__(parent)
        self._module_cache: Dict[str, dict] = {}
        self._names: Dict[str, Optional[str]] = {}
        self.module_source: Optional[Callable[[str], Optional[dict]]] = None

        self.workbook_box = WorkbookBox(self)
        self.workbook_box.setObjectName("workbook")
        self.workbook_box.currentIndexChanged.connect(lambda _index: self.refresh())
        self.status_label = QLabel("", self)
        self.status_label.setObjectName("status")
        self.status_label.setWordWrap(True)
        top = QHBoxLayout()
        top.addWidget(QLabel("Workbook:", self))
        top.addWidget(self.workbook_box, 1)
        self.layout_ = QVBoxLayout(self)
        self.layout_.setContentsMargins(4, 4, 4, 4)
        self.layout_.addLayout(top)

    # --- workbooks ------------------------------------------------------------------------

    def current_workbook(self) -> Optional[str]:
        return self.workbook_box.current()

    def set_workbooks(self, workbooks: Iterable[Tuple[str, str]]) -> None:
        """The workbooks to choose from, as (id, display name); keeps the chosen one."""
        self.workbook_box.set_workbooks(workbooks)
        self.refresh()

    def add_workbook(self, workbook_id: str, name: Optional[str]) -> None:
        if name is not None:
            self._names[workbook_id] = name
        if self.workbook_box.findData(workbook_id) < 0:
            self.workbook_box.addItem(self._names.get(workbook_id) or workbook_id, workbook_id)

    def remove_workbook(self, workbook_id: str) -> None:
        self._names.pop(workbook_id, None)
        index = self.workbook_box.findData(workbook_id)
        if index >= 0:
            self.workbook_box.removeItem(index)

    def update_workbook_name(self, workbook_id: str, name: Optional[str]) -> None:
        self._names[workbook_id] = name
        self.workbook_box.rename(workbook_id, name)

    def _shows(self, workbook_id: str) -> bool:
        """Adds the workbook to the choice if needed; whether it is the one shown."""
        self.add_workbook(workbook_id, None)
        return workbook_id == self.current_workbook()

    # --- modules --------------------------------------------------------------------------

    def set_module_cache(self, workbook_id: str, modules: dict) -> None:
        self._module_cache[workbook_id] = modules
        if workbook_id == self.current_workbook():
            self.refresh()

    def modules(self, workbook_id: Optional[str]) -> dict:
        if workbook_id is None:
            return {}
        if self.module_source is not None:
            modules = self.module_source(workbook_id)
            if modules is not None:
                return modules
        return self._module_cache.get(workbook_id) or {}

    def functions(self, workbook_id: Optional[str]) -> List[ModuleFunction]:
        return module_functions(self.modules(workbook_id))

    # --- requests and what became of them ---------------------------------------------------

    def send(self, kind: str, workbook_id: str, **fields: object) -> dict:
        message = {"type": kind, "workbook_id": workbook_id, **fields,
                   "request_id": new_request_id()}
        self.send_requested.emit(message)
        return message

    def show_status(self, text: str, ok: bool = True) -> None:
        self.status_label.setText(text)
        self.status_label.setStyleSheet("" if ok else _ERROR_STYLE)

    def refresh(self) -> None:
        """Shows the chosen workbook's state; each panel has its own."""
