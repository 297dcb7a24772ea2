"""The debug session's state and the debug actions, on a small stand-in for the window (no hub,
no kernel): how the session goes on, pauses and ends, what it refuses, and what the actions
show and send as it does."""
from typing import List, Optional

import pytest
from PySide6.QtCore import QObject, Signal
from PySide6.QtWidgets import QDockWidget, QLabel, QStatusBar, QTabWidget, QWidget

from ide.gui.breakpoints import BreakpointStore
from ide.gui.debug_actions import DebugActions
from ide.gui.debug_session import DebugSession
from ide.gui.hosts import DebugHost
from ide.gui.monaco_editor import MonacoEditor
from ide.gui.panels import DebugPanel
from ide.gui.workbook_modules import WorkbookModules

WB = "Book.xlsx"
KEY = (WB, "calc", "total")
CALC = "def total(values):\n    result = 0\n    for v in values:\n        result += v\n"


def pause(line: int = 2, module: str = "calc", workbook_id=WB) -> dict:
    """A "debug_paused" message at a breakpoint in total()."""
    return {"type": "debug_paused", "workbook_id": workbook_id, "module_name": module,
            "line": line, "function": "total", "reason": "breakpoint",
            "call_stack": [{"function": "total", "module": module, "line": line}]}


@pytest.fixture
def session(qapp):
    session = DebugSession()
    session.states = []
    session.state_changed.connect(session.states.append)
    return session


class TestTheSession:
    def test_a_debug_run_turns_the_state_on_and_its_end_is_waited_for_after_stop(self, session):
        session.begin(KEY, "r1")
        assert (session.states, session.active, session.workbook_id) == ([True], True, WB)
        assert session.live and not session.paused
        assert session.pause(pause()) is session.run and session.paused
        assert session.resume() and not session.paused and session.live

        session.end()  # Stop: the state goes off, the run's own end is still to come
        assert session.states == [True, False] and not session.active
        assert session.run is not None and session.run.ended and not session.live
        assert not session.run_ended((WB, "calc", "other"))  # not this session's run
        assert session.run is not None
        assert session.run_ended(KEY) and session.run is None
        assert session.states == [True, False]  # off already: said once

    def test_turning_the_state_off_ends_a_live_session_and_forgets_the_marked_line(self, session):
        session.begin(KEY, "r1")
        session.pause(pause())
        session.editor = object()
        session.pending_line = {"workbook_id": WB, "module_name": "calc", "line": 2}
        session.set_state(False, None)  # as when the workbook goes away
        assert session.run.ended and session.run.pause is None
        assert (session.editor, session.pending_line, session.workbook_id) == (None, None, None)
        assert session.states == [True, False]

    def test_a_pause_nobody_started_makes_a_session_that_goes_entirely_at_its_end(self, session):
        run = session.pause(pause())
        assert run.key is None and run.workbook_id == WB and session.states == []
        session.end()
        assert session.run is None and session.states == [False]

    def test_a_pause_in_another_workbook_is_a_session_of_its_own(self, session):
        session.begin(KEY, "r1")
        first = session.run
        second = session.pause(pause(workbook_id="Other.xlsx"))
        assert second is not first and second.workbook_id == "Other.xlsx" and second.key is None
        assert not session.run_ended(KEY)  # the first run's end no longer ends anything

    @pytest.mark.parametrize("workbook_id", [None, "", 3])
    def test_a_pause_without_a_workbook_is_refused(self, session, workbook_id):
        session.begin(KEY, "r1")
        run = session.run
        assert session.pause(pause(workbook_id=workbook_id)) is None
        assert session.run is run and run.pause is None and session.states == [True]

    def test_what_applies_to_no_session_is_refused(self, session):
        assert not session.resume() and not session.ended_by({"workbook_id": WB})
        assert not session.run_ended(KEY)
        session.end()
        session.kernel_gone()
        assert session.states == [] and session.run is None

    def test_only_the_sessions_own_termination_ends_it(self, session):
        session.begin(KEY, "r1")
        assert not session.ended_by({"request_id": "r0", "workbook_id": WB})  # an earlier run
        assert not session.ended_by({"request_id": "r1", "workbook_id": "Other.xlsx"})
        assert session.ended_by({"request_id": "r1", "workbook_id": WB})
        assert session.ended_by({})  # says no more than that the debugger ended
        session.end()
        assert not session.ended_by({"request_id": "r1"})  # ended already

    def test_when_the_kernel_goes_the_session_does_not_wait_for_its_run(self, session):
        session.begin(KEY, "r1")
        session.end()
        session.kernel_gone()
        assert session.run is None


