"""``DebugActions``: debugging a workbook function from the IDE.

What it promises:

* Debug (F9) opens Run's dialog, saying Debug, and runs the function as "run_module" with
  ``debug`` and the workbook's breakpoints. One session at a time: while one runs, or has been
  stopped and its run has not reported its end yet, Debug says so and starts nothing (Run,
  which sends the runs, checks that).
* While the run is paused: Continue (F5, which runs a function otherwise), Step Over (F10),
  Step Into (F11) and Step Out (Shift+F11) are enabled; Stop (Shift+F5) is enabled for as long
  as the session runs. The toolbar and the Debug menu hold them.
* A pause ("debug_paused") marks its line in the module's tab (opening the tab when the module
  is the workbook's), fills the Variables and Call stack of the debug panel, and says where and
  why it stopped in the status bar; a breakpoint that moved to the next line with code, a
  condition that failed and an exception are each noted in the console. Clicking a frame of
  the stack opens its module at its line.
* An expression typed in the panel is evaluated in the paused frame ("debug_evaluate"); the
  answer ("debug_evaluate_result") is written to the console.
* Breakpoints added, removed or edited while the session runs reach its debugger
  ("debug_update_breakpoints").
* The session ends, and everything it showed goes, on "debug_terminated", on Stop, when the
  run reports its end, and when the workbook's kernel goes away.

Pauses the IDE did not start (the window learns of them from the kernel) are shown and
controlled all the same. The session's state is the ``DebugSession``'s; these actions show it
and move it along. They and the run actions know each other only by their signals, which the
window connects: ``debug_requested`` asks for Run's dialog, ``f5_continues`` hands F5 over, and
Run's ``debug_run_sent`` and ``run_ended`` reach ``started`` and ``run_ended`` here.
"""

from __future__ import annotations

import ast
from typing import TYPE_CHECKING, Any, Dict, Optional

from PySide6.QtCore import QObject, Qt, Signal
from PySide6.QtGui import QAction, QKeySequence, QTextCursor
from PySide6.QtWidgets import QToolBar

from .colors import ECHO, ERROR, NOTICE, SUCCESS
from .debug_session import DebugRun, RunKey
from .hub_channel import KERNEL_CONNECTED, debug_message
from .output_level import OutputLevel

if TYPE_CHECKING:
    from .hosts import DebugHost

__all__ = ["DebugActions"]


