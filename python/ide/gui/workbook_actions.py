"""``WorkbookActions``: workbook files (new, open, recent, close, save as, reload), kernel
restarts, and each workbook's kernel state in the project explorer.

What it promises:

* New Workbook asks where to create the file, Open Workbook which file to open (recent ones are
  a click away); the hub opens it and launches its kernel; once connected the workbook is picked
  in the explorer and the console's "Run in" box.
* Close Workbook saves or drops unsaved edits first, as the person chooses; the hub saves the
  file and stops the kernel.
* When the hub reports that another program changed a workbook's file, the person is asked once
  what to do: Save As (the hub keeps everything it holds in a file of its own), Reload (read the
  file again; what the hub held that it lacks is dropped), or Later.
* Restart Kernel asks first (the namespace is lost, the modules are kept), then asks the hub.
* ``reopen(...)`` brings back the workbook a person last worked in: once the hub's workbooks are
  known, it is picked and its modules' tabs reopened, or, when the hub does not have it, its file
  is opened.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional

from PySide6.QtCore import QObject, Signal
from PySide6.QtGui import QAction, QKeySequence
from PySide6.QtWidgets import QMenu

from .colors import ECHO, ERROR, SUCCESS
from .dialogs import Button, WorkbookFileDialog, ask, choose
from .hub_channel import reply_problem

if TYPE_CHECKING:
    from .hosts import WorkbookHost

__all__ = ["MAX_RECENT", "WorkbookActions"]

MAX_RECENT = 10
SAVE_AS, RELOAD, LATER = "Save As...", "Reload", "Later"


class WorkbookActions(QObject):
    # Asks for a module to be saved before its workbook closes, then `then` (editor, then).
    save_requested = Signal(object, object)

    def __init__(self, host: "WorkbookHost") -> None:
        super().__init__(host.window())
        self.host = host
        self.new_workbook_action = self._action("New &Workbook...", "Ctrl+Shift+N",
                                                self.new_workbook)
        self.open_workbook_action = self._action("&Open Workbook...", "Ctrl+O",
                                                 self.choose_workbook)
        self.close_workbook_action = self._action("Close Work&book", None, self.close_workbook)
        self.save_as_action = self._action("Save Workbook &As...", None, self.save_workbook_as)
        self.reload_action = self._action("Reload Workbook from &Disk", None,
                                          self.reload_workbook)
        self.restart_action = self._action("Restart &Kernel...", "Ctrl+Shift+F5",
                                           self.restart_kernel)
        self.restart_action.setToolTip("Start the workbook's kernel afresh: the namespace is "
                                       "lost, the modules are kept")
        self.recent_menu = QMenu("Open &Recent", host.window())
        self.recent: List[str] = []
        # The folder the file dialogs start in: where the last workbook was.
        self.folder = os.path.expanduser("~")
        self._reopen: Optional[Dict[str, Any]] = None
        self._problems_asked: Dict[str, str] = {}
        self._fill_recent_menu()
        host.channel.kernel_states_changed.connect(self._kernels_changed)
        host.channel.workbook_files_changed.connect(self._files_changed)

    def _action(self, text: str, shortcut: Optional[str], slot: Callable[[], None]) -> QAction:
        action = QAction(text, self.host.window())
        if shortcut:
            action.setShortcut(QKeySequence(shortcut))
        action.triggered.connect(lambda _checked=False: slot())
        return action

    # --- new, open, recent ----------------------------------------------------------------

    def new_workbook(self) -> None:
        dialog = WorkbookFileDialog(self.host.window(), "New workbook", self.folder, saving=True)
        dialog.chosen.connect(self.create_workbook)
        dialog.open()

    def create_workbook(self, target: str) -> None:
        """Asks the hub for a new workbook file: a full path, or a name in its own folder."""
        name = os.path.basename(target)
        self.host.notify(f"Creating {name}: the hub starts its kernel...", ECHO)
        self.host.channel.new_workbook(target, self._opened(name))

    def choose_workbook(self) -> None:
        dialog = WorkbookFileDialog(self.host.window(), "Open workbook", self.folder, saving=False)
        dialog.chosen.connect(self.open_workbook)
        dialog.open()

    def open_workbook(self, path: str) -> None:
        name = os.path.basename(path)
        self.host.notify(f"Opening {name}: the hub starts its kernel...", ECHO)
        self.host.channel.open_workbook(path, self._opened(name))

    def _opened(self, name: str) -> Callable[[Dict[str, Any]], None]:
        host = self.host

        def opened(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "workbook_opened")
            if problem:
                host.notify(f"Could not open {name}: {problem}", ERROR)
                return
            if isinstance(reply.get("path"), str):
                self.remember(reply["path"])
            workbook_id = reply.get("workbook_id") or name
            host.notify(f"{workbook_id} is open and its kernel is connected.", SUCCESS)
            host.pick_workbook(workbook_id)

        return opened

    def remember(self, path: str) -> None:
        """Puts `path` first among the recent workbooks."""
        self.recent = [path] + [p for p in self.recent if p != path][:MAX_RECENT - 1]
        self.folder = os.path.dirname(path)
        self._fill_recent_menu()

    def set_recent(self, paths: List[str]) -> None:
        self.recent = paths[:MAX_RECENT]
        if self.recent:
            self.folder = os.path.dirname(self.recent[0])
        self._fill_recent_menu()

    def _fill_recent_menu(self) -> None:
        self.recent_menu.clear()
        for number, path in enumerate(self.recent, start=1):
            action = self.recent_menu.addAction(f"&{number % 10} {os.path.basename(path)}")
            action.setToolTip(path)
            action.setStatusTip(path)
            action.triggered.connect(lambda _checked=False, p=path: self.open_workbook(p))
        self.recent_menu.setEnabled(bool(self.recent))

    # --- close ----------------------------------------------------------------------------

    def close_workbook(self, workbook_id: Optional[str] = None) -> None:
        host = self.host
        workbook_id = workbook_id or self._target("close")
        if workbook_id is None:
            return
        book = host.workbook_display_name(workbook_id)
        unsaved = [e for e in host.unsaved_editors() if e.workbook_id == workbook_id]
        if not unsaved:
            self._close(workbook_id, book)
            return
        names = ", ".join(f"{editor.module_name}.py" for editor in unsaved)

        def answered(answer: Button) -> None:
            if answer == Button.Save:
                pending = list(unsaved)

                def one_saved(editor: Any) -> Callable[[], None]:
                    def saved() -> None:
                        pending.remove(editor)
                        if not pending:
                            self._close(workbook_id, book)
                    return saved

                for editor in list(unsaved):
                    self.save_requested.emit(editor, one_saved(editor))
            elif answer == Button.Discard:
                for editor in unsaved:
                    editor.mark_saved()
                self._close(workbook_id, book)

        ask(host.window(), "Unsaved changes", f"{names} of {book} have changes that are not saved. "
            "Save them before closing the workbook?",
            Button.Save | Button.Discard | Button.Cancel, Button.Save, answered)

    def _close(self, workbook_id: str, book: str) -> None:
        host = self.host
        host.notify(f"Closing {book}: the hub saves its file and stops its kernel...", ECHO)

        def closed(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "workbook_closed")
            if problem:
                host.notify(f"Could not close {book}: {problem}", ERROR)
            else:
                host.notify(f"{book} is saved and closed.", SUCCESS)

        host.channel.close_workbook(workbook_id, closed)

    # --- a file another program changed ---------------------------------------------------

    def _files_changed(self, files: Dict[str, Dict[str, Any]]) -> None:
        for workbook_id, info in files.items():
            problem = info.get("problem")
            if not problem:
                self._problems_asked.pop(workbook_id, None)
            elif self._problems_asked.get(workbook_id) != problem:
                self._problems_asked[workbook_id] = problem
                self._ask_about(workbook_id, str(problem))

    def _ask_about(self, workbook_id: str, problem: str) -> None:
        book = self.host.workbook_display_name(workbook_id)

        def chosen(choice: Optional[str]) -> None:
            if choice == SAVE_AS:
                self.save_workbook_as(workbook_id)
            elif choice == RELOAD:
                self.reload_workbook(workbook_id)

        choose(self.host.window(), f"{book} changed on disk",
               f"{problem}. The hub keeps what it holds (your saved modules and cells) and does "
               "not write over the file. Save As writes all of it to a file of its own; Reload "
               "reads the file again and drops what it lacks.", [SAVE_AS, RELOAD, LATER], chosen)

    def save_workbook_as(self, workbook_id: Optional[str] = None) -> None:
        host = self.host
        workbook_id = workbook_id or self._target("save")
        if workbook_id is None:
            return
        book = host.workbook_display_name(workbook_id)
        dialog = WorkbookFileDialog(host.window(), f"Save {book} as", self.folder, saving=True)

        def chosen(path: str) -> None:
            def saved(reply: Dict[str, Any]) -> None:
                problem = reply_problem(reply, "workbook_saved")
                if problem:
                    host.notify(f"Could not save {book}: {problem}", ERROR)
                    return
                self.remember(reply.get("path") or path)
                host.notify(f"{book} is saved as {reply.get('path') or path}.", SUCCESS)

            host.channel.save_workbook_as(workbook_id, path, saved)

        dialog.chosen.connect(chosen)
        dialog.open()

    def reload_workbook(self, workbook_id: Optional[str] = None) -> None:
        host = self.host
        workbook_id = workbook_id or self._target("reload")
        if workbook_id is None:
            return
        book = host.workbook_display_name(workbook_id)

        def reloaded(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "workbook_reloaded")
            if problem:
                host.notify(f"Could not reload {book}: {problem}", ERROR)
                return
            modules = reply.get("modules")
            host.show_saved_modules(workbook_id, modules if isinstance(modules, dict) else {})
            host.notify(f"{book} is read again from its file.", SUCCESS)

        host.channel.reload_workbook(workbook_id, reloaded)

    def _target(self, verb: str) -> Optional[str]:
        workbook_id = self.host.target_workbook()
        if workbook_id is None:
            self.host.notify(f"Pick the workbook to {verb} in the project explorer.", ERROR)
        return workbook_id

    # --- restart --------------------------------------------------------------------------

    def restart_kernel(self) -> None:
        host = self.host
        workbook_id = self._target("restart the kernel of")
        if workbook_id is None:
            return
        book = host.workbook_display_name(workbook_id)

        def answered(answer: Button) -> None:
            if answer == Button.Yes:
                self._restart(workbook_id, book)

        ask(host.window(), "Restart kernel",
            f"Restart the kernel of {book}? Names defined by cells and running code are lost; "
            "the modules are kept.", Button.Yes | Button.Cancel, Button.Yes, answered)

    def restart_now(self, workbook_id: str) -> None:
        """Restarts the workbook's kernel without asking (the person chose it already)."""
        self._restart(workbook_id, self.host.workbook_display_name(workbook_id))

    def _restart(self, workbook_id: str, book: str) -> None:
        host = self.host
        host.notify(f"Restarting the kernel of {book}...", ECHO)

        def restarted(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "kernel_restarted")
            if problem:
                host.notify(f"The kernel of {book} did not restart: {problem}", ERROR)
            else:
                host.notify(f"The kernel of {book} restarted: a fresh namespace, the same "
                            "modules.", SUCCESS)

        host.channel.restart_kernel(workbook_id, restarted)

    # --- kernel states and reopening ------------------------------------------------------

    def reopen(self, workbook_id: str, modules: List[str], current: Optional[str],
               path: Optional[str] = None) -> None:
        self._reopen = {"id": workbook_id, "modules": list(modules), "current": current,
                        "path": path}

    def _kernels_changed(self, states: Dict[str, str]) -> None:
        self.host.project_explorer.set_kernel_states(states, self.host.channel.busy)
        if self._reopen is not None and self.host.channel.is_connected():
            wanted, self._reopen = self._reopen, None
            if wanted["id"] in states:
                self.host.pick_workbook(wanted["id"])
                for module in wanted["modules"]:
                    self.host.open_module(wanted["id"], module)
                if wanted["current"]:
                    self.host.open_module(wanted["id"], wanted["current"])
            elif wanted["path"]:
                self.open_workbook(wanted["path"])
            else:
                self.create_workbook(wanted["id"])
