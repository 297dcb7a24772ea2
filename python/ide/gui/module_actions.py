"""``ModuleActions``: saving a workbook's modules, and creating, renaming, deleting and closing
them, as the IDE's menus, shortcuts and the project explorer's context menu offer.

What it promises:

* Save (Ctrl+S) sends the editor's text as "update_module" through the hub. The tab's
  modified marker clears when "module_updated" comes back, provided nothing was typed since
  the save was sent. A save that cannot be done (no kernel, no hub, no answer) writes one
  console line saying why, and the edit stays in the tab.
* New module asks for a name (a Python module name, not taken in the workbook), creates the
  module empty and opens it. Rename saves the module's code under the new name, then deletes
  the old one; an open tab follows with its unsaved edits. Delete asks first.
* Closing a tab with unsaved edits asks whether to save them, drop them or keep the tab.
* Import Module reads a .py file (UTF-8) into a new module of the target workbook, named after
  the file unless that name is taken or not a module name (then it asks); Export Module writes
  the current tab's text, as shown, to a .py file, replacing it atomically.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Callable, Optional, Set, Tuple

import shiboken6
from PySide6.QtCore import QObject, Qt
from PySide6.QtGui import QAction, QKeySequence

from .colors import ERROR
from .atomic_write import write_atomically
from .dialogs import Button, ModuleFileDialog, NameDialog, ask
from .hub_channel import reply_problem
from .monaco_editor import MonacoEditor
from .python_source import module_name_problem

if TYPE_CHECKING:
    from .hosts import ModuleHost

__all__ = ["ModuleActions"]



class ModuleActions(QObject):
    def __init__(self, host: "ModuleHost") -> None:
        super().__init__(host.window())
        self.host = host
        self.save_action = self._action("&Save", QKeySequence("Ctrl+S"), self.save_current)
        self.save_all_action = self._action("Save A&ll", QKeySequence("Ctrl+Shift+S"),
                                            self.save_all)
        self.close_tab_action = self._action("&Close Tab", QKeySequence("Ctrl+W"),
                                             self.close_current)
        self.close_tab_action.setShortcuts([QKeySequence("Ctrl+W"), QKeySequence("Ctrl+F4")])
        self.new_module_action = self._action("&New Module...", QKeySequence("Ctrl+N"),
                                              self.new_module)
        self.open_module_action = self._action("&Open", None, self.open_module)
        self.rename_module_action = self._action("&Rename Module...", QKeySequence("F2"),
                                                 self.rename_module)
        self.delete_module_action = self._action("&Delete Module...", None, self.delete_module)
        self.import_module_action = self._action("&Import Module...", None, self.import_module)
        self.export_module_action = self._action("&Export Module...", None, self.export_module)
        self.folder = os.path.expanduser("~")  # where the last .py file was read or written
        self.file_dialog: Optional[ModuleFileDialog] = None
        # Delete is also the explorer's key; elsewhere it belongs to the text being edited.
        explorer_delete = QAction(host.project_explorer)
        explorer_delete.setShortcut(QKeySequence.StandardKey.Delete)
        explorer_delete.setShortcutContext(Qt.ShortcutContext.WidgetShortcut)
        explorer_delete.triggered.connect(self.delete_module)
        host.project_explorer.addAction(explorer_delete)

    def _action(self, text: str, shortcut, slot: Callable[[], None]) -> QAction:
        action = QAction(text, self.host.window())
        if shortcut is not None:
            action.setShortcut(shortcut)
        action.triggered.connect(lambda _checked=False: slot())
        return action

    # --- saving ---------------------------------------------------------------------------

    def save_current(self) -> None:
        editor = self.host.current_editor()
        if editor is None:
            self.host.notify("Nothing to save: no module is open.")
            return
        self.save(editor)

    def save_all(self) -> None:
        for editor in self.host.editors():
            if editor.is_modified():
                self.save(editor)

    def save(self, editor: MonacoEditor, then: Optional[Callable[[], None]] = None) -> None:
        """Sends the editor's text to its workbook; `then` runs once the workbook's file (and its
        kernel, when one is connected) has it."""
        workbook_id, module = editor.workbook_id, editor.module_name
        book = self.host.workbook_display_name(workbook_id)
        # The hub keeps the module in the workbook's file, with or without a kernel.
        code = editor.toPlainText()
        revision = editor.document().revision()

        def saved(reply: dict) -> None:
            problem = reply_problem(reply, "module_updated")
            if problem:
                self.host.notify(f"Could not save {module}.py to {book}: {problem}. The edit "
                                 "stays in its tab.", ERROR)
                return
            self.host.workbook_modules.put(workbook_id, module, code)
            if shiboken6.isValid(editor) and editor.document().revision() == revision:
                editor.mark_saved()
            self.host.statusBar().showMessage(f"Saved {module}.py to {book}", 4000)
            # The breakpoints' lines are the saved text's now: the file keeps them so.
            self.host.breakpoint_keeper.keep(workbook_id)
            if then is not None:
                then()

        self.host.channel.save_module(workbook_id, module, code, saved)

    # --- new, open, rename, delete --------------------------------------------------------

    def new_module(self) -> None:
        workbook_id = self.host.target_workbook()
        if workbook_id is None:
            self.host.notify("Pick a workbook in the project explorer first, or open one with "
                             "File > New Workbook.", ERROR)
            return
        existing = self._module_names(workbook_id)
        dialog = NameDialog(self.host.window(),
                            f"New module in {self.host.workbook_display_name(workbook_id)}",
                            "Module &name:", "",
                            lambda name: module_name_problem(name, existing))
        dialog.chosen.connect(lambda name: self._create(workbook_id, name))
        dialog.open()

    def _create(self, workbook_id: str, name: str, code: str = "",
                origin: Optional[str] = None) -> None:
        def created(reply: dict) -> None:
            problem = reply_problem(reply, "module_updated")
            if problem:
                self.host.notify(f"Could not create {name}.py: {problem}.", ERROR)
                return
            self.host.workbook_modules.put(workbook_id, name, code)
            editor = self.host.add_editor_tab(name, code, workbook_id)
            editor.setFocus()
            if origin is not None:
                self.host.notify(f"Imported {origin} as {name}.py into "
                                 f"{self.host.workbook_display_name(workbook_id)}")

        self.host.channel.save_module(workbook_id, name, code, created)

    # --- .py files ------------------------------------------------------------------------

    def import_module(self) -> None:
        """Asks for a .py file and makes it a module of the target workbook, named after the
        file (another name is asked for when that one cannot be used)."""
        workbook_id = self.host.target_workbook()
        if workbook_id is None:
            self.host.notify("Pick the workbook to import into in the project explorer "
                             "first.", ERROR)
            return
        dialog = ModuleFileDialog(self.host.window(), f"Import a module into "
                                  f"{self.host.workbook_display_name(workbook_id)}",
                                  self.folder, saving=False)
        dialog.chosen.connect(lambda path: self._import(workbook_id, path))
        self.file_dialog = dialog
        dialog.open()

    def _import(self, workbook_id: str, path: str) -> None:
        self.folder = os.path.dirname(path)
        try:
            with open(path, encoding="utf-8-sig") as file:
                code = file.read()
        except (OSError, UnicodeDecodeError) as error:
            reason = "it is not UTF-8 text" if isinstance(error, UnicodeDecodeError) \
                else error.strerror or str(error)
            self.host.notify(f"Could not import {path}: {reason}.", ERROR)
            return
        name = os.path.splitext(os.path.basename(path))[0]
        existing = self._module_names(workbook_id)
        if module_name_problem(name, existing) is None:
            self._create(workbook_id, name, code, path)
            return
        dialog = NameDialog(self.host.window(), f"Import {os.path.basename(path)}", "Module &name:",
                            name, lambda typed: module_name_problem(typed, existing))
        dialog.chosen.connect(lambda typed: self._create(workbook_id, typed, code, path))
        dialog.open()

    def export_module(self) -> None:
        """Writes the current tab's text, as shown (unsaved edits too), to a .py file."""
        editor = self.host.current_editor()
        if editor is None:
            self.host.notify("Open the module to export in a tab first.", ERROR)
            return
        dialog = ModuleFileDialog(self.host.window(), f"Export {editor.module_name}.py",
                                  self.folder, saving=True)
        dialog.selectFile(os.path.join(self.folder, f"{editor.module_name}.py"))
        code = editor.toPlainText()
        dialog.chosen.connect(lambda path: self._export(editor.module_name, code, path))
        self.file_dialog = dialog
        dialog.open()

    def _export(self, module: str, code: str, path: str) -> None:
        self.folder = os.path.dirname(path)
        try:
            write_atomically(path, code if code.endswith("\n") or not code else code + "\n")
        except OSError as error:
            self.host.notify(f"Could not export {module}.py to {path}: "
                             f"{error.strerror or error}.", ERROR)
            return
        self.host.notify(f"Exported {module}.py to {path}")

    def open_module(self) -> None:
        workbook_id, module = self.host.project_explorer.current_target()
        if workbook_id and module:
            self.host.open_module(workbook_id, module)

    def rename_module(self) -> None:
        target = self._target_module()
        if target is None:
            return
        workbook_id, old = target
        existing = self._module_names(workbook_id)

        def problem(name: str) -> Optional[str]:
            if name == old:
                return "Type the module's new name."
            return module_name_problem(name, existing)

        dialog = NameDialog(self.host.window(), f"Rename {old}.py", "New &name:", old, problem)
        dialog.chosen.connect(lambda new: self._rename(workbook_id, old, new))
        dialog.open()

    def _rename(self, workbook_id: str, old: str, new: str) -> None:
        code = self.host.workbook_modules.source(workbook_id, old)
        if code is None:
            self.host.notify(f"Cannot rename {old}.py: its saved code is not known here.", ERROR)
            return
        channel = self.host.channel

        def deleted(reply: dict) -> None:
            problem = reply_problem(reply, "module_deleted")
            if problem:
                self.host.notify(f"{old}.py was copied to {new}.py but could not be removed: "
                                 f"{problem}.", ERROR)
                return
            self.host.workbook_modules.rename(workbook_id, old, new, code)
            editor = self.host.editor_for(workbook_id, old)
            self.host.breakpoints.rename(workbook_id, old, new)
            if editor is not None:
                self.host.unsaved_buffers.forget(workbook_id, old)
                editor.module_name = new
                self.host.retitle_tab(editor)
            self.host.notify(f"Renamed {old}.py to {new}.py", level_detailed=True)

        def copied(reply: dict) -> None:
            problem = reply_problem(reply, "module_updated")
            if problem:
                self.host.notify(f"Could not rename {old}.py: {problem}.", ERROR)
                return
            channel.delete_module(workbook_id, old, deleted)

        channel.save_module(workbook_id, new, code, copied)

    def delete_module(self) -> None:
        target = self._target_module()
        if target is None:
            return
        workbook_id, module = target
        book = self.host.workbook_display_name(workbook_id)

        def answered(answer: Button) -> None:
            if answer == Button.Yes:
                self._delete(workbook_id, module)

        ask(self.host.window(), "Delete module",
            f"Delete {module}.py from {book}? Its code is removed from the workbook and its "
            "kernel.", Button.Yes | Button.Cancel, Button.Cancel, answered)

    def _delete(self, workbook_id: str, module: str) -> None:
        def deleted(reply: dict) -> None:
            problem = reply_problem(reply, "module_deleted")
            if problem:
                self.host.notify(f"Could not delete {module}.py: {problem}.", ERROR)
                return
            self.host.workbook_modules.remove(workbook_id, module)
            self.host.breakpoints.forget(workbook_id, module)
            editor = self.host.editor_for(workbook_id, module)
            if editor is not None:
                self.host.close_tab(self.host.editor_tabs.indexOf(editor))
            self.host.notify(f"Deleted {module}.py", level_detailed=True)

        self.host.channel.delete_module(workbook_id, module, deleted)

    # --- closing tabs ---------------------------------------------------------------------

    def close_current(self) -> None:
        index = self.host.editor_tabs.currentIndex()
        if index >= 0:
            self.request_close(index)

    def request_close(self, index: int) -> None:
        """Closes the tab at `index`, asking first when its module has unsaved edits."""
        editor = self.host.editor_tabs.widget(index)
        if not isinstance(editor, MonacoEditor) or not editor.is_modified():
            self.host.close_tab(index)
            return

        def close() -> None:
            if shiboken6.isValid(editor):
                self.host.close_tab(self.host.editor_tabs.indexOf(editor))

        def answered(answer: Button) -> None:
            if answer == Button.Save:
                self.save(editor, then=close)
            elif answer == Button.Discard:
                close()

        ask(self.host.window(), "Unsaved changes",
            f"{editor.module_name}.py has changes that are not saved. Save them before closing?",
            Button.Save | Button.Discard | Button.Cancel, Button.Save, answered)

    # --- targets --------------------------------------------------------------------------

    def _target_module(self) -> Optional[Tuple[str, str]]:
        explorer = self.host.project_explorer
        workbook_id, module = explorer.current_target()
        editor = self.host.current_editor()
        if (module is None or not explorer.has_the_user()) and editor is not None:
            return editor.workbook_id, editor.module_name
        if workbook_id and module:
            return workbook_id, module
        self.host.notify("Pick a module in the project explorer first.", ERROR)
        return None

    def _module_names(self, workbook_id: str) -> Set[str]:
        names = set(self.host.project_explorer.modules_of(workbook_id))
        names.update(self.host.workbook_modules.modules(workbook_id))
        names.update(editor.module_name for editor in self.host.editors()
                     if editor.workbook_id == workbook_id)
        return names
