"""``RunActions``: running code from the IDE: cells typed at the console prompt, a function of
a module (Run, F5), and resetting a workbook's namespace.

What it promises:

* A cell goes to the kernel of the workbook picked in the console's "Run in" box as
  "execution_request"; it is echoed in the console, and its output and result follow there.
* Run opens a dialog on the current module's top-level functions, the one under the cursor
  picked, and reads the arguments as Python literals; the function runs as "run_module"
  without debugging. A module with unsaved edits is saved first, so the run sees what is on
  screen. While a run goes on, the Run action and the status bar show it; running the same
  function again before it ends is refused with a console line.
* Anything that cannot run (no kernel, no hub, no function) says so in one console line and
  keeps what was typed: a refused cell goes back into the prompt.
* Debug (``DebugActions``) starts a run the same way, with the dialog saying Debug: the run is
  sent with ``debug`` and the workbook's breakpoints as they are when it leaves.
"""

from __future__ import annotations

import ast
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from PySide6.QtCore import QObject
from PySide6.QtGui import QAction, QKeySequence
from PySide6.QtWidgets import QLabel

from .dialogs import RunDialog
from .hub_channel import KERNEL_CONNECTED, reply_problem, run_module_message
from .monaco_editor import MonacoEditor
from .output_level import OutputLevel
from .python_source import function_at, top_level_functions

if TYPE_CHECKING:
    from .main_window import MainWindow

__all__ = ["RunActions"]

RED = "#ff6b6b"
ECHO = "#9e9e9e"
RUN_TEXT = "&Run Function..."

_RunKey = Tuple[str, str, str]  # workbook id, module, function


