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
# Requests the kernel answers with their id, by the type of their answer: kept until answered,
# so that a kernel that goes away first leaves none of them unanswered.
_ANSWERED_WITH_ID = {"debug_evaluate": "debug_evaluate_result",
                     "completion_request": "completion_response",
                     "signature_help_request": "signature_help_response",
                     "hover_request": "hover_response", "diagnostic_request": "diagnostic_response"}

# Most requests answered with their id kept waiting per workbook (the oldest goes first).
MAX_WAITING_WITH_ID = 10_000

_Key = Tuple[str, str]  # (answer type, module name or "")


class PendingReplies:
    def __init__(self) -> None:
        self._queues: Dict[str, Dict[_Key, Deque[Optional[Dict[str, Any]]]]] = {}
        self._runs: Dict[str, Dict[str, Dict[str, Any]]] = {}
        # Per workbook, requests answered with their id (see _ANSWERED_WITH_ID), by id.
        self._by_id: Dict[str, Dict[str, Dict[str, Any]]] = {}
        # Per workbook, how its debug run (one session per kernel) has gone so far: the error
        # that ends it, if any.
        self._debug_errors: Dict[str, Optional[str]] = {}

    def relayed(self, workbook_id: str, request: Dict[str, Any]) -> None:
        """Notes a request just sent to the workbook's kernel."""
        kind = request.get("type")
        request_id = request.get("request_id")
        if kind in _ANSWERED_WITH_ID:
            if isinstance(request_id, str) and request_id:
                waiting = self._by_id.setdefault(workbook_id, {})
                waiting[request_id] = request
                if len(waiting) > MAX_WAITING_WITH_ID:  # a kernel that never answers them
                    del waiting[next(iter(waiting))]
            return
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
        self._queues.setdefault(workbook_id, {}).setdefault(
            key, collections.deque()).append(waiting)

    def runs_going_on(self, workbook_id: str) -> int:
        """How many cells and runs relayed to the workbook's kernel have not ended."""
        return len(self._runs.get(workbook_id, ()))

    def answered(self, workbook_id: str, message: Dict[str, Any]) -> Optional[Dict[str, Any]]:
        """The IDE's reply for a kernel message that answers a relayed request, else None.

        Run and cell results are passed on by the relay itself; they only end the run here.
        """
        kind = message.get("type")
        if kind in _ANSWERED_WITH_ID.values():
            request_id = message.get("request_id")
            if isinstance(request_id, str):
                self._by_id.get(workbook_id, {}).pop(request_id, None)
            return None
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

    def refused(self, workbook_id: str, message: Dict[str, Any]) -> Optional[Dict[str, Any]]:
        """The IDE's final reply for a kernel's "error" that names a relayed request (the kernel
        refused it), else None."""
        request_id = message.get("request_id")
        if message.get("type") != "error" or not isinstance(request_id, str):
            return None
        reason = f"The kernel refused it: {message.get('message')}"
        request = self._runs.get(workbook_id, {}).pop(request_id, None)
        if request is not None:
            if request.get("debug") is True:
                self._debug_errors.pop(workbook_id, None)
            return refusal(request, reason)
        request = self._by_id.get(workbook_id, {}).pop(request_id, None)
        if request is not None:
            return refusal(request, reason)
        for queue in self._queues.get(workbook_id, {}).values():
            for entry in queue:
                if entry is not None and entry.get("request_id") == request_id:
                    queue.remove(entry)
                    return refusal(entry, reason)
        return None

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
        """The refusals of every request still waiting on the workbook's kernel (it went away).
        A run's refusal says which module's function it was running: a module that ends its
        kernel when imported shows that way."""
        replies = [refusal(request, reason)
                   for queue in self._queues.pop(workbook_id, {}).values()
                   for request in queue if request is not None]
        replies += [refusal(request, reason)
                    for request in self._by_id.pop(workbook_id, {}).values()]
        for request in self._runs.pop(workbook_id, {}).values():
            text = reason
            if request.get("type") == "run_module":
                text += (f" It was running {request.get('module_name')}."
                         f"{request.get('function_name')}(): a module that ends its kernel's "
                         "process when imported or run does this. The workbook's file keeps the "
                         "module; fix or delete it, with or without a kernel.")
            replies.append(refusal(request, text))
        self._debug_errors.pop(workbook_id, None)
        return replies
