"""The IDE main window stand-in: the interface the client calls, and what it shows."""
from PySide6.QtGui import QColor

from ide.gui import MonacoEditor, OutputLevel


def colour_at(window, text):
    """The foreground colour of `text` in the console document."""
    document = window.console.view.document()
    cursor = document.find(text)
    assert not cursor.isNull(), text
    cursor.setPosition(cursor.selectionStart() + 1)
    return cursor.charFormat().foreground().color().name()


class TestConsole:
    def test_lines_are_shown_in_their_colours(self, window):
        window.log_to_console("plain line")
        window.log_to_console("red line", "#ff6b6b", level=OutputLevel.SIMPLE)
        window.log_to_console("out ", "#4daafc", level=OutputLevel.SIMPLE, from_std=True)
        window.log_to_console("continued\n", "#4daafc", level=OutputLevel.SIMPLE, from_std=True)
        assert window.console.plain_text() == "plain line\nred line\nout continued\n"
        assert colour_at(window, "red line") == "#ff6b6b"
        assert colour_at(window, "continued") == "#4daafc"

    def test_detailed_lines_hide_and_come_back_with_the_verbosity(self, window):
        window.log_to_console("simple", level=OutputLevel.SIMPLE)
        window.log_to_console("detail", level=OutputLevel.DETAILED)
        window.console.set_verbosity(OutputLevel.SIMPLE)
        assert window.console.plain_text() == "simple\n"
        window.console.set_verbosity(OutputLevel.DETAILED)
        assert window.console.plain_text() == "simple\ndetail\n"

    def test_a_burst_is_drawn_in_one_update(self, window, qtbot):
        updates = []
        window.console.shown.connect(updates.append)
        for n in range(1000):
            window.log_to_console(f"line {n}")
        qtbot.waitUntil(lambda: updates == [1000])
        assert window.console.view.document().blockCount() == 1001


class TestEditorTabs:
    def test_a_module_opens_once_per_workbook(self, window):
        first = window.add_editor_tab("tools", "x = 1\n", "Book1")
        again = window.add_editor_tab("tools", "x = 2\n", "Book1")
        other = window.add_editor_tab("tools", "y = 1\n", "Book2")
        assert first is again and first is not other
        assert isinstance(first, MonacoEditor) and first.workbook_id == "Book1"
        assert first.toPlainText() == "x = 2\n"
        assert [window.editor_tabs.tabText(i) for i in range(window.editor_tabs.count())] == [
            "tools.py", "tools.py"]

    def test_closing_a_workbooks_tabs_keeps_the_others(self, window):
        window.add_editor_tab("a", "", "Book1")
        window.add_editor_tab("b", "", "Book2")
        window.add_editor_tab("c", "", "Book1")
        window._close_tabs_for_workbook("Book1")
        assert [window.editor_tabs.widget(i).module_name
                for i in range(window.editor_tabs.count())] == ["b"]

    def test_the_debug_line_is_marked(self, window):
        editor = window.add_editor_tab("m", "a = 1\nb = 2\nc = 3\n", "Book1")
        editor.set_debug_line(2)
        assert editor.debug_line == 2
        assert editor.textCursor().blockNumber() == 1
        assert editor.extraSelections()[0].format.background().color() == QColor("#5c4b00")
        editor.set_debug_line(99)  # past the end: ignored
        assert editor.debug_line == 2


class TestDebugState:
    def test_stopping_clears_every_trace_of_the_session(self, window):
        editor = window.add_editor_tab("m", "a = 1\n", "Book1")
        window._set_debug_state(True, "Book1")
        window._current_debug_editor = editor
        editor.set_debug_line(1)
        window._pending_debug_line = {"workbook_id": "Book1", "module_name": "n", "line": 3}
        assert (window._debug_active, window._current_debug_workbook) == (True, "Book1")
        window._debug_stop()
        assert (window._debug_active, window._current_debug_workbook) == (False, None)
        assert window._pending_debug_line is None and editor.debug_line is None


class TestPanels:
    def test_the_explorer_lists_workbooks_and_modules(self, window):
        explorer = window.project_explorer
        explorer.add_workbook("id1", "Book One")
        explorer.set_modules("id1", ["alpha", "beta"])
        explorer.set_modules("unknown", ["gamma"])
        assert list(explorer._workbook_items) == ["id1"]
        assert explorer.modules_of("id1") == ["alpha", "beta"]
        assert explorer._workbook_items["id1"].text(0) == "Book One"
        explorer.remove_workbook("id1")
        assert explorer._workbook_items == {}

    def test_the_package_panel_follows_the_explorers_workbooks(self, window):
        window.project_explorer.add_workbook("id1", "Book One")
        window.project_explorer.add_workbook("id2", None)
        assert window.package_manager.get_current_workbook() == "id1"
        assert window.package_manager.workbook_box.itemText(1) == "id2"
        window.project_explorer.remove_workbook("id1")
        assert window.package_manager.get_current_workbook() == "id2"
