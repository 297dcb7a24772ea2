"""PendingReplies: the IDE requests the hub relayed to a kernel and still owes a reply.

The kernel answers "update_module", "delete_module" and "reset_namespace" without the request's
id, but in the order it received them; so the hub keeps, per workbook and per kind of answer, a
queue of the ids it relayed and gives each answer the oldest id. Entries of None stand for
requests the hub sent on its own behalf (the modules it sends to a kernel that connects): their
answers go nowhere. Cells and runs carry their id through to their "execution_result".

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

    def relayed(self, workbook_id: str, request: Dict[str, Any]) -> None:
        """Notes a request just sent to the workbook's kernel."""
        kind = request.get("type")
        request_id = request.get("request_id")
        if kind in RUNS:
            if isinstance(request_id, str) and request_id:
                self._runs.setdefault(workbook_id, {})[request_id] = request
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
            if isinstance(request_id, str):
                self._runs.get(workbook_id, {}).pop(request_id, None)
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

    def abandon(self, workbook_id: str, reason: str) -> List[Dict[str, Any]]:
        """The refusals of every request still waiting on the workbook's kernel (it went away)."""
        replies = [refusal(request, reason)
                   for queue in self._queues.pop(workbook_id, {}).values()
                   for request in queue if request is not None]
        replies += [refusal(request, reason)
                    for request in self._runs.pop(workbook_id, {}).values()]
        return replies
