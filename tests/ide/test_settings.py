"""What the IDE remembers between runs: layout, console settings, and the last workbook."""
from PySide6.QtCore import QSettings

from devhub.background import BackgroundHub

from .conftest import Ide


def test_the_layout_and_the_last_workbook_come_back(background, tmp_path):
    settings = QSettings(str(tmp_path / "ide.ini"), QSettings.Format.IniFormat)
    first = Ide(background, settings)
    first.window.workbook_actions.create_workbook("Keep.xlsx")
    first.wait(lambda: first.kernel_state("Keep.xlsx") == "connected", "the kernel", 60)
    first.new_module("Keep.xlsx", "kept", "VALUE = 7\n")
    first.run_cell("1 + 1")
    first.window.centre_splitter.setSizes([200, 500])
    sizes = first.window.centre_splitter.sizes()
    first.window.console.set_max_lines(1234)
    first.window.run_actions.ask_before_reset = False  # "Don't ask again"
    first.close()

    second = Ide(background, settings)
    try:
        assert second.window.centre_splitter.sizes() == sizes
        assert second.window.console.max_lines == 1234
        assert second.window.run_actions.ask_before_reset is False
        assert second.window.console.prompt.history == ["1 + 1"]
        second.wait(lambda: second.window.editor_for("Keep.xlsx", "kept") is not None,
                    "the module's tab to reopen")
        assert second.window.console.current_workbook() == "Keep.xlsx"
    finally:
        second.close()

    elsewhere = BackgroundHub()  # a hub that has never seen the workbook
    third = Ide(elsewhere, settings)
    try:
        third.wait(lambda: third.kernel_state("Keep.xlsx") == "connected",
                   "the last workbook to be opened again", 60)
    finally:
        third.close()
        elsewhere.stop()
