"""The IDE's requests that the hub answers itself: open a new workbook, restart a workbook's
kernel, and watch the workbooks' kernel states (see ``ide_protocol`` for the messages).

Launching and restarting take seconds, so each runs as a task of its own: the hub keeps reading
the IDE's connection meanwhile, and the reply goes out when the work is done.
"""

from __future__ import annotations

import asyncio
import logging
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Optional, Set

from .ide_protocol import KERNEL_STOPPED, workbook_name_problem

if TYPE_CHECKING:
    from .hub import DevHub

logger = logging.getLogger(__name__)

__all__ = ["HubRequests", "KERNEL_START_TIMEOUT", "KERNEL_STOP_TIMEOUT", "WorkbookWatch"]

# How long a launched kernel may take to connect, and a stopping one to exit, before the hub
# gives up on it (and ends its process).
KERNEL_START_TIMEOUT = 60.0
KERNEL_STOP_TIMEOUT = 5.0


class WorkbookWatch:
    """The IDE's standing question "tell me when the workbooks change", as a long poll.

    `version` counts changes. A watch that already knows the current version waits (one at a
    time: a newer watch replaces it) and is answered at the next change.
    """

    def __init__(self, send: Callable[[Dict[str, Any]], Awaitable[None]],
                 snapshot: Callable[[], List[Dict[str, Any]]]) -> None:
        self.version = 0
        self._send = send
        self._snapshot = snapshot
        self._waiting: Optional[str] = None

    async def ask(self, request_id: str, version: Any) -> None:
        if version == self.version:
            self._waiting = request_id
        else:
            await self._answer(request_id)

    async def changed(self) -> None:
        self.version += 1
        request_id, self._waiting = self._waiting, None
        if request_id is not None:
            await self._answer(request_id)

    async def _answer(self, request_id: str) -> None:
        await self._send({"type": "workbooks_state", "request_id": request_id,
                          "version": self.version, "workbooks": self._snapshot()})


class HubRequests:
    """Runs the IDE's hub requests against a DevHub and sends the replies."""

    def __init__(self, hub: "DevHub") -> None:
        self.hub = hub
        self._tasks: Set["asyncio.Task[None]"] = set()

    async def handle(self, message: Dict[str, Any]) -> None:
        kind = message.get("type")
        request_id = message.get("request_id")
        if not isinstance(request_id, str) or not request_id:
            logger.warning("IDE sent %s without a request_id; nobody would see the answer", kind)
            return
        if kind == "watch_workbooks":
            await self.hub.watch.ask(request_id, message.get("version"))
            return
        work = self._new_workbook if kind == "new_workbook" else self._restart_kernel
        task = asyncio.ensure_future(work(request_id, message.get("workbook_id")))
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def close(self) -> None:
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    # --- the requests ---------------------------------------------------------------------

    async def _new_workbook(self, request_id: str, workbook_id: Any) -> None:
        reply = {"type": "workbook_opened", "request_id": request_id, "workbook_id": workbook_id}
        problem = workbook_name_problem(workbook_id)
        if problem is None and self.hub.kernel_state(workbook_id) != KERNEL_STOPPED:
            problem = f"Workbook {workbook_id} is already open."
        if problem is None:
            problem = await self._start(workbook_id)
        await self._reply(reply, problem, f"Workbook {workbook_id} is open; its kernel is connected.")

    async def _restart_kernel(self, request_id: str, workbook_id: Any) -> None:
        reply = {"type": "kernel_restarted", "request_id": request_id, "workbook_id": workbook_id}
        if not isinstance(workbook_id, str) or workbook_id not in self.hub.workbook_ids():
            problem: Optional[str] = f"There is no workbook {workbook_id!r} to restart."
        else:
            self.hub.restarting.add(workbook_id)
            await self.hub.watch.changed()
            try:
                await self.hub.stop_kernel(workbook_id, KERNEL_STOP_TIMEOUT)
                problem = await self._start(workbook_id)
            finally:
                self.hub.restarting.discard(workbook_id)
                await self.hub.watch.changed()
        await self._reply(reply, problem,
                          f"The kernel of {workbook_id} restarted: a fresh namespace, the same "
                          "modules.")

    async def _start(self, workbook_id: str) -> Optional[str]:
        """Launches the workbook's kernel and waits until it connects; the problem, or None."""
        process = await self.hub.launch_kernel(workbook_id)
        session = self.hub.kernel(workbook_id)
        connected = asyncio.ensure_future(session.connected.wait())
        exited = asyncio.ensure_future(process.process.wait())
        try:
            await asyncio.wait({connected, exited}, timeout=KERNEL_START_TIMEOUT,
                               return_when=asyncio.FIRST_COMPLETED)
        finally:
            connected.cancel()
            exited.cancel()
        if session.connected.is_set():
            return None
        if process.process.returncode is not None:
            return (f"The kernel of {workbook_id} exited with code {process.process.returncode} "
                    "before it connected.")
        await process.kill()
        return f"The kernel of {workbook_id} did not connect within {KERNEL_START_TIMEOUT:.0f} s."

    async def _reply(self, reply: Dict[str, Any], problem: Optional[str], done: str) -> None:
        reply["success"] = problem is None
        reply["message"] = done if problem is None else problem
        if problem is not None:
            logger.warning("%s refused: %s", reply["type"], problem)
        await self.hub.ide.send(reply)
