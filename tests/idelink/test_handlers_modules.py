"""Module handlers: sources opened in editor tabs, the module cache, the pending debug line."""
import logging

import pytest

from ide.gui import MonacoEditor, OutputLevel

from .conftest import Spy, log_lines


def content(module_name="tools", code="def f():\n    return 1\n", workbook_id="wb1"):
    message = {"type": "module_content", "workbook_id": workbook_id, "module_name": module_name}
    if code is not None:
        message["code"] = code
    return message


class TestModuleContent:
    def test_opens_the_module_in_a_tab_and_caches_it(self, feed, window):
        window._module_cache["wb1"] = {"other": "o = 1"}
        spy = Spy().watch(window.event_manager, "set_module_cache")
        feed(content())
        editor = window.editor_tabs.currentWidget()
        assert isinstance(editor, MonacoEditor)
        assert (editor.workbook_id, editor.module_name) == ("wb1", "tools")
        assert editor.toPlainText() == "def f():\n    return 1\n"
        assert window.editor_tabs.tabText(window.editor_tabs.currentIndex()) == "tools.py"
        assert window._module_cache["wb1"] == {"other": "o = 1",
                                               "tools": "def f():\n    return 1\n"}
        assert spy.calls[0].args == ("wb1", window._module_cache["wb1"])
        entry = feed.console()[-1]
        assert (entry.text, entry.level) == ("Opened module: tools", OutputLevel.DETAILED)

    def test_a_missing_module_is_reported_in_red(self, feed, window):
        feed(content(code=None))
        entry = feed.console()[-1]
        assert (entry.text, entry.color, entry.level) == (
            "Module not found: tools", "#ff6b6b", OutputLevel.DETAILED)
        assert window.editor_tabs.count() == 0

    def test_code_without_a_module_name_does_nothing(self, feed, window):
        feed({"type": "module_content", "workbook_id": "wb1", "code": "x = 1"})
        assert feed.console() == [] and window.editor_tabs.count() == 0 and \
            window._module_cache == {}


class TestPendingDebugLine:
    @pytest.mark.parametrize("title_has_suffix", [True, False])
    def test_marks_the_line_in_the_matching_tab(self, feed, window, qtbot, title_has_suffix):
        window.DEBUG_LINE_HIGHLIGHT_DELAY_MS = 10
        window._pending_debug_line = {"workbook_id": "wb1", "module_name": "tools", "line": 2}
        window.add_editor_tab("tools", "a = 1\n", "wb2")  # same module, other workbook
        feed(content(code="a = 1\nb = 2\nc = 3\n"))
        editor = window.editor_tabs.currentWidget()
        if not title_has_suffix:
            window.editor_tabs.setTabText(window.editor_tabs.currentIndex(), "tools")
            window._pending_debug_line = {"workbook_id": "wb1", "module_name": "tools", "line": 3}
            feed(content(code="a = 1\nb = 2\nc = 3\n"))
        expected = 2 if title_has_suffix else 3
        assert window._current_debug_editor is editor
        assert window._pending_debug_line is None
        qtbot.waitUntil(lambda: editor.debug_line == expected)

    def test_the_line_waits_for_the_highlight_delay(self, feed, window, qtbot):
        window.DEBUG_LINE_HIGHLIGHT_DELAY_MS = 300
        window._pending_debug_line = {"workbook_id": "wb1", "module_name": "tools", "line": 1}
        feed(content())
        editor = window.editor_tabs.currentWidget()
        assert editor.debug_line is None
        qtbot.waitUntil(lambda: editor.debug_line == 1, timeout=3000)

    def test_a_line_for_another_module_stays_pending(self, feed, window):
        pending = {"workbook_id": "wb1", "module_name": "elsewhere", "line": 4}
        window._pending_debug_line = pending
        feed(content())
        assert window._pending_debug_line == pending
        assert window._current_debug_editor is None

    def test_no_matching_tab_still_uses_the_line_up(self, feed, window, monkeypatch):
        window._pending_debug_line = {"workbook_id": "wb1", "module_name": "tools", "line": 4}
        # A window whose add_editor_tab opens nothing: the search finds no tab.
        monkeypatch.setattr(window, "add_editor_tab", lambda *args: None)
        feed(content())
        assert window._pending_debug_line is None
        assert window._current_debug_editor is None


class TestModuleBookkeeping:
    def test_deletion_and_saving_are_logged(self, client_log, feed):
        feed({"type": "module_deleted", "module_name": "a", "success": True},
             {"type": "module_deleted", "module_name": "b", "success": False},
             {"type": "module_deleted", "module_name": "c"},
             {"type": "module_saved", "module_name": "d"})
        assert "Module 'a' deleted from Business Layer" in log_lines(client_log, logging.DEBUG)
        assert log_lines(client_log, logging.WARNING) == [
            "Failed to delete module 'b' from Business Layer",
            "Failed to delete module 'c' from Business Layer"]
        assert "Module 'd' saved to Business Layer" in log_lines(client_log, logging.DEBUG)
        assert feed.console() == []

    def test_module_list_sets_the_explorers_modules_even_when_empty(self, feed, window):
        window.project_explorer.add_workbook("wb1", None)
        feed({"type": "module_list", "workbook_id": "wb1", "modules": ["a", "b"]})
        assert window.project_explorer.modules_of("wb1") == ["a", "b"]
        spy = Spy().watch(window.project_explorer, "set_modules")
        feed({"type": "module_list", "workbook_id": "wb1"}, {"type": "module_list"})
        assert [c.args for c in spy.calls] == [("wb1", [])]
        assert window.project_explorer.modules_of("wb1") == []

    def test_all_modules_fills_the_caches_and_the_explorer(self, feed, window):
        window.project_explorer.add_workbook("wb1", None)
        spy = Spy().watch(window.event_manager, "set_module_cache")
        feed({"type": "all_modules", "workbook_id": "wb1", "modules": {"x": "1", "y": "2"}},
             {"type": "all_modules", "workbook_id": "wb1", "modules": {}},
             {"type": "all_modules", "modules": {"z": "3"}})
        assert window._module_cache == {"wb1": {"x": "1", "y": "2"}}
        assert len(spy.calls) == 1
        assert window.project_explorer.modules_of("wb1") == ["x", "y"]
