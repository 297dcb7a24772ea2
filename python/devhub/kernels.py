"""KernelProcesses: the workbooks' kernels as the hub runs them: launch, stop, restart, state.

Each workbook has at most one kernel: a process this hub launched (``launcher``), or any
process that connected to its endpoint with the token. Launching, starting, stopping and
restarting one workbook's kernel happen one at a time, and a launch ends a process of ours still
running for the workbook first; a restart asked while one goes on joins it. The hub's side of
each kernel's connection is a ``KernelSession``, made before the kernel connects when need be.
The IDE's requests and the hub's own code reach kernels only through this class.
"""

from __future__ import annotations

import asyncio
import logging
from typing import Any, Awaitable, Callable, Dict, Optional, Set

from .access import TOKEN_ENV
from .ide_protocol import KERNEL_CONNECTED, KERNEL_STARTING, KERNEL_STOPPED
from .kernel_session import KernelSession
from .launcher import KernelProcess, launch_kernel

__all__ = ["KERNEL_START_TIMEOUT", "KERNEL_STOP_TIMEOUT", "KernelProcesses"]

logger = logging.getLogger(__name__)

# How long a launched kernel may take to connect, and a stopping one to exit, before the hub
# gives up on it (and ends its process).
KERNEL_START_TIMEOUT = 60.0
KERNEL_STOP_TIMEOUT = 5.0


class KernelProcesses:
    def __init__(self, *, port: Callable[[], int], secured: bool, token: Optional[str],
                 new_session: Callable[[str], KernelSession],
                 changed: Callable[[], Awaitable[None]]) -> None:
        self._port = port
        self._secured = secured
        self._token = token
        self._new_session = new_session
        # Awaited whenever a kernel's state may have changed (the IDE's watch is told).
        self._changed = changed
        self.sessions: Dict[str, KernelSession] = {}
        self._processes: Dict[str, KernelProcess] = {}
        self._launch_args: Dict[str, Optional[Dict[str, Any]]] = {}
        self._restarting: Set[str] = set()
        self._restarts: Dict[str, "asyncio.Future[Optional[str]]"] = {}
        self._locks: Dict[str, asyncio.Lock] = {}
        self._tasks: Set["asyncio.Task[None]"] = set()

    def session(self, workbook_id: str) -> KernelSession:
        """The session of a workbook's kernel (made before the kernel connects, if need be)."""
        session = self.sessions.get(workbook_id)
        if session is None:
            session = self.sessions[workbook_id] = self._new_session(workbook_id)
        return session

    def connected(self, workbook_id: str) -> Optional[KernelSession]:
        """The workbook's session while its kernel is connected, else None."""
        session = self.sessions.get(workbook_id)
        return session if session is not None and session.connected.is_set() else None

    def state(self, workbook_id: str) -> str:
        if self.connected(workbook_id) is not None:
            return KERNEL_CONNECTED
        process = self._processes.get(workbook_id)
        if workbook_id in self._restarting or (
                process is not None and process.process.returncode is None):
            return KERNEL_STARTING
        return KERNEL_STOPPED

    def _lock(self, workbook_id: str) -> asyncio.Lock:
        return self._locks.setdefault(workbook_id, asyncio.Lock())

    async def launch(self, workbook_id: str, connection_args: Optional[Dict[str, Any]] = None,
                     **options: Any) -> KernelProcess:
        """Starts a kernel process for the workbook, connecting back to this hub (a process of
        ours still running for it is stopped first).

        Without `connection_args`, a workbook launched before gets the arguments it had then.
        The hub asks its kernels to gather output into few frames unless `connection_args`
        says otherwise ("gather_output"); KernelSession opens the "batch" frames.
        """
        async with self._lock(workbook_id):
            return await self._launch(workbook_id, connection_args, **options)

    async def _launch(self, workbook_id: str, connection_args: Optional[Dict[str, Any]] = None,
                      **options: Any) -> KernelProcess:
        previous = self._processes.get(workbook_id)
        if previous is not None and previous.process.returncode is None:
            await self._stop(workbook_id)
        if connection_args is None:
            connection_args = self._launch_args.get(workbook_id)
        self._launch_args[workbook_id] = connection_args
        self.session(workbook_id)
        connection_args = {"gather_output": True, **(connection_args or {})}
        if self._token is not None:
            options["env"] = {TOKEN_ENV: self._token, **(options.get("env") or {})}
        process = await launch_kernel(workbook_id, self._port(), connection_args,
                                      secured=self._secured, **options)
        self._processes[workbook_id] = process
        self._spawn(self._watch_process(process))
        await self._changed()
        return process

    async def start(self, workbook_id: str) -> Optional[str]:
        """Launches the workbook's kernel, unless one is connected, and waits until it
        connects; the problem, or None."""
        async with self._lock(workbook_id):
            if self.connected(workbook_id) is not None:
                return None
            return await self._start(workbook_id)

    async def _start(self, workbook_id: str) -> Optional[str]:
        process = await self._launch(workbook_id)
        session = self.session(workbook_id)
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

    async def stop(self, workbook_id: str, timeout: float = KERNEL_STOP_TIMEOUT) -> None:
        """Asks the workbook's kernel to shut down and waits until it has gone; a process of
        ours that outlives `timeout` is ended."""
        async with self._lock(workbook_id):
            await self._stop(workbook_id, timeout)

    async def _stop(self, workbook_id: str, timeout: float = KERNEL_STOP_TIMEOUT) -> None:
        session = self.connected(workbook_id)
        if session is not None:
            try:
                await session.send({"type": "shutdown"})
            except Exception:  # the connection is going anyway
                pass
        process = self._processes.get(workbook_id)
        if process is not None:
            try:
                await process.wait(timeout)
            except asyncio.TimeoutError:
                logger.warning("Kernel of %s did not exit in %.0f s; ending it", workbook_id,
                               timeout)
                await process.kill()
        if session is not None and session.connected.is_set():
            try:
                await asyncio.wait_for(session.closed.wait(), timeout)
            except asyncio.TimeoutError:
                # Not our process: all the hub can do is close its end of the connection.
                if session.connection is not None:
                    await session.connection.close()
                await session.closed.wait()

    async def restart(self, workbook_id: str) -> Optional[str]:
        """Stops the workbook's kernel and starts a new one; the problem, or None. A restart
        asked while one goes on joins it: one new kernel, the same answer for each."""
        restart = self._restarts.get(workbook_id)
        if restart is None:
            restart = self._restarts[workbook_id] = asyncio.ensure_future(
                self._restart(workbook_id))
            restart.add_done_callback(lambda _done: self._restarts.pop(workbook_id, None))
        return await asyncio.shield(restart)

    async def _restart(self, workbook_id: str) -> Optional[str]:
        self._restarting.add(workbook_id)
        await self._changed()
        try:
            async with self._lock(workbook_id):
                await self._stop(workbook_id)
                return await self._start(workbook_id)
        finally:
            self._restarting.discard(workbook_id)
            await self._changed()

    def forget(self, workbook_id: str) -> None:
        """Drops what is known of a workbook's kernel (once it is stopped)."""
        self.sessions.pop(workbook_id, None)
        self._processes.pop(workbook_id, None)
        self._launch_args.pop(workbook_id, None)

    async def close(self) -> None:
        for task in list(self._tasks):
            task.cancel()
        for process in list(self._processes.values()):
            await process.kill()

    def _spawn(self, coroutine: Any) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _watch_process(self, process: KernelProcess) -> None:
        await process.process.wait()
        await self._changed()
