"""Workbook handlers, fed by the hub into a real main window."""
import logging

import pytest

from ide.gui import OutputLevel

from .conftest import Spy, log_lines

PANEL_CALLS = {
    "project_explorer": ("add_workbook", "set_modules", "remove_workbook"),
    "timer_manager": ("add_workbook", "remove_workbook", "update_workbook_name"),
    "event_manager": ("set_module_cache", "update_workbook_name"),
    "function_publisher": ("update_workbook_name",),
    "object_inspector": ("update_workbook_name",),
    "package_manager": ("update_workbook_name",),
}


@pytest.fixture
def spy(window):
    spy = Spy()
    for panel, names in PANEL_CALLS.items():
        spy.watch(getattr(window, panel), *names)
    spy.watch(window, "set_workbook_name", "_update_workbook_name", "_close_tabs_for_workbook",
              "_debug_stop")
    return spy


class TestWorkbookConnected:
    def test_shows_the_workbook_and_its_modules(self, feed, window, spy):
        modules = {"main": "x = 1\n", "tools": "y = 2\n"}
        feed({"type": "workbook_connected", "workbook_id": "wb1", "name": "Sales.xlsx",
              "modules": modules})
        assert window.project_explorer.modules_of("wb1") == ["main", "tools"]
        assert window.project_explorer._workbook_items["wb1"].text(0) == "Sales.xlsx"
        assert window._module_cache["wb1"] == modules
        assert window.event_manager._module_cache["wb1"] == modules
        assert [c.name for c in spy.calls] == ["add_workbook", "set_modules", "set_module_cache",
                                               "add_workbook"]
        assert all(c.on_gui_thread for c in spy.calls)
        entry = feed.console()[-1]
        assert (entry.text, entry.level) == ("Workbook connected: Sales.xlsx",
                                             OutputLevel.DETAILED)

    def test_without_modules_or_name(self, feed, window, spy):
        feed({"type": "workbook_connected", "workbook_id": "wb1"})
        assert spy.names() == ["add_workbook", "set_module_cache", "add_workbook"]
        assert window._module_cache["wb1"] == {}
        assert feed.console()[-1].text == "Workbook connected: wb1"

    def test_without_an_id_does_nothing(self, feed, spy):
        feed({"type": "workbook_connected", "name": "x", "modules": {"m": ""}})
        assert spy.calls == [] and feed.console() == []


class TestWorkbookDisconnected:
    def test_takes_the_workbook_away_everywhere(self, feed, window, spy):
        feed({"type": "workbook_connected", "workbook_id": "wb1", "modules": {"m": "a = 1"}})
        window.add_editor_tab("m", "a = 1", "wb1")
        window._synced_module_hashes["wb1"] = "hash"
        feed({"type": "workbook_disconnected", "workbook_id": "wb1"})
        assert window.project_explorer._workbook_items == {}
        assert "wb1" not in window._module_cache
        assert "wb1" not in window.event_manager._module_cache
        assert "wb1" not in window._synced_module_hashes
        assert window.editor_tabs.count() == 0
        assert feed.console()[-1].text == "Workbook disconnected: wb1"
        assert "_debug_stop" not in spy.names()

    def test_stops_the_debugger_of_that_workbook(self, client_log, feed, window, spy):
        window._set_debug_state(True, "wb1")
        feed({"type": "workbook_disconnected", "workbook_id": "wb1"})
        assert "_debug_stop" in spy.names() and window._debug_active is False
        assert "[IDE] Stopping debugger - workbook wb1 disconnected" in log_lines(
            client_log, logging.INFO)

    def test_keeps_the_debugger_of_another_workbook(self, feed, window, spy):
        window._set_debug_state(True, "wb2")
        feed({"type": "workbook_disconnected", "workbook_id": "wb1"})
        assert window._debug_active is True

    def test_unknown_entries_are_no_error(self, feed):
        feed({"type": "workbook_disconnected", "workbook_id": "never-seen"})
        assert feed.console()[-1].text == "Workbook disconnected: never-seen"