class RunActions(QObject):
    def __init__(self, window: "MainWindow") -> None:
        super().__init__(window)
        self.window = window
        self.run_action = QAction(RUN_TEXT, window)
        self.run_action.setShortcut(QKeySequence("F5"))
        self.run_action.setToolTip("Run a function of the current module (F5)")
        self.run_action.triggered.connect(lambda _c=False: self.open_run_dialog())
        self.reset_action = QAction("Reset &Namespace", window)
        self.reset_action.setToolTip("Forget every name the cells defined in the workbook picked "
                                     "for the prompt (modules stay)")
        self.reset_action.triggered.connect(lambda _c=False: self.reset_namespace())
        self.prompt_action = QAction("Go to the Console &Prompt", window)
        self.prompt_action.setShortcut(QKeySequence("Ctrl+`"))
        self.prompt_action.triggered.connect(lambda _c=False: window.console.prompt.setFocus())
        self.busy_label = QLabel("", window)
        self.busy_label.setStyleSheet("color: #e0a030;")
        # Runs going on: key -> request id; and the argument text last used per function.
        self.runs: Dict[_RunKey, str] = {}
        self._arguments: Dict[Tuple[str, str], Dict[str, str]] = {}
        self.dialog: Optional[RunDialog] = None
        window.console.cell_submitted.connect(self.execute_cell)
        window.channel.kernel_states_changed.connect(self._kernels_changed)

    # --- cells ----------------------------------------------------------------------------

    def execute_cell(self, workbook_id: Optional[str], code: str) -> None:
        window = self.window
        lines = code.splitlines() or [""]
        window.log_to_console("\n".join([">>> " + lines[0]] + ["... " + l for l in lines[1:]]),
                              ECHO, level=OutputLevel.SIMPLE)
        problem = ("no workbook is picked in the console's Run in box" if workbook_id is None
                   else window.kernel_problem(workbook_id))
        if problem:
            window.notify(f"The cell did not run: {problem}.", RED)
            window.console.prompt.setPlainText(code)
            return

        def ended(reply: Dict[str, Any]) -> None:
            if reply.get("type") == "execution_result":
                window.channel.show_result(reply)
            else:
                window.notify(f"The cell's result did not arrive: "
                              f"{reply_problem(reply, 'execution_result')}.", RED)

        window.channel.execute_cell(workbook_id, code, ended)

    def reset_namespace(self) -> None:
        window = self.window
        workbook_id = window.console.current_workbook()
        if workbook_id is None:
            window.notify("Pick the workbook whose namespace to reset in the console's Run in "
                          "box.", RED)
            return
        book = window.workbook_display_name(workbook_id)
        problem = window.kernel_problem(workbook_id)
        if problem:
            window.notify(f"Cannot reset the namespace of {book}: {problem}.", RED)
            return

        def done(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "namespace_reset")
            if problem:
                window.notify(f"Could not reset the namespace of {book}: {problem}.", RED)
            else:
                window.notify(f"Namespace of {book} reset: names set by cells are gone, the "
                              "modules stay.", "#4caf50")

        window.channel.reset_namespace(workbook_id, done)

    # --- runs of a function ---------------------------------------------------------------

    def open_run_dialog(self, debug: bool = False) -> None:
        window = self.window
        editor = window.current_editor()
        if editor is None:
            window.notify("Open a module and put the cursor in a function to "
                          f"{'debug it (F9)' if debug else 'run it (F5)'}.", RED)
            return
        source = editor.toPlainText()
        functions = top_level_functions(source)
        if not functions:
            window.notify(f"Nothing to run in {editor.module_name}.py: "
                          f"{_why_no_functions(source)}.", RED)
            return
        here = function_at(functions, editor.cursor_line())
        self.dialog = RunDialog(window, editor.module_name, functions,
                                here.name if here else None,
                                self._arguments.setdefault((editor.workbook_id,
                                                            editor.module_name), {}),
                                "Debug" if debug else "Run")
        self.dialog.chosen.connect(
            lambda function, values, text: self.run(editor, function, values, text, debug))
        self.dialog.open()

    def run(self, editor: MonacoEditor, function: str, values: List[Any], text: str,
            debug: bool = False) -> None:
        window = self.window
        workbook_id, module = editor.workbook_id, editor.module_name
        self._arguments.setdefault((workbook_id, module), {})[function] = text
        key = (workbook_id, module, function)
        if self._refused(key):
            return
        problem = window.kernel_problem(workbook_id)
        if problem:
            window.notify(f"Cannot run {function}(): {problem}.", RED)
            return
        call = f"{module}.{function}({text.strip()})"

        def send() -> None:
            # The breakpoints as they are once the module is saved.
            breakpoints = window.breakpoints.records(workbook_id) if debug else ()
            self._send(key, values, call, debug, breakpoints)

        if editor.is_modified():
            window.notify(f"Saving {module}.py before running {function}()", ECHO)
            window.module_actions.save(editor, then=send)
        else:
            send()

    def _refused(self, key: _RunKey) -> bool:
        if key not in self.runs:
            return False
        book = self.window.workbook_display_name(key[0])
        self.window.notify(f"{key[2]}() is still running in {book}; it can run again once it "
                           "has finished.", RED)
        return True

    def _send(self, key: _RunKey, values: List[Any], call: str, debug: bool = False,
              breakpoints: Tuple[Any, ...] = ()) -> None:
        if self._refused(key):  # a second run may have been asked for while saving
            return
        workbook_id, module, function = key
        message = run_module_message(workbook_id, module, function, values, debug, breakpoints)
        if debug and not self.window.debug_actions.may_start():
            return
        self.window.log_to_console(f"{'Debug' if debug else 'Run'} {call} in "
                                   f"{self.window.workbook_display_name(workbook_id)}",
                                   ECHO, level=OutputLevel.SIMPLE)
        request_id = self.window.channel.run_function(
            message, lambda reply: self._ended(key, reply))
        if request_id is not None:
            self.runs[key] = request_id
            self._show_busy()
            if debug:
                self.window.debug_actions.started(key, request_id)

    def _ended(self, key: _RunKey, reply: Dict[str, Any]) -> None:
        request_id = reply.get("request_id")
        if request_id is not None and self.runs.get(key) != request_id:
            return  # this run was given up already
        self.runs.pop(key, None)
        self._show_busy()
        self.window.debug_actions.run_ended(key)
        if reply.get("type") == "execution_result":
            self.window.channel.show_result(reply)
        else:
            self.window.notify(f"{key[2]}() did not report its end: "
                               f"{reply_problem(reply, 'execution_result')}.", RED)

    def _kernels_changed(self, states: Dict[str, str]) -> None:
        # The hub reports runs its kernels left unanswered; this covers a hub that went away
        # with them (the states come from another hub, or none at all once the link is back).
        if not self.window.channel.is_connected():
            return
        for key in [k for k in self.runs if states.get(k[0]) != KERNEL_CONNECTED]:
            del self.runs[key]
            self.window.notify(f"{key[2]}() did not finish: the kernel of "
                               f"{self.window.workbook_display_name(key[0])} went away.", RED)
        self._show_busy()

    def _show_busy(self) -> None:
        names = [f"{function}()" for _wid, _module, function in self.runs]
        if names:
            self.run_action.setText(f"&Run Function... (running {', '.join(names)})")
            self.busy_label.setText(f"Running {', '.join(names)}")
        else:
            self.run_action.setText(RUN_TEXT)
            self.busy_label.setText("")


def _why_no_functions(source: str) -> str:
    try:
        ast.parse(source)
    except SyntaxError as error:
        return f"it does not parse (line {error.lineno}: {error.msg})"
    return "it has no top-level function (def at the start of a line)"
