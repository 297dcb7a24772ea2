"""``WorkbookActions``: opening a new workbook and restarting a workbook's kernel, and showing
each workbook's kernel state in the project explorer.

What it promises:

* New Workbook asks for a name and asks the hub to open it: the hub launches its kernel; once
  connected the workbook is picked in the explorer and the console's "Run in" box.
* Restart Kernel asks first (the namespace is lost, the modules are kept), then asks the hub.
* The explorer shows each workbook's kernel state as the hub reports it.
* ``reopen(workbook_id, modules)`` brings back the workbook a person last worked in: once the
  hub's workbooks are known, it is picked and its modules' tabs reopened, or, when the hub does
  not have it, opened anew.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional

from PySide6.QtCore import QObject
from PySide6.QtGui import QAction, QKeySequence

from .dialogs import Button, NameDialog, ask
from .hub_channel import reply_problem

if TYPE_CHECKING:
    from .main_window import MainWindow

__all__ = ["WorkbookActions"]

RED = "#ff6b6b"
GREEN = "#4caf50"


class WorkbookActions(QObject):
    def __init__(self, window: "MainWindow") -> None:
        super().__init__(window)
        self.window = window
        self.new_workbook_action = QAction("New &Workbook...", window)
        self.new_workbook_action.setShortcut(QKeySequence("Ctrl+Shift+N"))
        self.new_workbook_action.triggered.connect(lambda _c=False: self.new_workbook())
        self.restart_action = QAction("Restart &Kernel...", window)
        self.restart_action.setShortcut(QKeySequence("Ctrl+Shift+F5"))
        self.restart_action.setToolTip("Start the workbook's kernel afresh: the namespace is "
                                       "lost, the modules are kept")
        self.restart_action.triggered.connect(lambda _c=False: self.restart_kernel())
        self._reopen: Optional[Dict[str, Any]] = None
        window.channel.kernel_states_changed.connect(self._kernels_changed)

    # --- new workbook ---------------------------------------------------------------------

    def new_workbook(self) -> None:
        shown = set(self.window.project_explorer._workbook_items)
        number = len(shown) + 1
        while f"Book{number}.xlsx" in shown:
            number += 1

        def problem(name: str) -> Optional[str]:
            if not name:
                return "Type a name for the workbook."
            if name in shown:
                return f"{name} is open already."
            return None

        dialog = NameDialog(self.window, "New workbook", "Workbook &name:",
                            f"Book{number}.xlsx", problem)
        dialog.chosen.connect(self.open_workbook)
        dialog.open()

    def open_workbook(self, name: str) -> None:
        window = self.window
        window.notify(f"Opening {name}: the hub starts its kernel...", "#9e9e9e")

        def opened(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "workbook_opened")
            if problem:
                window.notify(f"Could not open {name}: {problem}", RED)
                return
            window.notify(f"{name} is open and its kernel is connected.", GREEN)
            window.pick_workbook(name)

        window.channel.new_workbook(name, opened)

    # --- restart --------------------------------------------------------------------------

    def restart_kernel(self) -> None:
        window = self.window
        workbook_id = window.target_workbook()
        if workbook_id is None:
            window.notify("Pick the workbook whose kernel to restart in the project explorer.",
                          RED)
            return
        book = window.workbook_display_name(workbook_id)

        def answered(answer: Button) -> None:
            if answer == Button.Yes:
                self._restart(workbook_id, book)

        ask(window, "Restart kernel",
            f"Restart the kernel of {book}? Names defined by cells and running code are lost; "
            "the modules are kept.", Button.Yes | Button.Cancel, Button.Yes, answered)

    def _restart(self, workbook_id: str, book: str) -> None:
        window = self.window
        window.notify(f"Restarting the kernel of {book}...", "#9e9e9e")

        def restarted(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "kernel_restarted")
            if problem:
                window.notify(f"The kernel of {book} did not restart: {problem}", RED)
            else:
                window.notify(f"The kernel of {book} restarted: a fresh namespace, the same "
                              "modules.", GREEN)

        window.channel.restart_kernel(workbook_id, restarted)

    # --- kernel states and reopening ------------------------------------------------------

    def reopen(self, workbook_id: str, modules: List[str], current: Optional[str]) -> None:
        self._reopen = {"id": workbook_id, "modules": list(modules), "current": current}

    def _kernels_changed(self, states: Dict[str, str]) -> None:
        self.window.project_explorer.set_kernel_states(states)
        if self._reopen is not None and self.window.channel.is_connected():
            wanted, self._reopen = self._reopen, None
            if wanted["id"] in states:
                self.window.pick_workbook(wanted["id"])
                for module in wanted["modules"]:
                    self.window._open_module_from_cache(wanted["id"], module)
                if wanted["current"]:
                    self.window._open_module_from_cache(wanted["id"], wanted["current"])
            else:
                self.open_workbook(wanted["id"])
