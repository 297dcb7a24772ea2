"""PendingReplies: the IDE requests the hub relayed to a kernel and still owes a reply.

The kernel answers "update_module", "delete_module" and "reset_namespace" without the request's
id, but in the order it received them; so the hub keeps, per workbook and per kind of answer, a
queue of the ids it relayed and gives each answer the oldest id. Entries of None stand for
requests the hub sent on its own behalf (the modules it sends to a kernel that connects): their
answers go nowhere. Cells and runs carry their id through to their "execution_result".

A debug run's kernel ends it with "debug_terminated" (or "execution_error" when it failed
before its session could report); the hub then gives the IDE the run's "execution_result" as
for any run: a failure when the code raised ("debug_exception") or was stopped ("debug_stop"
answered with a "debug_terminated" of no id).

No I/O here: the hub feeds kernel messages in and sends what comes out.
"""

from __future__ import annotations

import collections
from typing import Any, Deque, Dict, List, Optional, Tuple

from .ide_protocol import RUNS, refusal

__all__ = ["PendingReplies"]

# The kernel's answer type for each request type answered without an id.
_ANSWERS = {"update_module": "module_updated", "delete_module": "module_deleted",
            "reset_namespace": "namespace_reset"}

_Key = Tuple[str, str]  # (answer type, module name or "")


class PendingReplies:
    def __init__(self) -> None:
        self._queues: Dict[str, Dict[_Key, Deque[Optional[Dict[str, Any]]]]] = {}
        self._runs: Dict[str, Dict[str, Dict[str, Any]]] = {}
        # Per workbook, how its debug run (one session per kernel) has gone so far: the error
        # that ends it, if any.
        self._debug_errors: Dict[str, Optional[str]] = {}

    def relayed(self, workbook_id: str, request: Dict[str, Any]) -> None:
        """Notes a request just sent to the workbook's kernel."""
        kind = request.get("type")
        request_id = request.get("request_id")
        if kind in RUNS:
            if isinstance(request_id, str) and request_id:
                self._runs.setdefault(workbook_id, {})[request_id] = request
            if request.get("debug") is True:
                self._debug_errors[workbook_id] = None
            return
        answer = _ANSWERS.get(kind)  # type: ignore[arg-type]
        if answer is None:
            return
        key = (answer, request.get("module_name", "") if kind != "reset_namespace" else "")
        waiting = request if isinstance(request_id, str) and request_id else None
        self._queues.setdefault(workbook_id, {}).setdefault(key, collections.deque()).append(waiting)

    def answered(self, workbook_id: str, message: Dict[str, Any]) -> Optional[Dict[str, Any]]:
        """The IDE's reply for a kernel message that answers a relayed request, else None.

        Run and cell results are passed on by the relay itself; they only end the run here.
        """
        kind = message.get("type")
        if kind in ("execution_result", "execution_error"):
            request_id = message.get("request_id")
            request = self._runs.get(workbook_id, {}).pop(request_id, None) \
                if isinstance(request_id, str) else None
            if request is not None and request.get("debug") is True:
                self._debug_errors.pop(workbook_id, None)
            return None
        if kind not in _ANSWERS.values():
            return None
        key = (kind, message.get("module_name", "") if kind != "namespace_reset" else "")
        queue = self._queues.get(workbook_id, {}).get(key)
        if not queue:
            return None
        request = queue.popleft()
        if request is None:
            return None
        reply = {"type": kind, "workbook_id": workbook_id, "request_id": request["request_id"]}
        if kind != "namespace_reset":
            reply["module_name"] = request.get("module_name")
        if kind == "module_deleted":
            reply["success"] = True
        return reply

    def debug_run_end(self, workbook_id: str, message: Dict[str, Any]) -> Optional[Dict[str, Any]]:
        """The "execution_result" that ends a debug run, once the kernel's `message` (already
        relayed) ended its session; None for every other message."""
        kind = message.get("type")
        if workbook_id not in self._debug_errors:
            return None
        if kind == "debug_exception":
            self._debug_errors[workbook_id] = (f"{message.get('exception_type')}: "
                                               f"{message.get('exception_message')}")
            return None
        if kind != "debug_terminated":
            return None
        request_id = message.get("request_id")
        if request_id is None:  # the answer to "debug_stop"; the run's own end follows
            self._debug_errors[workbook_id] = "Stopped in the debugger before it returned"
            return None
        request = self._runs.get(workbook_id, {}).pop(request_id, None) \
            if isinstance(request_id, str) else None
        if request is None:
            return None
        error = self._debug_errors.pop(workbook_id, None)
        reply = {"type": "execution_result", "success": error is None,
                 "function_name": request.get("function_name") or "",
                 "request_id": request_id, "workbook_id": workbook_id,
                 "source": request.get("source", "ide")}
        if error is not None:
            reply["error"] = error
        return reply

    def abandon(self, workbook_id: str, reason: str) -> List[Dict[str, Any]]:
        """The refusals of every request still waiting on the workbook's kernel (it went away)."""
        replies = [refusal(request, reason)
                   for queue in self._queues.pop(workbook_id, {}).values()
                   for request in queue if request is not None]
        replies += [refusal(request, reason)
                    for request in self._runs.pop(workbook_id, {}).values()]
        self._debug_errors.pop(workbook_id, None)
        return replies
