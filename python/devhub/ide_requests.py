"""The IDE's requests that the hub answers itself: new, open, close, save-as and reload of
workbook files, kernel restarts, the breakpoints kept in a file, and the watch of the
workbooks' states (see ``ide_protocol``
for the messages).

Opening, closing and restarting take seconds, so each runs as a task of its own: the hub keeps
reading the IDE's connection meanwhile, and the one final reply goes out when the work is done.
"""

from __future__ import annotations

import asyncio
import logging
import os
from typing import Any, Awaitable, Callable, Dict, List, Optional, Set

from .ide_protocol import (BREAKPOINTS_SETTING, KERNEL_STOPPED, breakpoints_problem,
                           workbook_name_problem)
from .kernels import KernelProcesses
from .workbook_file import WorkbookFileError
from .workbooks import Workbooks

logger = logging.getLogger(__name__)

__all__ = ["HubRequests", "WorkbookWatch"]

Send = Callable[[Dict[str, Any]], Awaitable[None]]


class WorkbookWatch:
    """The IDE's standing question "tell me when the workbooks change", as a long poll.

    `version` counts changes. A watch that already knows the current version waits (one at a
    time: a newer watch replaces it, and the one it replaces is answered then) and is answered at
    the next change.
    """

    def __init__(self, send: Send, snapshot: Callable[[], List[Dict[str, Any]]]) -> None:
        self.version = 0
        self._send = send
        self._snapshot = snapshot
        self._waiting: Optional[str] = None

    async def ask(self, request_id: str, version: Any) -> None:
        replaced, self._waiting = self._waiting, None
        if replaced is not None:  # every watch gets its one answer: the one it gave way to now
            await self._answer(replaced)
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
    """Runs the IDE's hub requests against the workbooks and their kernels, and replies."""

    def __init__(self, kernels: KernelProcesses, workbooks: Workbooks, watch: WorkbookWatch,
                 send: Send, sync_kernel: Callable[..., Awaitable[None]]) -> None:
        self.kernels = kernels
        self.workbooks = workbooks
        self.watch = watch
        self._send = send
        # Sends a workbook's connected kernel its modules (after a reload).
        self._sync_kernel = sync_kernel
        self._tasks: Set["asyncio.Task[None]"] = set()

    async def handle(self, message: Dict[str, Any]) -> None:
        kind = message.get("type")
        request_id = message.get("request_id")
        if not isinstance(request_id, str) or not request_id:
            logger.warning("IDE sent %s without a request_id; nobody would see the answer", kind)
            return
        if kind == "watch_workbooks":
            await self.watch.ask(request_id, message.get("version"))
            return
        work = {"new_workbook": self._new_workbook, "open_workbook": self._open_workbook,
                "close_workbook": self._close_workbook, "restart_kernel": self._restart_kernel,
                "save_workbook_as": self._save_as, "reload_workbook": self._reload,
                "save_breakpoints": self._save_breakpoints}[kind]
        task = asyncio.ensure_future(self._answer(kind, request_id, message, work))
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def close(self) -> None:
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    async def _answer(self, kind: Any, request_id: str, message: Dict[str, Any],
                      work: Callable[[Dict[str, Any], Dict[str, Any]], Awaitable[str]]) -> None:
        """Runs one request; its reply says what was done, or why not (success false)."""
        reply: Dict[str, Any] = {"type": _REPLIES[kind], "request_id": request_id,
                                 "workbook_id": message.get("workbook_id")}
        try:
            done = await work(message, reply)
        except (WorkbookFileError, _Refused) as problem:
            reply.update(success=False, message=str(problem))
            logger.warning("%s refused: %s", reply["type"], problem)
        except Exception as error:  # the reply goes out whatever failed
            logger.exception("%s failed", kind)
            reply.update(success=False, message=f"The hub failed: {error}")
        else:
            reply.update(success=True, message=done)
        await self._send(reply)

    # --- the requests ---------------------------------------------------------------------

    async def _new_workbook(self, message: Dict[str, Any], reply: Dict[str, Any]) -> str:
        """A new file at `path`, or named `workbook_id` in the hub's folder of workbooks."""
        path = message.get("path")
        if not isinstance(path, str) or not path:
            name = message.get("workbook_id")
            problem = workbook_name_problem(name)
            if problem is not None:
                raise _Refused(problem)
            path = self.workbooks.default_path(name)
        path = os.path.abspath(os.path.expanduser(path))
        if os.path.exists(path):
            raise _Refused(f"{path} exists already: open it instead.")
        return await self._open(path, reply, create=True)

    async def _open_workbook(self, message: Dict[str, Any], reply: Dict[str, Any]) -> str:
        path = message.get("path")
        if not isinstance(path, str) or not path:
            raise _Refused("open_workbook needs the path of a workbook file.")
        return await self._open(os.path.abspath(os.path.expanduser(path)), reply, create=False)

    async def _open(self, path: str, reply: Dict[str, Any], create: bool) -> str:
        workbook = await self.workbooks.open(path, create=create)
        workbook_id = os.path.basename(workbook.path)
        reply.update(workbook_id=workbook_id, path=workbook.path)
        if self.kernels.state(workbook_id) == KERNEL_STOPPED:
            # Launching tells the watch: the workbook shows with its kernel starting.
            problem = await self.kernels.start(workbook_id)
            if problem is not None:
                raise _Refused(problem)
        return f"Workbook {workbook_id} is open; its kernel is connected."

    async def _close_workbook(self, message: Dict[str, Any], reply: Dict[str, Any]) -> str:
        workbook_id = self._workbook_id(message)
        await self.kernels.stop(workbook_id)
        await self.workbooks.close(workbook_id)
        self.kernels.forget(workbook_id)
        await self._send({"type": "workbook_disconnected", "workbook_id": workbook_id})
        await self.watch.changed()
        return f"Workbook {workbook_id} is saved and closed."

    async def _restart_kernel(self, message: Dict[str, Any], reply: Dict[str, Any]) -> str:
        workbook_id = self._workbook_id(message, "to restart")
        problem = await self.kernels.restart(workbook_id)
        if problem is not None:
            raise _Refused(problem)
        return (f"The kernel of {workbook_id} restarted: a fresh namespace, the same "
                "modules.")

    async def _save_as(self, message: Dict[str, Any], reply: Dict[str, Any]) -> str:
        workbook_id = self._workbook_id(message)
        path = message.get("path")
        if not isinstance(path, str) or not path:
            raise _Refused("save_workbook_as needs the path to save to.")
        workbook = self.workbooks.get(workbook_id)
        assert workbook is not None
        await workbook.save_as(os.path.abspath(os.path.expanduser(path)))
        reply["path"] = workbook.path
        await self.watch.changed()
        return f"Workbook {workbook_id} is saved as {workbook.path}."

    async def _reload(self, message: Dict[str, Any], reply: Dict[str, Any]) -> str:
        workbook_id = self._workbook_id(message)
        workbook = self.workbooks.get(workbook_id)
        assert workbook is not None
        before = set(workbook.modules)
        await workbook.reload()
        await self._sync_kernel(workbook_id, tuple(sorted(before - set(workbook.modules))))
        await self._send({"type": "all_modules", "workbook_id": workbook_id,
                          "modules": dict(workbook.modules)})
        await self._send({"type": "module_list", "workbook_id": workbook_id,
                          "modules": sorted(workbook.modules)})
        reply["modules"] = dict(workbook.modules)
        await self.watch.changed()
        return f"Workbook {workbook_id} is read again from {workbook.path}."

    async def _save_breakpoints(self, message: Dict[str, Any], reply: Dict[str, Any]) -> str:
        workbook_id = self._workbook_id(message)
        breakpoints = message.get("breakpoints")
        problem = breakpoints_problem(breakpoints)
        if problem is not None:
            raise _Refused(problem)
        workbook = self.workbooks.get(workbook_id)
        assert workbook is not None
        if workbook.settings.get(BREAKPOINTS_SETTING) != breakpoints:
            await workbook.set_setting(BREAKPOINTS_SETTING, breakpoints)
        return f"{len(breakpoints)} breakpoints kept in {workbook_id}."

    def _workbook_id(self, message: Dict[str, Any], purpose: str = "") -> str:
        workbook_id = message.get("workbook_id")
        if self.workbooks.get(workbook_id) is None:
            raise _Refused(f"There is no workbook {workbook_id!r:.120}"
                           f"{' ' + purpose if purpose else ''}.")
        return workbook_id  # type: ignore[return-value]


class _Refused(Exception):
    """A request the hub will not carry out; the text says why."""


_REPLIES = {"new_workbook": "workbook_opened", "open_workbook": "workbook_opened",
            "close_workbook": "workbook_closed", "restart_kernel": "kernel_restarted",
            "save_workbook_as": "workbook_saved", "reload_workbook": "workbook_reloaded",
            "save_breakpoints": "breakpoints_saved"}