class FakeChannel(QObject):
    kernel_states_changed = Signal(dict)

    def __init__(self) -> None:
        super().__init__()
        self.sent: List[dict] = []
        self.problem: Optional[str] = None  # what send() answers

    def is_connected(self) -> bool:
        return True

    def send(self, message: dict) -> Optional[str]:
        if self.problem is None:
            self.sent.append(message)
        return self.problem


class FakeHost:
    """The members DebugActions uses, with real panels and tabs and a channel that records."""

    def __init__(self) -> None:
        self.root = QWidget()
        self.channel = FakeChannel()
        self.debug_session = DebugSession()
        self.debug_panel = DebugPanel(self.root)
        self.debug_dock = QDockWidget("Debug", self.root)
        self.debug_label = QLabel(self.root)
        self.breakpoints = BreakpointStore()
        self.editor_tabs = QTabWidget(self.root)
        self.workbook_modules = WorkbookModules()
        self.status_bar = QStatusBar(self.root)
        self.lines: List[str] = []
        self.opened: List[tuple] = []

    def window(self) -> QWidget:
        return self.root

    def notify(self, text, color=None, level_detailed=False) -> None:
        self.lines.append(text)

    def log_to_console(self, text, color=None, level=None, from_std=False) -> None:
        self.lines.append(text)

    def workbook_display_name(self, workbook_id: str) -> str:
        return workbook_id

    def statusBar(self) -> QStatusBar:
        return self.status_bar

    def editor_for(self, workbook_id, module_name) -> Optional[MonacoEditor]:
        for index in range(self.editor_tabs.count()):
            editor = self.editor_tabs.widget(index)
            if (editor.workbook_id, editor.module_name) == (workbook_id, module_name):
                return editor
        return None

    def open_module(self, workbook_id: str, module_name: str) -> None:
        self.opened.append((workbook_id, module_name))
        code = self.workbook_modules.source(workbook_id, module_name)
        self.editor_tabs.addTab(MonacoEditor(workbook_id, module_name, code), module_name)


@pytest.fixture
def host(qapp):
    host = FakeHost()
    assert isinstance(host, DebugHost)  # the stand-in has all the actions may use
    host.workbook_modules.put(WB, "calc", CALC)
    yield host
    host.root.deleteLater()


@pytest.fixture
def actions(host):
    actions = DebugActions(host)
    actions.f5 = []
    actions.f5_continues.connect(actions.f5.append)
    return actions


def stepping(actions) -> List[bool]:
    return [a.isEnabled() for a in (actions.continue_action, actions.step_over_action,
                                    actions.step_into_action, actions.step_out_action)]


def paused_in_calc(host, actions, line: int = 2):
    actions.started(KEY, "r1")
    assert actions.paused_at(pause(line))
    return host.editor_for(WB, "calc")


