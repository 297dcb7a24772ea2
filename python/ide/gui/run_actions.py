"""``RunActions``: running code from the IDE: cells typed at the console prompt, a function of
a module (Run, F5), and resetting a workbook's namespace.

What it promises:

* A cell goes to the kernel of the workbook picked in the console's "Run in" box as
  "execution_request"; it is echoed in the console, and its output and result follow there
  (the console draws a plain success as a mark on the echo).
* Run opens a dialog on the current module's top-level functions, the one under the cursor
  picked, and reads the arguments as Python literals; the function runs as "run_module"
  without debugging. A module with unsaved edits is saved first, so the run sees what is on
  screen. While a run goes on, the Run action and the status bar show it; running the same
  function again before it ends is refused with a console line.
* Anything that cannot run (no kernel, no hub, no function) says so in one console line and
  keeps what was typed: a refused cell goes back into the prompt.
* Debug (``DebugActions``) starts a run the same way, with the dialog saying Debug: the run is
  sent with ``debug`` and the workbook's breakpoints as they are when it leaves.
* Interrupt (Ctrl+F2, the toolbar, or Ctrl+C in the console without a text selection) is
  enabled while a cell, a run or a debug run the IDE started goes on in the workbook picked for
  the prompt, and stops each of them with KeyboardInterrupt; the run ends with its usual
  failure and the namespace stays. Runs started elsewhere (worksheet calls, events) are left
  alone: each interrupt names its run, and is sent again while the kernel has not started the
  run yet (a cell just sent). When a run the interrupt reached has not ended
  ``INTERRUPT_WAIT_MS`` later, its code is inside a call that cannot be interrupted: the
  console says so and a box offers Restart Kernel or Wait (the box goes once the run ends).
"""

from __future__ import annotations

import ast
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from PySide6.QtCore import QObject, QTimer, Signal
from PySide6.QtGui import QAction, QKeySequence
from PySide6.QtWidgets import QCheckBox, QLabel, QMessageBox

from .colors import ECHO, ERROR, NOTICE, SUCCESS, style
from .debug_session import RunKey
from .dialogs import RunDialog, choose
from .hub_channel import DEBUG_STOPPED, KERNEL_CONNECTED, reply_problem, run_module_message
from .monaco_editor import MonacoEditor
from .output_level import OutputLevel
from .python_source import function_at, top_level_functions

if TYPE_CHECKING:
    from .hosts import RunHost

__all__ = ["RunActions"]

RUN_TEXT = "&Run Function..."
# How long a run the interrupt reached may take to end before it counts as stuck in a call.
INTERRUPT_WAIT_MS = 2000
# A run that has not started its code in the kernel yet (just sent, or queued) is not reached:
# its interrupt is sent again this often, this many times, while the run goes on.
INTERRUPT_RETRY_MS = 100
INTERRUPT_RETRIES = 50
RESTART, WAIT = "Restart Kernel", "Wait"
CELL = "the cell"


@dataclass
class _Interrupt:
    """An interrupt sent to a run that has not ended yet."""
    workbook_id: str
    label: str  # what the console calls the run: "the cell", "slow()"
    timer: Optional[QTimer] = None  # from the interrupt's arrival to the waiting notice
    noted: bool = False  # the console said the interrupt waits
    retries: int = 0  # sent again, since the kernel had not started the run