class TestWorkbookRenamed:
    def test_renames_in_every_panel_in_order(self, feed, window):
        feed({"type": "workbook_connected", "workbook_id": "wb1", "name": "Old.xlsx"})
        order = []
        for panel in ("event_manager", "function_publisher", "object_inspector",
                      "package_manager", "timer_manager"):
            original = getattr(window, panel).update_workbook_name
            setattr(getattr(window, panel), "update_workbook_name",
                    lambda *args, _p=panel, _o=original: (order.append((_p, args)), _o(*args)))
        feed({"type": "workbook_name_changed", "workbook_id": "wb1", "old_name": "Old.xlsx",
              "new_name": "New.xlsx"})
        assert order == [(p, ("wb1", "New.xlsx")) for p in (
            "event_manager", "function_publisher", "object_inspector", "package_manager",
            "timer_manager")]
        assert window.project_explorer._workbook_items["wb1"].text(0) == "New.xlsx"
        assert feed.console()[-1].text == "Workbook renamed: Old.xlsx -> New.xlsx"

    @pytest.mark.parametrize("message", [{"workbook_id": "wb1"}, {"new_name": "N"},
                                         {"workbook_id": "wb1", "new_name": ""}])
    def test_needs_an_id_and_a_new_name(self, feed, spy, message):
        feed(dict(message, type="workbook_name_changed"))
        assert spy.calls == [] and feed.console() == []


class TestWorkbookList:
    def test_reconciles_the_explorer_with_the_list(self, feed, window, spy):
        feed({"type": "workbook_connected", "workbook_id": "third", "name": "Third"})
        window._synced_module_hashes["third"] = "h"
        spy.calls.clear()
        feed({"type": "workbook_list", "workbooks": [
            "bare-id", {"id": "mapped", "name": "Mapped.xlsx", "modules": {"m1": "a", "m2": "b"}}]})
        assert list(window.project_explorer._workbook_items) == ["bare-id", "mapped"]
        assert window.project_explorer.modules_of("mapped") == ["m1", "m2"]
        assert window._workbook_names["bare-id"] is None
        assert window._module_cache == {"bare-id": {}, "mapped": {"m1": "a", "m2": "b"}}
        assert "third" not in window._synced_module_hashes
        assert ("remove_workbook", ("third",)) in [(c.name, c.args) for c in spy.calls]
        assert "set_module_cache" not in spy.names()  # the event manager is left alone
        assert "_close_tabs_for_workbook" not in spy.names()
        entry = feed.console()[-1]
        assert (entry.text, entry.level) == ("Received workbook list: 2 workbooks",
                                             OutputLevel.DETAILED)

    def test_workbooks_already_shown_are_left_as_they_are(self, feed, window, spy):
        feed({"type": "workbook_connected", "workbook_id": "wb1", "name": "Kept"})
        spy.calls.clear()
        feed({"type": "workbook_list", "workbooks": [{"id": "wb1", "name": "Renamed?"}]})
        assert spy.calls == []
        assert window.project_explorer._workbook_items["wb1"].text(0) == "Kept"

    def test_entries_without_an_id_are_skipped_but_counted(self, feed, window):
        feed({"type": "workbook_list", "workbooks": [{"id": None, "name": "x"}, {"name": "y"},
                                                     {"id": "ok"}]})
        assert list(window.project_explorer._workbook_items) == ["ok"]
        assert feed.console()[-1].text == "Received workbook list: 3 workbooks"

    def test_an_empty_list_removes_everything(self, feed, window):
        feed({"type": "workbook_connected", "workbook_id": "wb1"})
        feed({"type": "workbook_list"})
        assert window.project_explorer._workbook_items == {}
        assert feed.console()[-1].text == "Received workbook list: 0 workbooks"
