"""``DebugActions``: debugging a workbook function from the IDE.

What it promises:

* Debug (F9) opens Run's dialog, saying Debug, and runs the function as "run_module" with
  ``debug`` and the workbook's breakpoints. One session at a time: while one runs, or has been
  stopped and its run has not reported its end yet, Debug says so and starts nothing.
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
controlled all the same.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Optional, Set, Tuple

from PySide6.QtCore import QObject, Qt
from PySide6.QtGui import QAction, QKeySequence, QTextCursor
from PySide6.QtWidgets import QDockWidget, QToolBar

from .colors import ECHO, ERROR, NOTICE, SUCCESS
from .hub_channel import KERNEL_CONNECTED, debug_message
from .output_level import OutputLevel

if TYPE_CHECKING:
    from .main_window import MainWindow

__all__ = ["DebugActions"]


_RunKey = Tuple[str, str, str]  # workbook id, module, function


@dataclass
class _Session:
    workbook_id: str
    key: Optional[_RunKey] = None  # the run that started it; None for a pause found running
    request_id: Optional[str] = None
    pause: Optional[Dict[str, Any]] = None  # the pause shown, while paused
    ended: bool = False  # the debugger has ended; the run's own end may still be on its way
    noted: Set[Tuple[Any, Any]] = field(default_factory=set)  # moved breakpoints told of


class DebugActions(QObject):
    def __init__(self, window: "MainWindow") -> None:
        super().__init__(window)
        self.window = window
        self.panel = window.debug_panel
        self.dock = window.findChild(QDockWidget, "Debug")
        self.session: Optional[_Session] = None
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
        self.toolbar = QToolBar("Debug", window)
        self.toolbar.setObjectName("debug toolbar")
        self.toolbar.setToolButtonStyle(Qt.ToolButtonStyle.ToolButtonTextOnly)
        for action in self.actions():
            self.toolbar.addAction(action)
        self.panel.expression_entered.connect(self.evaluate)
        self.panel.frame_activated.connect(self.open_frame)
        window.breakpoints.changed.connect(self._breakpoints_changed)
        window.channel.kernel_states_changed.connect(self._kernels_changed)
        self.refresh()

    def _action(self, text: str, shortcut: Optional[str], slot, tip: str) -> QAction:
        action = QAction(text, self.window)
        if shortcut:
            action.setShortcut(QKeySequence(shortcut))
        action.setToolTip(tip)
        action.triggered.connect(lambda _checked=False: slot())
        return action

    def actions(self):
        return [self.debug_action, self.continue_action, self.step_over_action,
                self.step_into_action, self.step_out_action, self.stop_action]

    @property
    def paused(self) -> bool:
        return self.session is not None and self.session.pause is not None

    # --- starting and ending --------------------------------------------------------------

    def start(self) -> None:
        if self.may_start():
            self.window.run_actions.open_run_dialog(debug=True)

    def may_start(self) -> bool:
        """Whether a new debug run may start now; if not, a console line says why."""
        session = self.session
        if session is None:
            return True
        book = self.window.workbook_display_name(session.workbook_id)
        if not session.ended:
            self.window.notify(f"A debug session is running in {book}: continue it to its end "
                               "or stop it (Shift+F5) before debugging again.", ERROR)
        else:
            function = session.key[2] if session.key else "the last debug run"
            self.window.notify(f"{function}() in {book} is still ending after its debug "
                               "session; debug again once it has.", ERROR)
        return False

    def started(self, key: _RunKey, request_id: str) -> None:
        """The debug run `key` was sent as `request_id`."""
        self.session = _Session(key[0], key, request_id)
        self.window._set_debug_state(True, key[0])
        self.dock.raise_()

    def run_ended(self, key: _RunKey) -> None:
        """The run `key` reported its end: its session, if it had one, is over."""
        session = self.session
        if session is None or session.key != key:
            return
        self.session = None
        if not session.ended:
            self.window._debug_stop()
        self.refresh()

    def terminated(self, message: Dict[str, Any]) -> None:
        session = self.session
        if session is None or session.ended:
            return
        request_id = message.get("request_id")
        if request_id and session.request_id and request_id != session.request_id:
            return  # an earlier run's last word
        workbook_id = message.get("workbook_id")
        if workbook_id and workbook_id != session.workbook_id:
            return
        self.window.log_to_console("Debug session ended", level=OutputLevel.DETAILED)
        self._end()

    def stop(self) -> None:
        session = self.session
        if session is None or session.ended:
            return
        problem = self.window.channel.send(debug_message("debug_stop", session.workbook_id))
        self.window.notify("Debug session stopped" if problem is None else
                           f"Debug session closed here; its kernel was not told: {problem}.",
                           None if problem is None else ERROR)
        self._end()

    def _end(self) -> None:
        """Ends what the session shows; a session that waits for its run's end stays."""
        session = self.session
        if session is None:
            return
        session.ended = True
        session.pause = None
        if session.key is None:
            self.session = None
        self.window._debug_stop()

    def window_state_changed(self) -> None:
        """The window's debug state changed (its _set_debug_state)."""
        if not self.window._debug_active:
            if self.session is not None and not self.session.ended:
                self._end()  # the window gave the session up (its workbook went away)
                return
            self.panel.clear()
        self.refresh()

    def _kernels_changed(self, states: Dict[str, str]) -> None:
        session = self.session
        if session is None or not self.window.channel.is_connected():
            return
        if states.get(session.workbook_id) == KERNEL_CONNECTED:
            return
        if not session.ended:
            self.window.notify(f"The debug session ended: the kernel of "
                               f"{self.window.workbook_display_name(session.workbook_id)} went "
                               "away.", ERROR)
        session.key = None  # nothing more will come from its run: the session goes now
        self._end()
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
        session = self.session
        if session is None or session.pause is None:
            return
        problem = self.window.channel.send(debug_message(kind, session.workbook_id))
        if problem is not None:
            self.window.notify(f"Cannot resume the debug run: {problem}.", ERROR)
            return
        self.resumed()

    def resumed(self) -> None:
        session = self.session
        if session is None or session.ended:
            return
        session.pause = None
        editor = self.window._current_debug_editor
        if editor is not None:
            editor.clear_debug_line()
        self.panel.set_paused(False)
        self.refresh()

    def evaluate(self, expression: str) -> None:
        session = self.session
        if session is None or session.pause is None:
            self.window.notify("Expressions are evaluated while a debug run is paused.", ERROR)
            return
        self.window.log_to_console(f"? {expression}", ECHO, level=OutputLevel.SIMPLE)
        problem = self.window.channel.send(debug_message(
            "debug_evaluate", session.workbook_id, expression=expression))
        if problem is not None:
            self.window.notify(f"Cannot evaluate {expression}: {problem}.", ERROR)

    def exception_reported(self, message: Dict[str, Any]) -> None:
        """The kernel's "debug_exception": the debugged code raised, and the run ends."""
        text = message.get("exception_traceback") or (
            f"{message.get('exception_type')}: {message.get('exception_message')}")
        self.window.log_to_console(str(text).rstrip("\n"), ERROR, level=OutputLevel.SIMPLE)

    def evaluated(self, message: Dict[str, Any]) -> None:
        expression = message.get("expression", "")
        if "error" in message:
            self.window.log_to_console(f"{expression}: {message.get('error')}", ERROR,
                                       level=OutputLevel.SIMPLE)
            return
        kind = message.get("value_type")
        if not _is_expression(expression):  # a statement ("payment = 1.0"): it ran
            self.window.log_to_console(f"{expression}  (done)", SUCCESS, level=OutputLevel.SIMPLE)
            return
        self.window.log_to_console(f"{expression} = {message.get('result')}"
                                   + (f"  ({kind})" if kind else ""), SUCCESS,
                                   level=OutputLevel.SIMPLE)

    def _breakpoints_changed(self, workbook_id: str) -> None:
        session = self.session
        if session is None or session.ended or session.workbook_id != workbook_id:
            return
        self.window.channel.send(debug_message(
            "debug_update_breakpoints", workbook_id,
            breakpoints=self.window.breakpoints.records(workbook_id)))

    # --- showing a pause ------------------------------------------------------------------

    def paused_at(self, message: Dict[str, Any]) -> None:
        """Shows a "debug_paused" message."""
        workbook_id = message.get("workbook_id")
        if not isinstance(workbook_id, str) or not workbook_id:
            return
        session = self.session
        if session is None or session.ended or session.workbook_id != workbook_id:
            session = self.session = _Session(workbook_id)
        session.pause = message
        module, line = message.get("module_name"), message.get("line")
        self.show_line(workbook_id, module, line)
        self.panel.show_pause(message)
        self.dock.raise_()
        self._note(session, message)
        if not self.window._debug_active:
            self.window._set_debug_state(True, workbook_id)
        else:
            self.refresh()

    def show_line(self, workbook_id: str, module: Any, line: Any) -> None:
        """Marks `line` in the module's tab, opening it from the workbook's modules if need be;
        a module that is not open yet has its line marked when its code arrives."""
        window = self.window
        editor = window.editor_for(workbook_id, module) if isinstance(module, str) else None
        if editor is None and module in window._module_cache.get(workbook_id, {}):
            window._open_module_from_cache(workbook_id, module)
            editor = window.editor_for(workbook_id, module)
        if editor is None or not isinstance(line, int):
            window._pending_debug_line = {"workbook_id": workbook_id, "module_name": module,
                                          "line": line}
            return
        window.editor_tabs.setCurrentWidget(editor)
        editor.set_debug_line(line)
        window._current_debug_editor = editor

    def _note(self, session: _Session, message: Dict[str, Any]) -> None:
        where = f"line {message.get('line')} of {message.get('module_name')}"
        requested = message.get("requested_line")
        key = (message.get("module_name"), requested)
        if requested is not None and key not in session.noted:
            session.noted.add(key)
            self.window.notify(f"The breakpoint on line {requested} of "
                               f"{message.get('module_name')} has no code there: it stops at "
                               f"{where}, the next line with code.", NOTICE)
        if message.get("condition_error"):
            self.window.notify(f"The condition of the breakpoint at {where} could not be "
                               f"evaluated ({message['condition_error']}): it stopped there.",
                               ERROR)
        exception = message.get("exception")
        if message.get("reason") == "exception" and isinstance(exception, dict):
            self.window.notify(f"{exception.get('type')}: {exception.get('message')} was raised "
                               f"at {where}; paused there (Continue reports it).", ERROR)

    def describe(self) -> str:
        """The status bar's account of the session."""
        session = self.session
        if session is None or session.ended or not self.window._debug_active:
            return ""
        book = self.window.workbook_display_name(session.workbook_id)
        pause = session.pause
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
        session = self.session
        module, line = frame.get("module"), frame.get("line")
        window = self.window
        if session is None or module not in window._module_cache.get(session.workbook_id, {}):
            window.statusBar().showMessage(
                f"{frame.get('function')}() is in {frame.get('file') or module}, which is not a "
                "module of the workbook", 6000)
            return
        window._open_module_from_cache(session.workbook_id, module)
        editor = window.editor_for(session.workbook_id, module)
        block = editor.document().findBlockByNumber(int(line) - 1) if editor else None
        if block is not None and block.isValid():
            editor.setTextCursor(QTextCursor(block))
            editor.centerCursor()
            editor.setFocus()

    # --- actions' state -------------------------------------------------------------------

    def refresh(self) -> None:
        session = self.session
        paused = self.paused
        for action in (self.continue_action, self.step_over_action, self.step_into_action,
                       self.step_out_action):
            action.setEnabled(paused)
        self.stop_action.setEnabled(session is not None and not session.ended)
        # F5 continues a paused run and runs a function otherwise.
        run_action = self.window.run_actions.run_action
        if paused:
            run_action.setShortcut(QKeySequence())
            self.continue_action.setShortcut(QKeySequence("F5"))
        else:
            self.continue_action.setShortcut(QKeySequence())
            run_action.setShortcut(QKeySequence("F5"))
        text = self.describe()
        self.window.debug_label.setText(text)
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
