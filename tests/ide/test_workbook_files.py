"""Workbook files as a person handles them in the IDE window: New and Open through the file
dialog, Open Recent, Close with unsaved edits, a file another program changed, and edits that
outlive an IDE that crashed."""
import os
import zipfile

import openpyxl
from PySide6.QtCore import QSettings, Qt
from PySide6.QtTest import QTest
from PySide6.QtWidgets import QMessageBox

from devhub.demo import ide_driver as do
from devhub.workbook_part import read_part
from ide.gui.dialogs import WorkbookFileDialog
from ide.gui.unsaved_buffers import DELAY_MS

from .conftest import CTRL, Ide


def pick_file(ide, path) -> None:
    """Types a path into the workbook file dialog that is open, and presses Return."""
    dialog = do.dialog(ide.window, WorkbookFileDialog)
    dialog.name_edit.selectAll()
    do.type_text(dialog.name_edit, str(path))
    do.key(dialog.name_edit, Qt.Key.Key_Return)


def close(ide, workbook_id: str) -> None:
    """Closes a workbook a test opened, so that the shared window's explorer stays short."""
    for editor in ide.window.unsaved_editors():
        editor.mark_saved()
    ide.window.workbook_actions.close_workbook(workbook_id)
    ide.wait(lambda: workbook_id not in ide.explorer._workbook_items, f"{workbook_id} to close")


def press(ide, text: str) -> None:
    """Clicks the button labelled `text` of the message box that is open."""
    box = do.dialog(ide.window, QMessageBox)
    button = next(b for b in box.buttons() if b.text().replace("&", "") == text)
    QTest.mouseClick(button, Qt.MouseButton.LeftButton)


class TestFilesThroughTheFileMenu:
    def test_new_close_with_an_unsaved_edit_and_open_recent(self, used, tmp_path):
        path = tmp_path / "Budget 2027.xlsx"
        used.window.workbook_actions.new_workbook_action.trigger()
        pick_file(used, path)
        used.wait(lambda: used.kernel_state(path.name) == "connected", "the new workbook", 60)
        assert path.exists() and used.window.workbook_actions.recent[0] == str(path)
        editor = used.new_module(path.name, "plan", "RATE = 0.05\n")
        do.key(editor, Qt.Key.Key_End, CTRL)
        do.type_text(editor, "YEARS = 10")  # typed, not saved

        used.window.pick_workbook(path.name)
        used.explorer.setFocus()
        used.window.workbook_actions.close_workbook_action.trigger()
        used.answer(QMessageBox.StandardButton.Save)
        used.wait(lambda: path.name not in used.explorer._workbook_items, "the workbook to close")
        assert read_part(zipfile.ZipFile(path)).modules["plan"].endswith("YEARS = 10")
        assert used.window.editor_for(path.name, "plan") is None

        recent = used.window.workbook_actions.recent_menu.actions()[0]
        assert recent.toolTip() == str(path)
        recent.trigger()
        used.wait(lambda: used.kernel_state(path.name) == "connected", "the reopened workbook",
                  60)
        assert "Out: 10" in used.run_cell_in(path.name, "import plan; plan.YEARS")
        close(used, path.name)

    def test_open_refuses_a_file_that_is_no_workbook_with_the_reason(self, used, tmp_path):
        bad = tmp_path / "Notes.xlsx"
        bad.write_text("just some text")
        used.window.workbook_actions.open_workbook_action.trigger()
        pick_file(used, bad)
        used.wait_for_console("not a zip file")
        assert f"Could not open {bad.name}" in used.console()
        assert bad.read_text() == "just some text"


class TestAFileAnotherProgramChanged:
    def test_the_person_is_asked_and_save_as_keeps_everything(self, used, tmp_path):
        path = tmp_path / "Shared.xlsx"
        used.window.workbook_actions.create_workbook(str(path))
        used.wait(lambda: used.kernel_state(path.name) == "connected", "the workbook", 60)
        used.new_module(path.name, "mine", "MINE = 1\n")
        used.wait(lambda: read_part(zipfile.ZipFile(path)).modules, "the file to be written")
        theirs = openpyxl.Workbook()
        theirs.active["A1"] = "their edit"
        theirs.save(path)

        box = do.dialog(used.window, QMessageBox, timeout=20)
        assert "changed on disk by another program" in box.text()
        press(used, "Save As...")
        copy = tmp_path / "Shared (mine).xlsx"
        pick_file(used, copy)
        used.wait(lambda: copy.exists(), "the copy")
        assert read_part(zipfile.ZipFile(copy)).modules == {"mine": "MINE = 1\n"}
        assert openpyxl.load_workbook(path).active["A1"].value == "their edit"
        used.wait(lambda: not used.window.channel.workbook_files[path.name]["problem"],
                  "the problem to clear")
        assert used.window.channel.workbook_files[path.name]["path"] == str(copy)
        close(used, path.name)

    def test_reload_reads_the_file_again(self, used, tmp_path):
        path = tmp_path / "Again.xlsx"
        used.window.workbook_actions.create_workbook(str(path))
        used.wait(lambda: used.kernel_state(path.name) == "connected", "the workbook", 60)
        editor = used.new_module(path.name, "gone", "G = 1\n")
        used.wait(lambda: read_part(zipfile.ZipFile(path)).modules, "the file to be written")
        openpyxl.Workbook().save(path)  # their version has no Python at all

        do.dialog(used.window, QMessageBox, timeout=20)
        press(used, "Reload")
        used.wait(lambda: used.window.editor_for(path.name, "gone") is None,
                  "the tab of the module the file lacks to close")
        assert used.explorer.modules_of(path.name) == []
        assert editor is not None
        close(used, path.name)


class TestEditsOutliveACrash:
    def test_unsaved_text_is_offered_back_at_the_next_start(self, background, tmp_path):
        settings = QSettings(str(tmp_path / "ide.ini"), QSettings.Format.IniFormat)
        first = Ide(background, settings)
        try:
            first.window.workbook_actions.create_workbook(str(tmp_path / "Crash.xlsx"))
            first.wait(lambda: first.kernel_state("Crash.xlsx") == "connected", "the kernel", 60)
            editor = first.new_module("Crash.xlsx", "draft", "A = 1\n")
            do.key(editor, Qt.Key.Key_End, CTRL)
            do.type_text(editor, "B = 2  # not saved")
            first.wait(lambda: first.window.unsaved_buffers.kept(), "the edit to be kept",
                       DELAY_MS / 1000 + 5)
        finally:
            # A crash: the window never closes, nothing is saved or forgotten.
            first.link.stop()
            first.window.link = first.window.channel.link = None
            first.window.hide()

        second = Ide(background, settings)
        try:
            box = do.dialog(second.window, QMessageBox, timeout=20)
            assert "draft.py (Crash.xlsx)" in box.text()
            press(second, "Restore")
            restored = second.window.editor_for("Crash.xlsx", "draft")
            assert restored.toPlainText() == "A = 1\nB = 2  # not saved"
            assert restored.is_modified()
            second.save(restored)
            assert second.window.unsaved_buffers.kept() == []
        finally:
            second.close()
        assert not os.listdir(tmp_path / "unsaved")
