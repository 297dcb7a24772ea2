"""``HubChannel``: the IDE's requests to the hub, each built in one place, and their replies.

The requests are the hub's IDE messages (module updates, cells, runs, namespace resets, new
workbooks, kernel restarts) sent through ``IdeLink.send_and_wait_response``: the reply, or the
client's time-out notice, reaches the callback on the GUI thread. When the link is not
connected, the callback gets ``{"error": "not_connected", "message": ...}`` on the next turn of
the event loop, so callers have one path for every outcome.

An interrupt is the exception: it names the run it stops by the run's own request id, so it is
sent without waiting (a wait would take the run's reply for its own), and its
"interrupt_result" reaches the window's handler like any other message.

The channel also keeps ``kernel_states`` (workbook id -> "connected", "starting", "stopped")
up to date with a standing "watch_workbooks" request that the hub answers whenever its
workbooks change; ``kernel_states_changed`` is emitted with the new map. With it comes each
workbook's file, ``workbook_files`` (workbook id -> {``path``, ``problem``, ``read_only``}),
and ``workbook_files_changed``, ``busy``, the workbooks whose kernels run something now, and
``saved_breakpoints``, the breakpoints each workbook's file keeps.
While the link is down all are unknown and empty.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, Iterable, List, Optional, Set

from PySide6.QtCore import QObject, QTimer, Signal

__all__ = ["DEBUG_CONTROLS", "DEBUG_STOPPED", "HubChannel", "KERNEL_CONNECTED", "debug_message",
           "interrupt_message", "reply_problem", "run_module_message"]

KERNEL_CONNECTED = "connected"
# The error of a debug run's end that the hub gives when the run was stopped in the debugger.
DEBUG_STOPPED = "Stopped in the debugger before it returned"

Reply = Dict[str, Any]
OnReply = Callable[[Reply], None]

# Seconds to wait for each kind of reply before the request counts as unanswered.
SAVE_TIMEOUT = 30.0
# A function may run for hours; its end (or its kernel's) is reported by the hub.
RUN_TIMEOUT = 7 * 24 * 3600.0
KERNEL_TIMEOUT = 120.0
WATCH_TIMEOUT = 300.0
LINK_CHECK_INTERVAL_MS = 250


# --- the messages ---------------------------------------------------------------------------

def update_module_message(workbook_id: str, module_name: str, code: str) -> Reply:
    return {"type": "update_module", "workbook_id": workbook_id, "module_name": module_name,
            "code": code}


def delete_module_message(workbook_id: str, module_name: str) -> Reply:
    return {"type": "delete_module", "workbook_id": workbook_id, "module_name": module_name}


def execution_request_message(workbook_id: str, code: str) -> Reply:
    return {"type": "execution_request", "workbook_id": workbook_id, "code": code,
            "source": "ide"}


def run_module_message(workbook_id: str, module_name: str, function_name: str, args: List[Any],
                       debug: bool = False, breakpoints: Iterable[Any] = ()) -> Reply:
    """The one place a run request is built; a debug run sets `debug` and `breakpoints`."""
    return {"type": "run_module", "workbook_id": workbook_id, "module_name": module_name,
            "function_name": function_name, "args": list(args), "debug": bool(debug),
            "breakpoints": list(breakpoints), "source": "ide"}


# What the debugger of a workbook's kernel is told while a debug run is paused or running.
DEBUG_CONTROLS = ("debug_continue", "debug_step_over", "debug_step_into", "debug_step_out",
                  "debug_stop")


def debug_message(kind: str, workbook_id: str, **fields: Any) -> Reply:
    """A debug control message: one of DEBUG_CONTROLS, "debug_evaluate" (`expression`) or
    "debug_update_breakpoints" (`breakpoints`)."""
    return {"type": kind, "workbook_id": workbook_id, **fields}


def reset_namespace_message(workbook_id: str) -> Reply:
    return {"type": "reset_namespace", "workbook_id": workbook_id}


def interrupt_message(workbook_id: str, request_id: str) -> Reply:
    """Stops the run `request_id` of the workbook with KeyboardInterrupt."""
    return {"type": "interrupt_execution", "workbook_id": workbook_id, "request_id": request_id}


def reply_problem(reply: Reply, expected_type: str) -> Optional[str]:
    """None when `reply` is the expected answer, else what went wrong, as a sentence part (the
    hub's sentences lose their full stop: the IDE's own sentence around them ends it)."""
    if reply.get("type") == expected_type:
        if reply.get("success", True) is False:
            return _clause(reply.get("message") or reply.get("error") or "the hub refused it")
        return None
    if reply.get("error") == "timeout":
        return "the hub did not answer in time"
    if reply.get("error") == "not_connected":
        return _clause(reply.get("message"))
    return _clause(reply.get("message") or f"unexpected answer {reply.get('type')!r}")


def _clause(text: Any) -> str:
    text = str(text).rstrip()
    return text[:-1] if text.endswith(".") and not text.endswith("..") else text


class HubChannel(QObject):
    kernel_states_changed = Signal(dict)
    workbook_files_changed = Signal(dict)
    # Emitted once the link is connected again after being down (and at the first connect).
    link_connected = Signal()

    def __init__(self, parent: Optional[QObject] = None) -> None:
        super().__init__(parent)
        self.link: Any = None
        self.kernel_states: Dict[str, str] = {}
        self.busy: Set[str] = set()  # the workbooks whose kernels run something now
        # The breakpoints each workbook's file keeps, as the hub last said.
        self.saved_breakpoints: Dict[str, List[Any]] = {}
        self.workbook_files: Dict[str, Dict[str, Any]] = {}
        self._watch_id: Optional[str] = None
        self._watch_version = -1
        self._link_up = False
        self._link_timer = QTimer(self)
        self._link_timer.setInterval(LINK_CHECK_INTERVAL_MS)
        self._link_timer.timeout.connect(self._check_link)

    def attach(self, link: Any) -> None:
        """Sends through `link` (an IdeLink) from now on and follows its connection."""
        self.link = link
        self._link_timer.start()
        self._check_link()

    def is_connected(self) -> bool:
        return self.link is not None and bool(self.link.is_connected())

    def kernel_state(self, workbook_id: Optional[str]) -> Optional[str]:
        """The workbook's kernel state, or None while it is unknown."""
        return self.kernel_states.get(workbook_id) if workbook_id else None

    # --- requests -------------------------------------------------------------------------

    def request(self, message: Reply, on_reply: OnReply, response_type: Optional[str] = None,
                timeout: float = SAVE_TIMEOUT) -> Optional[str]:
        """Sends `message`; `on_reply` gets the answer. Returns the request id, or None when
        nothing could be sent."""
        if not self.is_connected():
            notice = {"error": "not_connected",
                      "message": "the IDE is not connected to the hub (it keeps trying)"}
            QTimer.singleShot(0, lambda: on_reply(notice))
            return None
        return self.link.send_and_wait_response(message, on_reply, response_type, timeout)

    def send(self, message: Reply) -> Optional[str]:
        """Sends a message that is answered through the window's handlers, if at all; the
        reason it could not be sent, or None."""
        if not self.is_connected():
            return "the IDE is not connected to the hub (it keeps trying)"
        self.link.send_message(message)
        return None

    def save_module(self, workbook_id: str, module_name: str, code: str,
                    on_reply: OnReply) -> Optional[str]:
        return self.request(update_module_message(workbook_id, module_name, code), on_reply)

    def delete_module(self, workbook_id: str, module_name: str,
                      on_reply: OnReply) -> Optional[str]:
        return self.request(delete_module_message(workbook_id, module_name), on_reply)

    def execute_cell(self, workbook_id: str, code: str, on_reply: OnReply) -> Optional[str]:
        # Output of the cell carries its id and is shown as it comes; only the end is ours.
        return self.request(execution_request_message(workbook_id, code), on_reply,
                            "execution_result", RUN_TIMEOUT)

    def run_function(self, message: Reply, on_reply: OnReply) -> Optional[str]:
        return self.request(message, on_reply, "execution_result", RUN_TIMEOUT)

    def interrupt(self, workbook_id: str, request_id: str) -> Optional[str]:
        """Sends the interrupt of a run; the reason it could not be sent, or None."""
        return self.send(interrupt_message(workbook_id, request_id))

    def reset_namespace(self, workbook_id: str, on_reply: OnReply) -> Optional[str]:
        return self.request(reset_namespace_message(workbook_id), on_reply)

    def new_workbook(self, target: str, on_reply: OnReply) -> Optional[str]:
        """A new workbook file: `target` is its full path, or a bare name (a file of the hub's
        own folder of workbooks)."""
        where = "path" if os.path.isabs(target) else "workbook_id"
        return self.request({"type": "new_workbook", where: target}, on_reply,
                            timeout=KERNEL_TIMEOUT)

    def open_workbook(self, path: str, on_reply: OnReply) -> Optional[str]:
        return self.request({"type": "open_workbook", "path": path}, on_reply,
                            timeout=KERNEL_TIMEOUT)

    def close_workbook(self, workbook_id: str, on_reply: OnReply) -> Optional[str]:
        return self.request({"type": "close_workbook", "workbook_id": workbook_id}, on_reply,
                            timeout=KERNEL_TIMEOUT)

    def save_workbook_as(self, workbook_id: str, path: str, on_reply: OnReply) -> Optional[str]:
        return self.request({"type": "save_workbook_as", "workbook_id": workbook_id,
                             "path": path}, on_reply, timeout=KERNEL_TIMEOUT)

    def reload_workbook(self, workbook_id: str, on_reply: OnReply) -> Optional[str]:
        return self.request({"type": "reload_workbook", "workbook_id": workbook_id}, on_reply,
                            timeout=KERNEL_TIMEOUT)

    def restart_kernel(self, workbook_id: str, on_reply: OnReply) -> Optional[str]:
        return self.request({"type": "restart_kernel", "workbook_id": workbook_id}, on_reply,
                            timeout=KERNEL_TIMEOUT)

    def save_breakpoints(self, workbook_id: str, records: List[Dict[str, Any]],
                         on_reply: OnReply) -> Optional[str]:
        return self.request({"type": "save_breakpoints", "workbook_id": workbook_id,
                             "breakpoints": records}, on_reply, timeout=SAVE_TIMEOUT)

    def show_result(self, reply: Reply) -> None:
        """Shows a cell's or run's final "execution_result" as the client's handler does."""
        handler = self.link.MESSAGE_HANDLERS.get("execution_result") if self.link else None
        if handler is not None:
            handler(reply)

    # --- the kernel states ----------------------------------------------------------------

    def _check_link(self) -> None:
        up = self.is_connected()
        if up == self._link_up:
            return
        self._link_up = up
        if up:
            self._watch_version = -1  # whatever the hub knows now
            self._watch()
            self.link_connected.emit()
        else:
            self._watch_id = None
            self.busy = set()
            if self.kernel_states:
                self.kernel_states = {}
                self.kernel_states_changed.emit({})
            if self.workbook_files:
                self.workbook_files = {}
                self.workbook_files_changed.emit({})

    def _watch(self) -> None:
        self._watch_id = self.request(
            {"type": "watch_workbooks", "version": self._watch_version}, self._on_watch,
            "workbooks_state", WATCH_TIMEOUT)

    def _on_watch(self, reply: Reply) -> None:
        if reply.get("request_id") != self._watch_id:
            return  # a watch replaced since (the link came back in between)
        if reply.get("type") == "workbooks_state":
            self._watch_version = reply.get("version", -1)
            states, files, busy = {}, {}, set()
            for entry in reply.get("workbooks") or []:
                if isinstance(entry, dict) and isinstance(entry.get("id"), str):
                    states[entry["id"]] = str(entry.get("kernel"))
                    if entry.get("busy") is True:
                        busy.add(entry["id"])
                    kept = entry.get("breakpoints")
                    self.saved_breakpoints[entry["id"]] = kept if isinstance(kept, list) else []
                    files[entry["id"]] = {key: entry.get(key)
                                          for key in ("path", "problem", "read_only")}
            # Every answer is news (the first one too, even when it lists no workbook).
            self.workbook_files = files
            self.workbook_files_changed.emit(dict(files))
            self.busy = busy
            self.kernel_states = states
            self.kernel_states_changed.emit(dict(states))
        if self.is_connected():
            self._watch()
