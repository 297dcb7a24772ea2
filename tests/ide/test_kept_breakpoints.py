"""Breakpoints kept with the workbook: in its file, through the hub, back in the next window;
and gutter markers that tell a breakpoint from a finding of the language services."""
from PySide6.QtCore import Qt
from PySide6.QtGui import QColor

from devhub.demo import ide_driver as do
from ide.gui import MonacoEditor
from ide.gui.monaco_editor import ERROR_COLOR, FINDING_LEFT, GUTTER_BACKGROUND, WARNING_COLOR

from .conftest import CTRL, WORKBOOK, Ide


def kept(background):
    return background.hub.workbooks.get(WORKBOOK).settings.get("breakpoints")


def test_breakpoints_are_kept_in_the_file_at_their_saved_lines_and_come_back(background):
    background.call(background.hub.launch_kernel(WORKBOOK))
    ide = Ide(background)
    try:
        ide.wait(lambda: ide.kernel_state(WORKBOOK) == "connected", "the kernel", 60)
        editor = ide.new_module(WORKBOOK, "stops", "a = 1\nb = 2\nc = 3\n")
        do.click_gutter(editor, 2)
        ide.wait(lambda: kept(background) == [{"module_name": "stops", "line": 2}],
                 "the breakpoint in the file")
        do.key(editor, Qt.Key.Key_Home, CTRL)
        do.key(editor, Qt.Key.Key_Return)  # the line moves down; the file keeps the saved text's
        assert kept(background) == [{"module_name": "stops", "line": 2}]
        ide.save(editor)
        ide.wait(lambda: kept(background) == [{"module_name": "stops", "line": 3}],
                 "the moved breakpoint once the module is saved")
    finally:
        ide.close()

    again = Ide(background)  # the next run of the IDE
    try:
        again.wait(lambda: again.window.breakpoints.records(WORKBOOK), "the kept breakpoints")
        assert again.window.breakpoints.records(WORKBOOK) == [{"module_name": "stops",
                                                               "line": 3}]
        again.window.open_module(WORKBOOK, "stops")
        reopened = again.window.editor_for(WORKBOOK, "stops")
        assert list(reopened.gutter_markers["breakpoints"]) == [3]
        do.click_gutter(reopened, 3)
        again.wait(lambda: kept(background) == [], "the breakpoint removed from the file")
    finally:
        again.close()


def test_a_finding_is_drawn_apart_from_a_breakpoint(qtbot):
    editor = MonacoEditor("Book.xlsx", "m", "a = 1\nb = 2\nc = 3\n")
    qtbot.addWidget(editor)
    editor.resize(400, 200)
    editor.show()
    editor.set_gutter_markers("breakpoints", {1: "#e51400"})
    editor.set_diagnostics([
        {"line": 2, "column": 0, "end_line": 2, "end_column": 1, "severity": "error",
         "message": "bad"},
        {"line": 3, "column": 0, "end_line": 3, "end_column": 1, "severity": "warning",
         "message": "odd"}])
    image = editor.gutter().grab().toImage()
    height = editor.fontMetrics().height()

    def colours(line, left, right):
        top = round(editor.blockBoundingGeometry(editor.document().findBlockByNumber(line - 1))
                    .translated(editor.contentOffset()).top())
        return {image.pixelColor(x, y).name() for x in range(left, right)
                for y in range(top, top + height)}

    background = GUTTER_BACKGROUND.name()
    # Line 1: a dot on the left, nothing where findings go; lines 2 and 3 the other way round.
    assert "#e51400" in colours(1, 0, FINDING_LEFT) and colours(1, FINDING_LEFT, 22) == {
        background}
    assert colours(2, 0, FINDING_LEFT - 2) == {background}  # (a pen's soft edge aside)
    assert QColor(ERROR_COLOR).name() in colours(2, FINDING_LEFT, 22)
    assert QColor(WARNING_COLOR).name() in colours(3, FINDING_LEFT, 22)