class DebugActions(QObject):
    # Debug (F9) asks Run for its dialog, saying Debug.
    debug_requested = Signal()
    # Whether F5 is Continue's (a run is paused) or Run's; sent each time the actions follow
    # the session.
    f5_continues = Signal(bool)

    def __init__(self, host: "DebugHost") -> None:
        super().__init__(host.window())
        self.host = host
        self.debug = host.debug_session
        self.panel = host.debug_panel
        self.dock = host.debug_dock
        self.debug_action = self._action("&Debug Function...", "F9", self.start,
                                         "Run a function of the current module under the "
                                         "debugger, stopping at its breakpoints (F9)")
        self.continue_action = self._action("&Continue", None, self.continue_,
                                            "Run on to the next breakpoint (F5 while paused)")
        self.step_over_action = self._action("Step &Over", "F10", self.step_over,
                                             "Run the current line, then pause (F10)")
        self.step_into_action = self._action("Step &Into", "F11", self.step_into,
                                             "Pause in the function this line calls (F11)")
        self.step_out_action = self._action("Step O&ut", "Shift+F11", self.step_out,
                                            "Run until the current function returns "
                                            "(Shift+F11)")
        self.stop_action = self._action("&Stop Debugging", "Shift+F5", self.stop,
                                        "End the debug run (Shift+F5)")
        self.toolbar = QToolBar("Debug", host.window())
        self.toolbar.setObjectName("debug toolbar")
        self.toolbar.setToolButtonStyle(Qt.ToolButtonStyle.ToolButtonTextOnly)
        for action in self.actions():
            self.toolbar.addAction(action)
        self.panel.expression_entered.connect(self.evaluate)
        self.panel.frame_activated.connect(self.open_frame)
        self.debug.state_changed.connect(self._state_changed)
        host.breakpoints.changed.connect(self._breakpoints_changed)
        host.channel.kernel_states_changed.connect(self._kernels_changed)
        self.refresh()

    def _action(self, text: str, shortcut: Optional[str], slot, tip: str) -> QAction:
        action = QAction(text, self.host.window())
        if shortcut:
            action.setShortcut(QKeySequence(shortcut))
        action.setToolTip(tip)
        action.triggered.connect(lambda _checked=False: slot())
        return action

    def actions(self):
        return [self.debug_action, self.continue_action, self.step_over_action,
                self.step_into_action, self.step_out_action, self.stop_action]

    @property
    def session(self) -> Optional[DebugRun]:
        """The run under the debugger, or None."""
        return self.debug.run

    @property
    def paused(self) -> bool:
        return self.debug.paused

    # --- starting and ending --------------------------------------------------------------

    def start(self) -> None:
        self.debug_requested.emit()  # Run refuses while a session is on

    def started(self, key: RunKey, request_id: str) -> None:
        """The debug run `key` was sent as `request_id`."""
        self.debug.begin(key, request_id)
        self.dock.raise_()

    def run_ended(self, key: RunKey) -> None:
        """The run `key` reported its end: its session, if it had one, is over."""
        if self.debug.run_ended(key):
            self.refresh()

    def terminated(self, message: Dict[str, Any]) -> None:
        if not self.debug.ended_by(message):
            return
        self.host.log_to_console("Debug session ended", level=OutputLevel.DETAILED)
        self.debug.end()

    def stop(self) -> None:
        run = self.debug.run
        if not self.debug.live:
            return
        problem = self.host.channel.send(debug_message("debug_stop", run.workbook_id))
        self.host.notify("Debug session stopped" if problem is None else
                         f"Debug session closed here; its kernel was not told: {problem}.",
                         None if problem is None else ERROR)
        self.debug.end()

    def _state_changed(self, active: bool) -> None:
        # Off, whatever ended it (Stop, the run's end, its workbook gone): the panel empties.
        if not active:
            self.panel.clear()
        self.refresh()

    def _kernels_changed(self, states: Dict[str, str]) -> None:
        run = self.debug.run
        if run is None or not self.host.channel.is_connected():
            return
        if states.get(run.workbook_id) == KERNEL_CONNECTED:
            return
        if not run.ended:
            self.host.notify(f"The debug session ended: the kernel of "
                             f"{self.host.workbook_display_name(run.workbook_id)} went "
                             "away.", ERROR)
        self.debug.kernel_gone()
        self.refresh()

    # --- while paused ---------------------------------------------------------------------

    def continue_(self) -> None:
        self._resume("debug_continue")

    def step_over(self) -> None:
        self._resume("debug_step_over")

    def step_into(self) -> None:
        self._resume("debug_step_into")

    def step_out(self) -> None:
        self._resume("debug_step_out")

    def _resume(self, kind: str) -> None:
        if not self.debug.paused:
            return
        problem = self.host.channel.send(debug_message(kind, self.debug.run.workbook_id))
        if problem is not None:
            self.host.notify(f"Cannot resume the debug run: {problem}.", ERROR)
            return
        self.resumed()

    def resumed(self) -> None:
        if not self.debug.resume():
            return
        editor = self.debug.editor
        if editor is not None:
            editor.clear_debug_line()
        self.panel.set_paused(False)
        self.refresh()

    def evaluate(self, expression: str) -> None:
        if not self.debug.paused:
            self.host.notify("Expressions are evaluated while a debug run is paused.", ERROR)
            return
        self.host.log_to_console(f"? {expression}", ECHO, level=OutputLevel.SIMPLE)
        problem = self.host.channel.send(debug_message(
            "debug_evaluate", self.debug.run.workbook_id, expression=expression))
        if problem is not None:
            self.host.notify(f"Cannot evaluate {expression}: {problem}.", ERROR)

    def exception_reported(self, message: Dict[str, Any]) -> None:
        """The kernel's "debug_exception": the debugged code raised, and the run ends."""
        text = message.get("exception_traceback") or (
            f"{message.get('exception_type')}: {message.get('exception_message')}")
        self.host.log_to_console(str(text).rstrip("\n"), ERROR, level=OutputLevel.SIMPLE)

    def evaluated(self, message: Dict[str, Any]) -> None:
        expression = message.get("expression", "")
        if "error" in message:
            self.host.log_to_console(f"{expression}: {message.get('error')}", ERROR,
                                     level=OutputLevel.SIMPLE)
            return
        kind = message.get("value_type")
        if not _is_expression(expression):  # a statement ("payment = 1.0"): it ran
            self.host.log_to_console(f"{expression}  (done)", SUCCESS, level=OutputLevel.SIMPLE)
            return
        self.host.log_to_console(f"{expression} = {message.get('result')}"
                                 + (f"  ({kind})" if kind else ""), SUCCESS,
                                 level=OutputLevel.SIMPLE)

    def _breakpoints_changed(self, workbook_id: str) -> None:
        if not self.debug.live or self.debug.run.workbook_id != workbook_id:
            return
        self.host.channel.send(debug_message(
            "debug_update_breakpoints", workbook_id,
            breakpoints=self.host.breakpoints.records(workbook_id)))

    # --- showing a pause ------------------------------------------------------------------

    def paused_at(self, message: Dict[str, Any]) -> bool:
        """Shows a "debug_paused" message; False for one without a workbook. The debug state
        is left to the caller to turn on (the window does, as the connection client would)."""
        run = self.debug.pause(message)
        if run is None:
            return False
        module, line = message.get("module_name"), message.get("line")
        self.show_line(run.workbook_id, module, line)
        self.panel.show_pause(message)
        self.dock.raise_()
        self._note(run, message)
        self.refresh()
        return True

    def show_line(self, workbook_id: str, module: Any, line: Any) -> None:
        """Marks `line` in the module's tab, opening it from the workbook's modules if need be;
        a module that is not open yet has its line marked when its code arrives."""
        host = self.host
        editor = host.editor_for(workbook_id, module) if isinstance(module, str) else None
        if editor is None and module in host.workbook_modules.modules(workbook_id):
            host.open_module(workbook_id, module)
            editor = host.editor_for(workbook_id, module)
        if editor is None or not isinstance(line, int):
            self.debug.pending_line = {"workbook_id": workbook_id, "module_name": module,
                                       "line": line}
            return
        host.editor_tabs.setCurrentWidget(editor)
        editor.set_debug_line(line)
        self.debug.editor = editor

    def _note(self, run: DebugRun, message: Dict[str, Any]) -> None:
        where = f"line {message.get('line')} of {message.get('module_name')}"
        requested = message.get("requested_line")
        key = (message.get("module_name"), requested)
        if requested is not None and key not in run.noted:
            run.noted.add(key)
            self.host.notify(f"The breakpoint on line {requested} of "
                             f"{message.get('module_name')} has no code there: it stops at "
                             f"{where}, the next line with code.", NOTICE)
        if message.get("condition_error"):
            self.host.notify(f"The condition of the breakpoint at {where} could not be "
                             f"evaluated ({message['condition_error']}): it stopped there.",
                             ERROR)
        exception = message.get("exception")
        if message.get("reason") == "exception" and isinstance(exception, dict):
            self.host.notify(f"{exception.get('type')}: {exception.get('message')} was raised "
                             f"at {where}; paused there (Continue reports it).", ERROR)

    def describe(self) -> str:
        """The status bar's account of the session."""
        run = self.debug.run
        if not self.debug.live or not self.debug.active:
            return ""
        book = self.host.workbook_display_name(run.workbook_id)
        pause = run.pause
        if pause is None:
            return f"Debugging {book}: running"
        text = (f"Paused in {book} at {pause.get('module_name')}.py:{pause.get('line')}, "
                f"{pause.get('function')}()")
        reason = pause.get("reason")
        if reason == "exception" and isinstance(pause.get("exception"), dict):
            return f"{text}: {pause['exception'].get('type')} raised"
        if pause.get("requested_line") is not None:
            return f"{text} (breakpoint set on line {pause['requested_line']})"
        return f"{text} ({reason})" if reason else text

    def open_frame(self, frame: Dict[str, Any]) -> None:
        """Opens a frame's module at its line (the workbook's modules only)."""
        run = self.debug.run
        module, line = frame.get("module"), frame.get("line")
        host = self.host
        if run is None or module not in host.workbook_modules.modules(run.workbook_id):
            host.statusBar().showMessage(
                f"{frame.get('function')}() is in {frame.get('file') or module}, which is not a "
                "module of the workbook", 6000)
            return
        host.open_module(run.workbook_id, module)
        editor = host.editor_for(run.workbook_id, module)
        block = editor.document().findBlockByNumber(int(line) - 1) if editor else None
        if block is not None and block.isValid():
            editor.setTextCursor(QTextCursor(block))
            editor.centerCursor()
            editor.setFocus()

    # --- actions' state -------------------------------------------------------------------

    def refresh(self) -> None:
        paused = self.debug.paused
        for action in (self.continue_action, self.step_over_action, self.step_into_action,
                       self.step_out_action):
            action.setEnabled(paused)
        self.stop_action.setEnabled(self.debug.live)
        # F5 continues a paused run and runs a function otherwise.
        if paused:
            self.f5_continues.emit(True)
            self.continue_action.setShortcut(QKeySequence("F5"))
        else:
            self.continue_action.setShortcut(QKeySequence())
            self.f5_continues.emit(False)
        text = self.describe()
        self.host.debug_label.setText(text)
        self.panel.set_state(text or "Not debugging. Set breakpoints in the gutter, then "
                                     "Debug (F9).")


def _is_expression(text: str) -> bool:
    """Whether `text` is a Python expression, whose value the console shows (a statement has
    none: "payment = 1.0 = None" would mislead)."""
    try:
        ast.parse(text, mode="eval")
    except (SyntaxError, ValueError, TypeError):
        return False
    return True
