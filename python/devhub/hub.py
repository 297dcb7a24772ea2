"""DevHub: the WebSocket server that kernels and the IDE connect to on this machine."""

from __future__ import annotations

import asyncio
import functools
import logging
import ssl
from typing import Any, Dict, Optional

from websockets.asyncio.server import Server, ServerConnection, serve

from .ide_session import IdeSession, for_ide
from .kernel_session import KernelSession
from .launcher import KernelProcess, launch_kernel

logger = logging.getLogger(__name__)

KERNEL_PATH = "/ws/kernel/"
IDE_PATH = "/ws/ide/main_ide"
# The hub accepts frames of any size from its own processes; the kernel bounds its own input.
MAX_FRAME_BYTES = None


class DevHub:
    """A local hub: serves kernels (and, later, the IDE) on 127.0.0.1."""

    def __init__(
        self, host: str = "127.0.0.1", port: int = 0, ssl_context: Optional[ssl.SSLContext] = None,
        keep_frames: bool = True,
    ) -> None:
        self.host = host
        self._requested_port = port
        self.ssl_context = ssl_context
        self._server: Optional[Server] = None
        self._kernels: Dict[str, KernelSession] = {}
        # Kernel frames are kept for scripts and tests to read; a hub run on its own drops them.
        self._keep_frames = keep_frames
        self.ide = IdeSession(self._from_ide)
        # The hub's copy of each workbook's modules, kept from the IDE's updates.
        self.modules: Dict[str, Dict[str, str]] = {}

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

    async def start(self) -> "DevHub":
        self._server = await serve(
            self._handle,
            self.host,
            self._requested_port,
            ssl=self.ssl_context,
            max_size=MAX_FRAME_BYTES,
        )
        logger.info("Development hub listening on %s", self.url)
        return self

    async def stop(self) -> None:
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None

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

        The hub asks its kernels to gather output into few frames unless `connection_args`
        says otherwise ("gather_output"); KernelSession opens the "batch" frames.
        """
        connection_args = {"gather_output": True, **(connection_args or {})}
        return await launch_kernel(
            workbook_id, self.port, connection_args, secured=self.secured, **kwargs
        )

    # --- connections ------------------------------------------------------------------------

    async def _handle(self, connection: ServerConnection) -> None:
        path = connection.request.path if connection.request else ""
        if path.startswith(KERNEL_PATH) and len(path) > len(KERNEL_PATH):
            workbook_id = path[len(KERNEL_PATH):]
            logger.info("Kernel connected for workbook %s", workbook_id)
            await self.ide.send(self._workbook_entry(workbook_id, "workbook_connected"))
            await self.kernel(workbook_id).serve(connection)
            logger.info("Kernel disconnected for workbook %s", workbook_id)
            await self.ide.send({"type": "workbook_disconnected", "workbook_id": workbook_id})
            return
        if path == IDE_PATH:
            logger.info("IDE connected")
            connected = [wid for wid, s in self._kernels.items() if s.connected.is_set()]
            workbooks = [self._workbook_entry(wid) for wid in connected]
            await self.ide.serve(connection, {"type": "workbook_list", "workbooks": workbooks})
            logger.info("IDE disconnected")
            return
        logger.warning("Refused a connection to unknown path %r", path)
        await connection.close(1008, "unknown endpoint")

    # --- relay between the IDE and the kernels ---------------------------------------------

    def _workbook_entry(self, workbook_id: str, message_type: Optional[str] = None) -> Dict[str, Any]:
        entry: Dict[str, Any] = {"id": workbook_id, "name": workbook_id,
                                 "modules": dict(self.modules.get(workbook_id, {}))}
        if message_type is None:
            return entry
        return {"type": message_type, "workbook_id": workbook_id, "name": workbook_id,
                "modules": entry["modules"]}

    async def _from_ide(self, message: Dict[str, Any]) -> None:
        workbook_id = message.get("workbook_id")
        session = self._kernels.get(workbook_id) if isinstance(workbook_id, str) else None
        if message.get("type") == "update_module" and isinstance(workbook_id, str):
            self.modules.setdefault(workbook_id, {})[message.get("module_name", "")] = message.get("code", "")
        elif message.get("type") == "delete_module" and isinstance(workbook_id, str):
            self.modules.get(workbook_id, {}).pop(message.get("module_name", ""), None)
        if session is None or not session.connected.is_set():
            await self.ide.send({"type": "log_to_console", "color": "#ff6b6b",
                                 "content": f"No kernel is connected for workbook {workbook_id!r}"})
            return
        await session.send(message)

    async def _to_ide(self, workbook_id: str, message: Dict[str, Any]) -> None:
        if message.get("type") in ("module_updated", "module_deleted"):
            # The kernel took the change: the IDE's explorer lists the workbook's modules anew.
            names = sorted(self.modules.get(workbook_id, {}))
            await self.ide.send({"type": "module_list", "workbook_id": workbook_id, "modules": names})
            return
        shown = for_ide(message)
        if shown is not None:
            await self.ide.send(shown)

