"""``DebugSession``: the state of the IDE's debug session, kept in this one object.

Two things make it up:

* the debug state the window shows: on or off (``active``), the workbook debugged, the line a
  pause marks once its module's code arrives (``pending_line``: a map with ``workbook_id``,
  ``module_name`` and ``line``) and the editor whose line is marked (``editor``). The
  connection client reads and writes these through the window's ``_debug_*`` members.
* ``run``: the run under the debugger, from its start (or from a pause the IDE did not start)
  until its end; an ended session whose run has not reported its end yet stays, ``ended``.

Every change of the debug state emits ``state_changed``; turning it off ends the run's session
with it. The transitions that do not apply (a pause without a workbook, the end of another
run) are refused and change nothing.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Optional, Set, Tuple

from PySide6.QtCore import QObject, Signal

if TYPE_CHECKING:
    from .monaco_editor import MonacoEditor

__all__ = ["DebugRun", "DebugSession", "RunKey"]

RunKey = Tuple[str, str, str]  # workbook id, module, function


@dataclass
class DebugRun:
    workbook_id: str
    key: Optional[RunKey] = None  # the run that started it; None for a pause found running
    request_id: Optional[str] = None
    pause: Optional[Dict[str, Any]] = None  # the pause shown, while paused
    ended: bool = False  # the debugger has ended; the run's own end may still be on its way
    noted: Set[Tuple[Any, Any]] = field(default_factory=set)  # moved breakpoints told of


class DebugSession(QObject):
    state_changed = Signal(bool)  # the debug state was set: on (True) or off

    def __init__(self, parent: Optional[QObject] = None) -> None:
        super().__init__(parent)
        self.active = False
        self.workbook_id: Optional[str] = None
        self.pending_line: Optional[Dict[str, Any]] = None
        self.editor: Optional[MonacoEditor] = None  # the tab whose line is marked
        self.run: Optional[DebugRun] = None

    @property
    def live(self) -> bool:
        """Whether a session runs: started or paused, and not ended."""
        return self.run is not None and not self.run.ended

    @property
    def paused(self) -> bool:
        return self.run is not None and self.run.pause is not None

    # --- the debug state ------------------------------------------------------------------

    def set_state(self, active: bool, workbook_id: Optional[str]) -> None:
        """Turns the debug state on for the workbook, or off: then a live session ends and the
        marked line goes."""
        if not active and self.live:
            self._close_run()
        self.active = bool(active)
        self.workbook_id = workbook_id if active else None
        if not active:
            self.editor = None
            self.pending_line = None
        self.state_changed.emit(self.active)

    def editor_closed(self, editor: MonacoEditor) -> None:
        if editor is self.editor:
            self.editor = None

    # --- the run --------------------------------------------------------------------------

    def begin(self, key: RunKey, request_id: str) -> None:
        """The debug run `key` was sent as `request_id`."""
        self.run = DebugRun(key[0], key, request_id)
        self.set_state(True, key[0])

    def pause(self, message: Dict[str, Any]) -> Optional[DebugRun]:
        """Takes a "debug_paused" message as the session's pause (a session of its own when it
        is another workbook's, or none runs); None, and nothing changes, without a workbook."""
        workbook_id = message.get("workbook_id")
        if not isinstance(workbook_id, str) or not workbook_id:
            return None
        if not self.live or self.run.workbook_id != workbook_id:
            self.run = DebugRun(workbook_id)
        self.run.pause = message
        return self.run

    def resume(self) -> bool:
        """The paused run goes on; False when no session runs."""
        if not self.live:
            return False
        self.run.pause = None
        return True

    def ended_by(self, message: Dict[str, Any]) -> bool:
        """Whether a "debug_terminated" message ends the live session (not an earlier run's
        last word, nor another workbook's)."""
        run = self.run
        if not self.live:
            return False
        request_id = message.get("request_id")
        if request_id and run.request_id and request_id != run.request_id:
            return False
        workbook_id = message.get("workbook_id")
        return not workbook_id or workbook_id == run.workbook_id

    def end(self) -> None:
        """Ends what the session shows; a session that waits for its run's end stays, ended."""
        if self.run is None:
            return
        self._close_run()
        self.set_state(False, None)

    def run_ended(self, key: RunKey) -> bool:
        """The run `key` reported its end: its session, if it had one, is over (True)."""
        run = self.run
        if run is None or run.key != key:
            return False
        self.run = None
        if not run.ended:
            self.set_state(False, None)
        return True

    def kernel_gone(self) -> None:
        """The kernel of the session's workbook went away: nothing more comes from its run,
        and the session goes at once."""
        if self.run is None:
            return
        self.run.key = None
        self.end()

    def _close_run(self) -> None:
        run = self.run
        run.ended = True
        run.pause = None
        if run.key is None:
            self.run = None