class RunActions(QObject):
    # What it asks of the other actions: to save a module before its run, then call `then`
    # (editor, then); to restart a workbook's kernel (workbook id).
    save_requested = Signal(object, object)
    restart_requested = Signal(str)
    # A debug run went to the hub (run key, request id), and a run reported its end (run key).
    debug_run_sent = Signal(object, str)
    run_ended = Signal(object)

    def __init__(self, host: "RunHost") -> None:
        super().__init__(host.window())
        self.host = host
        self.run_action = QAction(RUN_TEXT, host.window())
        self.run_action.setShortcut(QKeySequence("F5"))
        self.run_action.setToolTip("Run a function of the current module (F5)")
        # The toolbar's label stays put while runs come and go (the status bar names them).
        self.run_action.setIconText("Run Function")
        self.run_action.triggered.connect(lambda _c=False: self.open_run_dialog())
        self.interrupt_action = QAction("&Interrupt", host.window())
        self.interrupt_action.setIconText("Interrupt")
        self.interrupt_action.setShortcut(QKeySequence("Ctrl+F2"))
        self.interrupt_action.setToolTip("Stop what runs in the workbook picked for the prompt "
                                         "with KeyboardInterrupt (Ctrl+F2, or Ctrl+C in the "
                                         "console)")
        self.interrupt_action.setEnabled(False)
        self.interrupt_action.triggered.connect(lambda _c=False: self.interrupt())
        self.reset_action = QAction("Reset &Namespace...", host.window())
        self.reset_action.setIconText("Reset Namespace")
        # Whether Reset Namespace asks first ("Don't ask again" in its question turns it off;
        # the window's settings keep it).
        self.ask_before_reset = True
        self.reset_action.setToolTip("Forget every name the cells defined in the workbook picked "
                                     "for the prompt (modules stay)")
        self.reset_action.triggered.connect(lambda _c=False: self.reset_namespace())
        self.prompt_action = QAction("Go to the Console &Prompt", host.window())
        self.prompt_action.setShortcut(QKeySequence("Ctrl+`"))
        self.prompt_action.triggered.connect(lambda _c=False: host.console.prompt.setFocus())
        self.busy_label = QLabel("", host.window())
        self.busy_label.setStyleSheet(style(NOTICE))
        # Runs going on: key -> request id; and the argument text last used per function.
        self.runs: Dict[RunKey, str] = {}
        # Cells going on: request id -> workbook id; interrupts of runs not ended yet, by the
        # run's request id; the open Restart-or-Wait box of each workbook.
        self.cells: Dict[str, str] = {}
        self._interrupts: Dict[str, _Interrupt] = {}
        self.waiting_boxes: Dict[str, QMessageBox] = {}
        self._arguments: Dict[Tuple[str, str], Dict[str, str]] = {}
        self.dialog: Optional[RunDialog] = None
        host.console.cell_submitted.connect(self.execute_cell)
        host.console.interrupt_action = self.interrupt_action
        host.console.workbook_box.currentIndexChanged.connect(
            lambda _i: self._refresh_interrupt())
        # The box is refilled without a signal when workbooks come and go.
        host.project_explorer.workbooks_changed.connect(self._refresh_interrupt)
        host.channel.kernel_states_changed.connect(self._kernels_changed)

    # --- cells ----------------------------------------------------------------------------

    def execute_cell(self, workbook_id: Optional[str], code: str) -> None:
        host = self.host
        lines = code.splitlines() or [""]
        echo = host.console.append_echo(
            "\n".join([">>> " + lines[0]] + ["... " + line for line in lines[1:]]), ECHO)
        problem = ("no workbook is picked in the console's Run in box" if workbook_id is None
                   else host.kernel_problem(workbook_id))
        if problem:
            host.notify(f"The cell did not run: {problem}.", ERROR)
            host.console.prompt.setPlainText(code)
            return

        sent: List[str] = []

        def ended(reply: Dict[str, Any]) -> None:
            if sent:
                self._finished(sent[0])
            if reply.get("type") == "execution_result":
                host.console.cell_ending(echo)  # its success is drawn on the echo
                host.channel.show_result(reply)
            else:
                host.notify(f"The cell's result did not arrive: "
                            f"{reply_problem(reply, 'execution_result')}.", ERROR)

        request_id = host.channel.execute_cell(workbook_id, code, ended)
        if request_id is not None:
            sent.append(request_id)
            self.cells[request_id] = workbook_id
            self._refresh_interrupt()

    def reset_namespace(self) -> None:
        """Asks first (unless told not to again): every name the cells defined goes."""
        host = self.host
        workbook_id = host.console.current_workbook()
        if workbook_id is None:
            host.notify("Pick the workbook whose namespace to reset in the console's Run in "
                        "box.", ERROR)
            return
        if not self.ask_before_reset:
            self._reset_namespace(workbook_id)
            return
        book = host.workbook_display_name(workbook_id)
        box = QMessageBox(QMessageBox.Icon.Question, "Reset Namespace",
                          f"Forget every name the cells defined in {book}? Its modules stay.",
                          QMessageBox.StandardButton.NoButton, host.window())
        reset = box.addButton("Reset", QMessageBox.ButtonRole.DestructiveRole)
        box.addButton(QMessageBox.StandardButton.Cancel)
        box.setDefaultButton(QMessageBox.StandardButton.Cancel)
        box.setCheckBox(QCheckBox("Don't ask again", box))
        box.setObjectName("reset namespace question")

        def answered(_result: int) -> None:
            box.deleteLater()
            if box.clickedButton() is not reset:
                return
            if box.checkBox().isChecked():
                self.ask_before_reset = False
            self._reset_namespace(workbook_id)

        box.finished.connect(answered)
        box.open()

    def _reset_namespace(self, workbook_id: str) -> None:
        host = self.host
        book = host.workbook_display_name(workbook_id)
        problem = host.kernel_problem(workbook_id)
        if problem:
            host.notify(f"Cannot reset the namespace of {book}: {problem}.", ERROR)
            return

        def done(reply: Dict[str, Any]) -> None:
            problem = reply_problem(reply, "namespace_reset")
            if problem:
                host.notify(f"Could not reset the namespace of {book}: {problem}.", ERROR)
            else:
                host.notify(f"Namespace of {book} reset: names set by cells are gone, the "
                            "modules stay.", SUCCESS)

        host.channel.reset_namespace(workbook_id, done)

    # --- runs of a function ---------------------------------------------------------------

    def open_run_dialog(self, debug: bool = False) -> None:
        host = self.host
        if debug and not self._may_debug():
            return
        editor = host.current_editor()
        if editor is None:
            host.notify("Open a module and put the cursor in a function to "
                        f"{'debug it (F9)' if debug else 'run it (F5)'}.", ERROR)
            return
        source = editor.toPlainText()
        functions = top_level_functions(source)
        if not functions:
            host.notify(f"Nothing to run in {editor.module_name}.py: "
                        f"{_why_no_functions(source)}.", ERROR)
            return
        here = function_at(functions, editor.cursor_line())
        self.dialog = RunDialog(host.window(), editor.module_name, functions,
                                here.name if here else None,
                                self._arguments.setdefault((editor.workbook_id,
                                                            editor.module_name), {}),
                                "Debug" if debug else "Run")
        self.dialog.chosen.connect(
            lambda function, values, text: self.run(editor, function, values, text, debug))
        self.dialog.open()

    def run(self, editor: MonacoEditor, function: str, values: List[Any], text: str,
            debug: bool = False) -> None:
        host = self.host
        workbook_id, module = editor.workbook_id, editor.module_name
        self._arguments.setdefault((workbook_id, module), {})[function] = text
        key = (workbook_id, module, function)
        if self._refused(key):
            return
        problem = host.kernel_problem(workbook_id)
        if problem:
            host.notify(f"Cannot run {function}(): {problem}.", ERROR)
            return
        call = f"{module}.{function}({text.strip()})"

        def send() -> None:
            # The breakpoints as they are once the module is saved.
            breakpoints = host.breakpoints.records(workbook_id) if debug else ()
            self._send(key, values, call, debug, breakpoints)

        if editor.is_modified():
            host.notify(f"Saving {module}.py before running {function}()", ECHO)
            self.save_requested.emit(editor, send)
        else:
            send()

    def _refused(self, key: RunKey) -> bool:
        if key not in self.runs:
            return False
        book = self.host.workbook_display_name(key[0])
        self.host.notify(f"{key[2]}() is still running in {book}; it can run again once it "
                         "has finished.", ERROR)
        return True

    def _may_debug(self) -> bool:
        """Whether a new debug run may start now (one session at a time); if not, a console
        line says why."""
        run = self.host.debug_session.run
        if run is None:
            return True
        book = self.host.workbook_display_name(run.workbook_id)
        if not run.ended:
            self.host.notify(f"A debug session is running in {book}: continue it to its end "
                             "or stop it (Shift+F5) before debugging again.", ERROR)
        else:
            function = run.key[2] if run.key else "the last debug run"
            self.host.notify(f"{function}() in {book} is still ending after its debug "
                             "session; debug again once it has.", ERROR)
        return False

    def debugger_paused(self, paused: bool) -> None:
        """F5 continues a paused debug run; Run has it otherwise."""
        self.run_action.setShortcut(QKeySequence() if paused else QKeySequence("F5"))

    def _send(self, key: RunKey, values: List[Any], call: str, debug: bool = False,
              breakpoints: Tuple[Any, ...] = ()) -> None:
        if self._refused(key):  # a second run may have been asked for while saving
            return
        workbook_id, module, function = key
        message = run_module_message(workbook_id, module, function, values, debug, breakpoints)
        if debug and not self._may_debug():
            return
        self.host.log_to_console(f"{'Debug' if debug else 'Run'} {call} in "
                                 f"{self.host.workbook_display_name(workbook_id)}",
                                 ECHO, level=OutputLevel.SIMPLE)
        request_id = self.host.channel.run_function(
            message, lambda reply: self._ended(key, reply))
        if request_id is not None:
            self.runs[key] = request_id
            self._show_busy()
            if debug:
                self.debug_run_sent.emit(key, request_id)

    def _ended(self, key: RunKey, reply: Dict[str, Any]) -> None:
        request_id = reply.get("request_id")
        if request_id is not None and self.runs.get(key) != request_id:
            return  # this run was given up already
        self.runs.pop(key, None)
        if request_id is not None:
            self._finished(request_id)
        self._show_busy()
        self.run_ended.emit(key)
        if reply.get("type") == "execution_result" and reply.get("error") == DEBUG_STOPPED:
            # Stopped on purpose: not a failure to show in red.
            self.host.notify(f"{key[2]}() was stopped in the debugger.", ECHO)
        elif reply.get("type") == "execution_result":
            self.host.channel.show_result(reply)
        else:
            self.host.notify(f"{key[2]}() did not report its end: "
                             f"{reply_problem(reply, 'execution_result')}.", ERROR)

    def _kernels_changed(self, states: Dict[str, str]) -> None:
        # The hub reports runs its kernels left unanswered; this covers a hub that went away
        # with them (the states come from another hub, or none at all once the link is back).
        if not self.host.channel.is_connected():
            return
        for key in [k for k in self.runs if states.get(k[0]) != KERNEL_CONNECTED]:
            self._finished(self.runs.pop(key))
            self.host.notify(f"{key[2]}() did not finish: the kernel of "
                             f"{self.host.workbook_display_name(key[0])} went away.", ERROR)
        # A cell's end comes from the hub when its kernel goes; it no longer runs either way.
        for request_id in [r for r, w in self.cells.items() if states.get(w) != KERNEL_CONNECTED]:
            self._finished(request_id)
        self._show_busy()

    def _show_busy(self) -> None:
        names = [f"{function}()" for _wid, _module, function in self.runs]
        if names:
            self.run_action.setText(f"&Run Function... (running {', '.join(names)})")
            self.busy_label.setText(f"Running {', '.join(names)}")
        else:
            self.run_action.setText(RUN_TEXT)
            self.busy_label.setText("")
        self._refresh_interrupt()

    # --- interrupting ---------------------------------------------------------------------

    def running_in(self, workbook_id: Optional[str]) -> List[Tuple[str, str]]:
        """(request id, label) of each cell and run the IDE started that goes on in the
        workbook."""
        running = [(r, CELL) for r, w in self.cells.items() if w == workbook_id]
        return running + [(r, f"{key[2]}()") for key, r in self.runs.items()
                          if key[0] == workbook_id]

    def _is_running(self, request_id: str) -> bool:
        return request_id in self.cells or request_id in self.runs.values()

    def _refresh_interrupt(self) -> None:
        workbook_id = self.host.console.current_workbook()
        self.interrupt_action.setEnabled(bool(self.running_in(workbook_id)))
        self.host.console.set_running(workbook_id in self.cells.values())

    def interrupt(self) -> None:
        """Interrupts every cell and run the IDE started in the workbook picked for the
        prompt."""
        host = self.host
        workbook_id = host.console.current_workbook()
        running = self.running_in(workbook_id)
        if workbook_id is None or not running:
            return
        book = host.workbook_display_name(workbook_id)
        fresh = []
        for request_id, label in running:
            problem = host.channel.interrupt(workbook_id, request_id)
            if problem is not None:
                host.notify(f"Cannot interrupt {label} in {book}: {problem}.", ERROR)
                return
            if request_id not in self._interrupts:  # pressed again: said once
                self._interrupts[request_id] = _Interrupt(workbook_id, label)
                fresh.append(label)
        if fresh:
            host.notify(f"Interrupting {_names(fresh)} in {book}", ECHO)

    def interrupt_answered(self, message: Dict[str, Any]) -> None:
        """The hub's "interrupt_result" for one of the runs interrupted."""
        request_id = message.get("request_id")
        interrupt = self._interrupts.get(request_id) if isinstance(request_id, str) else None
        error = message.get("error")
        if error:
            workbook_id = message.get("workbook_id")
            book = self.host.workbook_display_name(
                workbook_id if isinstance(workbook_id, str) else "")
            label = interrupt.label if interrupt else "the run"
            self.host.notify(f"Could not interrupt {label} in {book}: {error}", ERROR)
            self._interrupts.pop(request_id, None)
            return
        if interrupt is None:
            return  # the run ended before its interrupt was answered
        reached = message.get("interrupted")
        if not isinstance(reached, list) or request_id not in reached:
            # Its end is on the way (and forgets the interrupt), or it has not started yet.
            if interrupt.retries < INTERRUPT_RETRIES:
                interrupt.retries += 1
                QTimer.singleShot(INTERRUPT_RETRY_MS, self, lambda: self._send_again(request_id))
            else:
                del self._interrupts[request_id]
                self.host.notify(f"The interrupt did not reach {interrupt.label} in "
                                 f"{self.host.workbook_display_name(interrupt.workbook_id)}: "
                                 "the kernel has not started it yet. Interrupt again once "
                                 "it runs.", NOTICE)
            return
        if interrupt.timer is None:
            interrupt.timer = QTimer(self)
            interrupt.timer.setSingleShot(True)
            interrupt.timer.timeout.connect(lambda: self._still_running(request_id))
        interrupt.timer.start(INTERRUPT_WAIT_MS)

    def _send_again(self, request_id: str) -> None:
        interrupt = self._interrupts.get(request_id)
        if interrupt is None or not self._is_running(request_id):
            return
        problem = self.host.channel.interrupt(interrupt.workbook_id, request_id)
        if problem is not None:
            del self._interrupts[request_id]
            self.host.notify(f"Cannot interrupt {interrupt.label}: {problem}.", ERROR)

    def _still_running(self, request_id: str) -> None:
        interrupt = self._interrupts.get(request_id)
        if interrupt is None or not self._is_running(request_id):
            return
        host = self.host
        book = host.workbook_display_name(interrupt.workbook_id)
        debugger = host.debug_session
        if debugger.paused and debugger.run.request_id == request_id:
            if not interrupt.noted:
                interrupt.noted = True
                host.notify(f"{interrupt.label} is paused in the debugger: it stops with "
                            "KeyboardInterrupt once it goes on.", NOTICE)
            return
        if not interrupt.noted:
            interrupt.noted = True
            host.notify(f"The interrupt of {interrupt.label} in {book} is waiting: the code "
                        "is inside a call that cannot be interrupted (such as a long "
                        "time.sleep or a blocking read) and stops once that call returns. "
                        "Restart Kernel stops it now.", NOTICE)
        self.offer_restart(interrupt.workbook_id)

    def offer_restart(self, workbook_id: str) -> QMessageBox:
        """The box asking whether to restart the workbook's kernel or wait for the runs its
        interrupt has not stopped yet (the one open already, if any)."""
        box = self.waiting_boxes.get(workbook_id)
        if box is not None:
            return box
        host = self.host
        book = host.workbook_display_name(workbook_id)

        def chosen(choice: Optional[str]) -> None:
            self.waiting_boxes.pop(workbook_id, None)
            if choice == RESTART:
                self.restart_requested.emit(workbook_id)

        box = choose(host.window(), "The interrupt is waiting",
                     f"What runs in {book} is inside a call that cannot be interrupted; it "
                     "stops once that call returns. Restart the kernel to stop it now (names "
                     "defined by cells are lost, the modules are kept), or wait?",
                     [RESTART, WAIT], chosen)
        box.setDefaultButton(next(b for b in box.buttons() if b.text() == WAIT))
        self.waiting_boxes[workbook_id] = box
        return box

    def _finished(self, request_id: str) -> None:
        """The cell or run `request_id` ended, or its kernel went away."""
        self.cells.pop(request_id, None)
        interrupt = self._interrupts.pop(request_id, None)
        if interrupt is not None:
            if interrupt.timer is not None:
                interrupt.timer.stop()
                interrupt.timer.deleteLater()
            box = self.waiting_boxes.get(interrupt.workbook_id)
            if box is not None and not any(i.workbook_id == interrupt.workbook_id and i.noted
                                           for i in self._interrupts.values()):
                box.done(0)  # nothing is left to wait for
        self._refresh_interrupt()


def _names(labels: List[str]) -> str:
    """The runs' labels for one console line: "the cell, slow()", "2 cells"."""
    cells = labels.count(CELL)
    names = [label for label in labels if label != CELL]
    if cells:
        names.insert(0, CELL if cells == 1 else f"{cells} cells")
    return ", ".join(names)


def _why_no_functions(source: str) -> str:
    try:
        ast.parse(source)
    except SyntaxError as error:
        return f"it does not parse (line {error.lineno}: {error.msg})"
    return "it has no top-level function (def at the start of a line)"
