"""Writing modules in the IDE: saving through the hub to the kernel, the unsaved marker, and
creating, renaming and deleting modules from the project explorer."""
import os

from PySide6.QtCore import Qt
from PySide6.QtWidgets import QMessageBox

from devhub.demo import ide_driver as do
from ide.gui.dialogs import ModuleFileDialog, NameDialog

from .conftest import CTRL, WORKBOOK

SOURCE = "def twice(x):\n    return 2 * x\n"


class TestSaving:
    def test_ctrl_s_clears_the_marker_once_the_kernel_has_the_code(self, used):
        editor = used.new_module(WORKBOOK, "saving")
        do.type_code(editor, SOURCE)
        assert used.marked(editor) and editor.is_modified()
        used.save(editor)
        assert not used.marked(editor)
        assert "Out: 42" in used.run_cell("import saving; saving.twice(21)")
        assert used.window._module_cache[WORKBOOK]["saving"] == SOURCE

    def test_text_typed_while_a_save_travels_stays_marked(self, used):
        editor = used.new_module(WORKBOOK, "racing", SOURCE)
        do.type_text(editor, "# one")
        do.key(editor, Qt.Key.Key_S, CTRL)
        do.type_text(editor, " two")  # before the reply is handled on this thread
        used.wait(lambda: used.window._module_cache[WORKBOOK]["racing"].endswith("# one"),
                  "the first save")
        assert editor.is_modified() and used.marked(editor)

    def test_a_save_while_the_kernel_is_gone_reaches_the_file_and_the_next_kernel(self, used):
        used.window.workbook_actions.create_workbook("Lonely.xlsx")
        used.wait(lambda: used.kernel_state("Lonely.xlsx") == "connected", "the kernel", 60)
        editor = used.new_module("Lonely.xlsx", "kept", SOURCE)
        used.background.call(used.background.hub.kernels.stop("Lonely.xlsx", 10))
        used.wait(lambda: used.kernel_state("Lonely.xlsx") == "stopped", "the kernel to go")

        do.type_text(editor, "thrice = lambda x: 3 * x")
        used.save(editor)  # the workbook's file takes it without a kernel
        assert used.background.hub.workbooks.get("Lonely.xlsx").modules["kept"].endswith("3 * x")
        used.window.console.select_workbook("Lonely.xlsx")
        do.type_text(used.window.console.prompt, "kept.twice(1)")
        do.key(used.window.console.prompt, Qt.Key.Key_Return)
        used.wait_for_console("The cell did not run: the kernel of Lonely.xlsx is not connected")
        assert used.window.console.prompt.toPlainText() == "kept.twice(1)"
        used.window.console.prompt.clear()

        used.window.pick_workbook("Lonely.xlsx")
        used.explorer.setFocus()
        used.window.workbook_actions.restart_action.trigger()
        used.answer(QMessageBox.StandardButton.Yes)
        used.wait(lambda: used.kernel_state("Lonely.xlsx") == "connected", "the restart", 60)
        # The new kernel got the module as it was last saved, while it was away.
        assert "Out: 9" in used.run_cell("import kept; kept.thrice(3)")


