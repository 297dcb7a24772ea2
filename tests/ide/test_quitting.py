"""Quitting the IDE with edits not saved yet: it offers to save them first."""
from PySide6.QtCore import QTimer
from PySide6.QtWidgets import QApplication, QMessageBox

from devhub.demo import ide_driver as do

from .conftest import WORKBOOK, Ide


def test_quitting_with_unsaved_edits_saves_them_first_when_asked(background):
    background.call(background.hub.launch_kernel(WORKBOOK))
    ide = Ide(background)
    try:
        ide.wait(lambda: ide.kernel_state(WORKBOOK) == "connected", "the kernel", 60)
        editor = ide.new_module(WORKBOOK, "quitting", "TOTAL = 1\n")
        do.type_text(editor, "  # kept at quit")
        assert editor.is_modified()
        asked = []

        def press_save():
            box = QApplication.activeModalWidget()
            if not isinstance(box, QMessageBox):
                QTimer.singleShot(50, press_save)
                return
            asked.append(box.text())
            box.button(QMessageBox.StandardButton.Save).click()

        QTimer.singleShot(50, press_save)
        ide.window.close()  # asks (a modal question), then saves, then closes
        assert "quitting.py" in asked[0]
        ide.wait(lambda: not ide.window.isVisible(), "the window to close once saved")
        assert "# kept at quit" in background.hub.workbooks.get(WORKBOOK).modules["quitting"]
    finally:
        ide.close()
