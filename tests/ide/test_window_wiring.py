"""The main window without a hub, as the connection client and the actions use it: the members
the client reads and writes by name are the owners' own maps and state (not copies), the window
is the host of every action, and the actions' requests to one another arrive."""
import pytest

from ide.gui import MainWindow
from ide.gui import hosts

WB = "Book.xlsx"
KEY = (WB, "calc", "total")
CALC = "def total(values):\n    return sum(values)\n"


@pytest.fixture
def window(qtbot):
    window = MainWindow()
    qtbot.addWidget(window)
    return window


def console(window) -> str:
    return window.console.plain_text()


class TestWhatTheClientReaches:
    def test_the_module_maps_are_the_workbook_modules_own(self, window):
        # The client fills and empties these in place.
        window._module_cache[WB] = {"calc": CALC}
        window._module_cache.setdefault(WB, {})["other"] = "x = 1\n"
        window._synced_module_hashes[WB] = "hash"
        modules = window.workbook_modules
        assert modules.modules(WB) == {"calc": CALC, "other": "x = 1\n"}
        assert modules.synced_hashes == {WB: "hash"}
        window._module_cache.pop(WB)
        assert modules.source(WB, "calc") is None
        window._module_cache = {"Other.xlsx": {}}
        assert modules.sources == {"Other.xlsx": {}}

    def test_the_debug_members_are_the_sessions_and_a_closed_tab_is_unmarked(self, window):
        session = window.debug_session
        editor = window.add_editor_tab("calc", CALC, WB)
        window._set_debug_state(True, WB)
        assert (session.active, session.workbook_id) == (True, WB)
        assert (window._debug_active, window._current_debug_workbook) == (True, WB)
        pending = {"workbook_id": WB, "module_name": "other", "line": 3}
        window._pending_debug_line = pending
        window._current_debug_editor = editor
        assert session.pending_line is pending and session.editor is editor
        window.close_tab(window.editor_tabs.indexOf(editor))
        assert window._current_debug_editor is None and window._pending_debug_line is pending

    @pytest.mark.parametrize("protocol", [hosts.ModuleHost, hosts.RunHost, hosts.WorkbookHost,
                                          hosts.DebugHost, hosts.LanguageHost,
                                          hosts.SettingsHost])
    def test_the_window_is_the_host_of_each_action(self, window, protocol):
        assert isinstance(window, protocol)


class TestTheActionsRequests:
    def test_debug_is_refused_while_a_session_runs_and_while_its_run_ends(self, window):
        window.debug_session.begin(KEY, "r1")
        window.debug_actions.debug_action.trigger()
        assert f"A debug session is running in {WB}" in console(window)
        window.debug_actions.stop()  # no hub: closed here, its run's end still to come
        window.debug_actions.debug_action.trigger()
        assert f"total() in {WB} is still ending after its debug session" in console(window)
        assert "Open a module" not in console(window)  # no dialog was asked for

    def test_a_pause_turns_the_debug_state_on_and_f5_follows_it(self, window):
        window._module_cache[WB] = {"calc": CALC}
        window._handle_debug_paused({"type": "debug_paused", "workbook_id": WB,
                                     "module_name": "calc", "line": 2, "function": "total"})
        editor = window.editor_for(WB, "calc")
        assert window._debug_active and editor.debug_line == 2
        assert window.debug_label.text() == f"Paused in {WB} at calc.py:2, total()"
        assert window.run_actions.run_action.shortcut().isEmpty()
        assert window.debug_actions.continue_action.shortcut().toString() == "F5"
        window._handle_debug_resumed({"type": "debug_resumed"})
        assert window.run_actions.run_action.shortcut().toString() == "F5"
        window._handle_debug_terminated({"type": "debug_terminated", "workbook_id": WB})
        assert not window._debug_active and window.debug_actions.session is None

    def test_a_run_of_an_edited_module_asks_for_its_save_first(self, window, qtbot):
        editor = window.add_editor_tab("calc", CALC, WB)
        editor.appendPlainText("# edited")
        window.run_actions.run(editor, "total", [[1]], "[1]")
        assert "Saving calc.py before running total()" in console(window)
        qtbot.waitUntil(lambda: f"Could not save calc.py to {WB}" in console(window))
        assert window.run_actions.runs == {}  # the run waits for the save, which failed

    def test_restart_chosen_in_the_waiting_box_restarts_the_kernel(self, window):
        box = window.run_actions.offer_restart(WB)
        next(b for b in box.buttons() if b.text() == "Restart Kernel").click()
        assert f"Restarting the kernel of {WB}..." in console(window)