class TestModulesInTheExplorer:
    def test_bad_and_taken_names_are_refused_in_the_dialog_with_the_reason(self, used):
        used.new_module(WORKBOOK, "taken", SOURCE)
        do.click_item(used.explorer, used.explorer._workbook_items[WORKBOOK])
        used.window.module_actions.new_module_action.trigger()
        dialog = do.dialog(used.window, NameDialog)
        reasons = {}
        for name in ("2fast", "my-module", "class", "taken"):
            dialog.name_edit.setText(name)
            do.key(dialog.name_edit, Qt.Key.Key_Return)
            reasons[name] = dialog.problem_label.text()
        assert dialog.isVisible()
        assert "not a valid Python module name" in reasons["2fast"]
        assert "not a valid Python module name" in reasons["my-module"]
        assert "is a Python keyword" in reasons["class"]
        assert "already exists" in reasons["taken"]

    def test_rename_and_delete_reach_the_kernel_and_the_open_tab(self, used):
        editor = used.new_module(WORKBOOK, "before", SOURCE)
        do.type_text(editor, "# still mine")
        do.click_item(used.explorer, used.module_item(WORKBOOK, "before"))
        do.key(used.explorer, Qt.Key.Key_F2)
        dialog = do.dialog(used.window, NameDialog)
        dialog.name_edit.setText("after")
        do.key(dialog.name_edit, Qt.Key.Key_Return)
        used.wait(lambda: editor.module_name == "after", "the rename")
        assert "after" in used.explorer.modules_of(WORKBOOK)
        assert "before" not in used.explorer.modules_of(WORKBOOK)
        tabs = used.window.editor_tabs
        assert tabs.tabText(tabs.indexOf(editor)) == "after.py" and editor.is_modified()
        assert "Out: 8" in used.run_cell("import after; after.twice(4)")
        assert "ModuleNotFoundError" in used.run_cell("import before")

        editor.mark_saved()
        tabs.setCurrentWidget(editor)
        used.window.module_actions.delete_module_action.trigger()
        used.answer(QMessageBox.StandardButton.Yes)
        used.wait(lambda: "after" not in used.explorer.modules_of(WORKBOOK), "the deletion")
        assert used.window.editor_for(WORKBOOK, "after") is None
        assert "ModuleNotFoundError" in used.run_cell("import importlib; "
                                                      "importlib.import_module('after')")

    def test_closing_a_tab_with_unsaved_edits_asks_first(self, used):
        editor = used.new_module(WORKBOOK, "closing", SOURCE)
        do.type_text(editor, "KEPT = 1")
        for answer in (QMessageBox.StandardButton.Cancel, QMessageBox.StandardButton.Save):
            do.key(editor, Qt.Key.Key_W, CTRL)
            used.answer(answer)
        used.wait(lambda: used.window.editor_for(WORKBOOK, "closing") is None, "the tab to close")
        assert used.window._module_cache[WORKBOOK]["closing"].endswith("KEPT = 1")


class TestPythonFiles:
    def _choose(self, used, path):
        dialog = do.dialog(used.window, ModuleFileDialog)
        dialog.name_edit.setText(str(path))
        do.key(dialog.name_edit, Qt.Key.Key_Return)

    def test_a_py_file_is_imported_under_its_name_or_one_asked_for(self, used, tmp_path):
        (tmp_path / "imported_rates.py").write_text("RATE = 0.05\n", encoding="utf-8")
        (tmp_path / "2024-report.py").write_text("TOTAL = 7\n", encoding="utf-8")
        do.click_item(used.explorer, used.explorer._workbook_items[WORKBOOK])
        used.window.module_actions.import_module_action.trigger()
        self._choose(used, tmp_path / "imported_rates.py")
        used.wait(lambda: used.window.editor_for(WORKBOOK, "imported_rates") is not None,
                  "the imported module's tab")
        assert used.background.hub.workbooks.get(WORKBOOK).modules["imported_rates"] == \
            "RATE = 0.05\n"
        assert "Out: 0.05" in used.run_cell("import imported_rates; imported_rates.RATE")

        do.click_item(used.explorer, used.explorer._workbook_items[WORKBOOK])
        used.window.module_actions.import_module_action.trigger()
        self._choose(used, tmp_path / "2024-report.py")
        name_box = do.dialog(used.window, NameDialog)  # not a module name: another is asked
        assert "not a valid Python module name" in name_box.problem_label.text()
        name_box.name_edit.setText("report_2024")
        do.key(name_box.name_edit, Qt.Key.Key_Return)
        used.wait(lambda: used.window.editor_for(WORKBOOK, "report_2024") is not None,
                  "the renamed import")
        assert used.window.editor_for(WORKBOOK, "report_2024").toPlainText() == "TOTAL = 7\n"

    def test_export_writes_the_tab_as_shown_and_a_failure_leaves_nothing(self, used, tmp_path,
                                                                        monkeypatch):
        editor = used.new_module(WORKBOOK, "exported", "X = 1\n")
        do.type_text(editor, "# unsaved")
        used.window.module_actions.export_module_action.trigger()
        self._choose(used, tmp_path / "copy.py")
        used.wait(lambda: (tmp_path / "copy.py").exists(), "the exported file")
        assert (tmp_path / "copy.py").read_text(encoding="utf-8") == "X = 1\n# unsaved\n"
        assert editor.is_modified()  # an export is not a save
        assert f"Exported exported.py to {tmp_path / 'copy.py'}" in used.console()

        # A write that fails at the last step leaves the old file whole and no temporary.
        (tmp_path / "old.py").write_text("kept\n")

        def full_disk(_source, _target):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(os, "replace", full_disk)
        used.window.module_actions._export("exported", "new\n", str(tmp_path / "old.py"))
        monkeypatch.undo()
        assert "Could not export exported.py" in used.console()
        assert "No space left on device" in used.console()
        assert (tmp_path / "old.py").read_text() == "kept\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["copy.py", "old.py"]
