"""DevHub: the WebSocket server that kernels and the IDE connect to on this machine."""

from __future__ import annotations

import asyncio
import functools
import logging
import ssl
from http import HTTPStatus
from typing import Any, Dict, List, Optional, Set

from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response

from .access import (IDE_PATH, KERNEL_PATH, TOKEN_ENV, Endpoint, Refusal, check_credentials,
                     endpoint_of, new_token, own_origins, remove_hub_file, route_of,
                     write_hub_file)
from .ide_protocol import (HUB_REQUESTS, KERNEL_CONNECTED, KERNEL_STARTING, KERNEL_STOPPED,
                           LANGUAGE_ANSWERS, RELAYED, refusal)
from .ide_requests import HubRequests, WorkbookWatch
from .ide_session import IdeSession, for_ide
from .kernel_session import KernelSession
from .launcher import KernelProcess, launch_kernel
from .pending_replies import PendingReplies
from .packages import HubPackages

logger = logging.getLogger(__name__)

# The hub accepts frames of any size from its own processes; the kernel bounds its own input.
MAX_FRAME_BYTES = None


class DevHub:
    """A local hub on 127.0.0.1: serves kernels and the IDE, relays between them, and launches
    and restarts kernels (the IDE's messages are listed in ``ide_protocol``).

    A workbook is open from the first time its kernel connects or is launched; a kernel that
    goes away leaves the workbook and its modules, and a new kernel for it gets those modules.

    Every handshake must present the hub's `token` and come from no foreign web origin (see
    ``access``); a workbook takes one kernel connection at a time. `authenticate` false asks
    for no token (only for measuring what the token costs).
    """

    def __init__(
        self, host: str = "127.0.0.1", port: int = 0, ssl_context: Optional[ssl.SSLContext] = None,
        keep_frames: bool = True, data_dir: Optional[str] = None, package_settings: Any = None,
        authenticate: bool = True,
    ) -> None:
        self.host = host
        self.token: Optional[str] = new_token() if authenticate else None
        self.hub_file: Optional[str] = None
        self._requested_port = port
        self.ssl_context = ssl_context
        self._server: Optional[Server] = None
        self._kernels: Dict[str, KernelSession] = {}
        # Kernel frames are kept for scripts and tests to read; a hub run on its own drops them.
        self._keep_frames = keep_frames
        self.ide = IdeSession(self._from_ide)
        # The hub's copy of each workbook's modules, kept from the IDE's updates.
        self.modules: Dict[str, Dict[str, str]] = {}
        # Kernel processes this hub launched, by workbook; workbooks whose kernel is restarting.
        self._processes: Dict[str, KernelProcess] = {}
        self._launch_args: Dict[str, Optional[Dict[str, Any]]] = {}
        self.restarting: Set[str] = set()
        self.replies = PendingReplies()
        self.watch = WorkbookWatch(self.ide.send, self.workbooks_state)
        self.requests = HubRequests(self)
        self._tasks: Set["asyncio.Task[None]"] = set()
        # Workbooks' packages, kept in the data folder (a temporary one when none is given).
        self.packages = HubPackages(data_dir, package_settings, to_ide=self.ide.send,
                                    kernel_of=self._kernels.get)

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the hub is not started")
        return self._server.sockets[0].getsockname()[1]

    @property
    def secured(self) -> bool:
        return self.ssl_context is not None

    @property
    def url(self) -> str:
        return f"{'wss' if self.secured else 'ws'}://{self.host}:{self.port}"

    @property
    def http_url(self) -> str:
        return f"{'https' if self.secured else 'http'}://{self.host}:{self.port}"

    @property
    def data_dir(self) -> str:
        return self.packages.data_dir

    @property
    def auth_headers(self) -> Dict[str, str]:
        """The headers a client of this hub presents in its handshake."""
        return {} if self.token is None else {"Authorization": f"Bearer {self.token}"}

    async def start(self) -> "DevHub":
        self._server = await serve(
            self._handle,
            self.host,
            self._requested_port,
            ssl=self.ssl_context,
            max_size=MAX_FRAME_BYTES,
            process_request=self._admit,
        )
        if self.token is not None:
            self.hub_file = write_hub_file(self.data_dir, self.url, self.http_url, self.token)
        logger.info("Development hub listening on %s", self.url)
        return self

    async def stop(self) -> None:
        if self.hub_file is not None and self.token is not None:
            remove_hub_file(self.hub_file, self.token)
            self.hub_file = None
        await self.requests.close()
        for task in list(self._tasks):
            task.cancel()
        for process in list(self._processes.values()):
            await process.kill()
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None
        await self.packages.close()

    async def __aenter__(self) -> "DevHub":
        return await self.start()

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.stop()

    # --- kernels ----------------------------------------------------------------------------

    def kernel(self, workbook_id: str) -> KernelSession:
        """The session of a workbook's kernel (created before the kernel connects, if need be)."""
        session = self._kernels.get(workbook_id)
        if session is None:
            session = self._kernels[workbook_id] = KernelSession(
                workbook_id, listener=functools.partial(self._to_ide, workbook_id),
                keep_frames=self._keep_frames)
        return session

    async def wait_for_kernel(self, workbook_id: str, timeout: float = 10.0) -> KernelSession:
        session = self.kernel(workbook_id)
        await asyncio.wait_for(session.connected.wait(), timeout)
        return session

    async def launch_kernel(
        self, workbook_id: str, connection_args: Optional[Dict[str, Any]] = None, **kwargs: Any
    ) -> KernelProcess:
        """Starts a kernel process for the workbook, connecting back to this hub.

        Without `connection_args`, a workbook launched before gets the arguments it had then.
        The hub asks its kernels to gather output into few frames unless `connection_args`
        says otherwise ("gather_output"); KernelSession opens the "batch" frames.
        """
        if connection_args is None:
            connection_args = self._launch_args.get(workbook_id)
        self._launch_args[workbook_id] = connection_args
        self.kernel(workbook_id)
        connection_args = {"gather_output": True, **(connection_args or {})}
        if self.token is not None:
            kwargs["env"] = {TOKEN_ENV: self.token, **(kwargs.get("env") or {})}
        process = await launch_kernel(
            workbook_id, self.port, connection_args, secured=self.secured, **kwargs
        )
        self._processes[workbook_id] = process
        self._spawn(self._watch_process(process))
        await self.watch.changed()
        return process

    async def stop_kernel(self, workbook_id: str, timeout: float) -> None:
        """Asks the workbook's kernel to shut down and waits until it has gone; a process of
        ours that outlives `timeout` is ended."""
        session = self._kernels.get(workbook_id)
        if session is not None and session.connected.is_set():
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

    # --- workbooks, as the IDE sees them ---------------------------------------------------

    def workbook_ids(self) -> List[str]:
        return list(self._kernels)

    def kernel_state(self, workbook_id: str) -> str:
        session = self._kernels.get(workbook_id)
        if session is not None and session.connected.is_set():
            return KERNEL_CONNECTED
        process = self._processes.get(workbook_id)
        if workbook_id in self.restarting or (
                process is not None and process.process.returncode is None):
            return KERNEL_STARTING
        return KERNEL_STOPPED

    def workbooks_state(self) -> List[Dict[str, Any]]:
        return [{"id": wid, "name": wid, "kernel": self.kernel_state(wid)}
                for wid in self._kernels]

    def _spawn(self, coroutine: Any) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _watch_process(self, process: KernelProcess) -> None:
        await process.process.wait()
        await self.watch.changed()

    # --- connections ------------------------------------------------------------------------

    def _admit(self, connection: ServerConnection, request: Request) -> Optional[Response]:
        """Refuses a handshake (before any message is read or sent) that does not name an
        endpoint, comes from a foreign web page, lacks the token, or asks for the kernel socket
        of a workbook whose kernel is connected."""
        verdict = endpoint_of(request.path)
        if isinstance(verdict, Endpoint):
            verdict = check_credentials(request.path, request.headers, self.token,
                                        own_origins(self.port, self.secured)) or verdict
        if isinstance(verdict, Endpoint) and verdict.kind == "kernel":
            # The library runs the handler of an accepted handshake without a turn of the loop
            # in between, so the session is marked connected before the next handshake is
            # looked at: two kernels of one workbook cannot both get here.
            session = self._kernels.get(verdict.workbook_id)  # type: ignore[arg-type]
            if session is not None and session.connected.is_set():
                verdict = Refusal(HTTPStatus.CONFLICT, f"Workbook {verdict.workbook_id} has a "
                                                       "kernel connected already.")
        if isinstance(verdict, Endpoint):
            return None
        logger.warning("Refused a connection to %.200r from %s: %d %s", route_of(request.path),
                       _peer(connection), verdict.status, verdict.reason)
        return connection.respond(verdict.status, verdict.reason + "\n")

    async def _handle(self, connection: ServerConnection) -> None:
        endpoint = endpoint_of(connection.request.path if connection.request else "")
        if isinstance(endpoint, Endpoint) and endpoint.kind == "kernel":
            workbook_id = endpoint.workbook_id
            assert workbook_id is not None
            logger.info("Kernel connected for workbook %s", workbook_id)
            session = self.kernel(workbook_id)
            self.packages.kernel_connected(workbook_id)
            arrival = asyncio.ensure_future(self._kernel_arrived(workbook_id, session))
            try:
                await session.serve(connection)
            finally:
                arrival.cancel()
            logger.info("Kernel disconnected for workbook %s", workbook_id)
            reason = f"The kernel of {workbook_id} went away before it answered."
            for reply in self.replies.abandon(workbook_id, reason):
                await self.ide.send(reply)
            await self.watch.changed()
            return
        # _admit let in only the two endpoints.
        logger.info("IDE connected from %s", _peer(connection))
        workbooks = [self._workbook_entry(wid) for wid in self._kernels]
        await self.ide.serve(connection, {"type": "workbook_list", "workbooks": workbooks})
        logger.info("IDE disconnected")

    # --- relay between the IDE and the kernels ---------------------------------------------

    def _workbook_entry(self, workbook_id: str, message_type: Optional[str] = None) -> Dict[str, Any]:
        entry: Dict[str, Any] = {"id": workbook_id, "name": workbook_id,
                                 "modules": dict(self.modules.get(workbook_id, {}))}
        if message_type is None:
            return entry
        return {"type": message_type, "workbook_id": workbook_id, "name": workbook_id,
                "modules": entry["modules"]}

    async def _kernel_arrived(self, workbook_id: str, session: KernelSession) -> None:
        """Gives a kernel that connected the workbook's modules, then announces it to the IDE."""
        await session.connected.wait()
        try:
            for name, code in list(self.modules.get(workbook_id, {}).items()):
                update = {"type": "update_module", "module_name": name, "code": code}
                self.replies.relayed(workbook_id, update)
                await session.send(update)
        except ConnectionClosed:
            return  # gone already: its leaving is reported where its connection is served
        await self.ide.send(self._workbook_entry(workbook_id, "workbook_connected"))
        await self.watch.changed()

    async def _from_ide(self, message: Dict[str, Any]) -> None:
        kind = message.get("type")
        if kind in HUB_REQUESTS:
            await self.requests.handle(message)
            return
        if await self.packages.handle_ide_message(message):
            return
        workbook_id = message.get("workbook_id")
        session = self._kernels.get(workbook_id) if isinstance(workbook_id, str) else None
        problem = None
        if session is None or not session.connected.is_set():
            problem = f"No kernel is connected for workbook {workbook_id!r}."
        elif kind in ("update_module", "delete_module") and not (
                isinstance(message.get("module_name"), str) and message["module_name"]):
            problem = f"{kind} needs a module name."
        if problem is not None:
            request_id = message.get("request_id")
            if kind in RELAYED and isinstance(request_id, str) and request_id:
                await self.ide.send(refusal(message, problem))
            else:
                await self.ide.send({"type": "log_to_console", "color": "#ff6b6b",
                                     "content": problem})
            return
        if kind == "update_module":
            self.modules.setdefault(workbook_id, {})[message["module_name"]] = message.get("code", "")
        elif kind == "delete_module":
            self.modules.get(workbook_id, {}).pop(message["module_name"], None)
        self.replies.relayed(workbook_id, message)
        await session.send(message)  # type: ignore[union-attr]

    async def _to_ide(self, workbook_id: str, message: Dict[str, Any]) -> None:
        if await self.packages.from_kernel(workbook_id, message):
            return
        if message.get("type") in LANGUAGE_ANSWERS:
            await self.ide.send(message)
            return
        reply = self.replies.answered(workbook_id, message)
        if reply is not None:
            await self.ide.send(reply)
        if message.get("type") in ("module_updated", "module_deleted"):
            # The kernel took the change: the IDE's explorer lists the workbook's modules anew.
            names = sorted(self.modules.get(workbook_id, {}))
            await self.ide.send({"type": "module_list", "workbook_id": workbook_id, "modules": names})
            return
        shown = for_ide(message)
        if shown is not None:
            await self.ide.send(shown)
        end = self.replies.debug_run_end(workbook_id, message)
        if end is not None:
            await self.ide.send(end)



def _peer(connection: ServerConnection) -> str:
    address = connection.remote_address
    return f"{address[0]}:{address[1]}" if isinstance(address, tuple) else str(address)