class TestTheActionsOnAStandIn:
    def test_a_pause_opens_the_workbooks_module_marks_its_line_and_enables_stepping(
            self, host, actions):
        actions.started(KEY, "r1")
        assert host.debug_label.text() == f"Debugging {WB}: running"
        assert stepping(actions) == [False] * 4 and actions.stop_action.isEnabled()

        assert actions.paused_at(pause(3))
        editor = host.editor_for(WB, "calc")
        assert host.opened == [(WB, "calc")] and host.editor_tabs.currentWidget() is editor
        assert editor.debug_line == 3 and host.debug_session.editor is editor
        assert host.debug_session.pending_line is None
        assert stepping(actions) == [True] * 4 and actions.f5[-1] is True
        assert actions.continue_action.shortcut().toString() == "F5"
        assert host.debug_label.text() == f"Paused in {WB} at calc.py:3, total() (breakpoint)"
        assert host.debug_panel.stack.topLevelItemCount() == 1

    def test_a_pause_in_a_module_the_workbook_lacks_waits_for_its_code(self, host, actions):
        actions.started(KEY, "r1")
        actions.paused_at(pause(7, module="site_helpers"))
        assert host.opened == [] and host.editor_tabs.count() == 0
        assert host.debug_session.pending_line == {"workbook_id": WB,
                                                   "module_name": "site_helpers", "line": 7}

    def test_a_pause_without_a_workbook_shows_nothing(self, host, actions):
        assert not actions.paused_at(pause(workbook_id=""))
        assert actions.session is None and host.opened == [] and stepping(actions) == [False] * 4

    def test_a_step_is_sent_and_unmarks_the_line_until_the_next_pause(self, host, actions):
        editor = paused_in_calc(host, actions)
        actions.step_over()
        assert host.channel.sent == [{"type": "debug_step_over", "workbook_id": WB}]
        assert editor.debug_line is None and not actions.paused
        assert stepping(actions) == [False] * 4 and actions.f5[-1] is False
        assert not host.debug_panel.expression_edit.isEnabled()
        actions.step_over()  # not paused: nothing goes
        assert len(host.channel.sent) == 1

    def test_a_step_the_hub_cannot_take_leaves_the_run_paused(self, host, actions):
        editor = paused_in_calc(host, actions)
        host.channel.problem = "the IDE is not connected"
        actions.continue_()
        assert actions.paused and editor.debug_line == 2
        assert host.lines[-1] == "Cannot resume the debug run: the IDE is not connected."

    def test_stop_tells_the_kernel_and_everything_the_session_showed_goes(self, host, actions):
        paused_in_calc(host, actions)
        states = []
        host.debug_session.state_changed.connect(states.append)
        actions.stop()
        assert host.channel.sent == [{"type": "debug_stop", "workbook_id": WB}]
        assert host.lines[-1] == "Debug session stopped" and states == [False]
        assert host.debug_session.editor is None
        assert not host.debug_panel.expression_edit.isEnabled()
        assert host.debug_label.text() == "" and host.debug_panel.stack.topLevelItemCount() == 0
        assert not actions.stop_action.isEnabled() and actions.f5[-1] is False
        assert actions.session.ended  # its run's end is still to come
        actions.stop()
        assert len(host.channel.sent) == 1
        actions.run_ended(KEY)
        assert actions.session is None

    def test_breakpoints_reach_the_live_session_only(self, host, actions):
        actions.started(KEY, "r1")
        host.breakpoints.toggle(WB, "calc", 4)
        host.breakpoints.toggle("Other.xlsx", "calc", 4)
        assert host.channel.sent == [{"type": "debug_update_breakpoints", "workbook_id": WB,
                                      "breakpoints": [{"module_name": "calc", "line": 4}]}]
        actions.terminated({"request_id": "r1", "workbook_id": WB})
        host.breakpoints.toggle(WB, "calc", 4)
        assert len(host.channel.sent) == 1

    def test_the_session_ends_when_its_kernel_goes_away(self, host, actions):
        paused_in_calc(host, actions)
        host.channel.kernel_states_changed.emit({WB: "connected"})
        assert actions.paused
        host.channel.kernel_states_changed.emit({})
        assert actions.session is None and not host.debug_session.active
        assert host.lines[-1] == f"The debug session ended: the kernel of {WB} went away."

    def test_expressions_go_to_the_paused_frame_only(self, host, actions):
        actions.evaluate("values")
        assert host.channel.sent == []
        assert host.lines[-1] == "Expressions are evaluated while a debug run is paused."
        paused_in_calc(host, actions)
        actions.evaluate("values")
        assert host.channel.sent == [{"type": "debug_evaluate", "workbook_id": WB,
                                      "expression": "values"}]
