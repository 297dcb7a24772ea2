"""DevHub: the WebSocket server that kernels and the IDE connect to on this machine, and the
relay between them."""

from __future__ import annotations

import asyncio
import functools
import logging
import os
import ssl
import tempfile
from http import HTTPStatus
from typing import Any, Dict, List, Optional, Set, Tuple

from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response

from python_server.lsp_modules import remove_stale

from .access import (IDE_PATH, KERNEL_PATH, Endpoint, Refusal, check_credentials, endpoint_of,
                     new_token, own_origins, remove_hub_file, route_of, token_matches,
                     write_hub_file)
from .automation_requests import AutomationRequests
from .ide_protocol import (AUTOMATION_REQUESTS, BREAKPOINTS_SETTING, EDITING_WORKBOOK,
                           HUB_REQUESTS, KERNEL_CONNECTED, KERNEL_STOPPED, LANGUAGE_ANSWERS,
                           MAX_CELL_CHARS, MAX_MODULE_CHARS, RUNS, refusal)
from .ide_requests import HubRequests, WorkbookWatch
from .ide_session import IdeSession, for_ide
from .kernel_session import KernelSession, MessageTooLarge, encode
from .kernels import KernelProcesses
from .launcher import KernelProcess
from .live_workbook import LiveWorkbook
from .packages import HubPackages
from .pending_replies import PendingReplies
from .sheet_page import MAX_PAGE_FRAME_BYTES, SheetPage, page_response
from .workbook_file import WorkbookFile, WorkbookFileError
from .workbook_part import check_module_name
from .workbooks import Workbooks
from .worksheet_calls import CALL_TIMEOUT

__all__ = ["DevHub", "IDE_PATH", "KERNEL_PATH"]

logger = logging.getLogger(__name__)

# The largest frame the hub reads from the IDE (a module of MAX_MODULE_CHARS escaped as JSON,
# with room) and from a kernel (whose long messages come in chunks); beyond, the library closes
# the connection (1009) before the frame costs the hub its memory.
MAX_IDE_FRAME_BYTES = 64 * 1024 * 1024
MAX_KERNEL_FRAME_BYTES = 16 * 1024 * 1024
MODULE_CHANGES = ("update_module", "delete_module")
# Deepest nesting of lists and objects in an IDE message: no request needs more, and a kernel's
# parser refuses far less deep ones than Python's own does, without knowing which request it was.
MAX_MESSAGE_DEPTH = 64
# How often the hub looks whether each kernel is busy, for the IDE's workbook states (a change
# is news to the watch; a call shorter than this may go unseen, which is what is wanted).
BUSY_POLL_SECONDS = 0.25


class DevHub:
    """A local hub on 127.0.0.1: serves kernels and the IDE, relays between them, keeps each
    workbook's file, and launches and restarts kernels (the IDE's messages are listed in
    ``ide_protocol``).

    A workbook is an .xlsx file (``workbooks``): opened from a path, or, for a kernel that
    connects or is launched for a workbook the hub has not opened, the file of that name in the
    data folder's "workbooks" folder. A kernel that connects gets its workbook's modules; one
    that goes away leaves the workbook open.

    Every handshake must present the hub's `token` and come from no foreign web origin (see
    ``access``); a workbook takes one kernel connection at a time. `authenticate` false asks
    for no token (only for measuring what the token costs).
    """

    def __init__(
        self, host: str = "127.0.0.1", port: int = 0, ssl_context: Optional[ssl.SSLContext] = None,
        keep_frames: bool = True, data_dir: Optional[str] = None, package_settings: Any = None,
        authenticate: bool = True, call_timeout: float = CALL_TIMEOUT,
    ) -> None:
        self.host = host
        self.token: Optional[str] = new_token() if authenticate else None
        self.hub_file: Optional[str] = None
        self._requested_port = port
        self.ssl_context = ssl_context
        self._server: Optional[Server] = None
        # Without a data folder the hub keeps one of its own, removed when it stops.
        self._scratch = tempfile.TemporaryDirectory(prefix="devhub-") if data_dir is None else None
        self.data_dir = os.path.abspath(data_dir or self._scratch.name)  # type: ignore[union-attr]
        os.makedirs(self.data_dir, exist_ok=True)
        # Kernel frames are kept for scripts and tests to read; a hub run on its own drops them.
        self._keep_frames = keep_frames
        self.ide = IdeSession(self._from_ide)
        self.watch = WorkbookWatch(self.ide.send, self.workbooks_state)
        self.workbooks = Workbooks(os.path.join(self.data_dir, "workbooks"),
                                   self._workbook_problem, self._workbook_closing)
        # Each open workbook's calculated cells, made when it is first needed (a page, its
        # kernel, a module saved) and again after its file is reloaded.
        self.live: Dict[str, LiveWorkbook] = {}
        self._call_timeout = call_timeout
        self.kernels = KernelProcesses(port=lambda: self.port, secured=self.secured,
                                       token=self.token, new_session=self._new_session,
                                       changed=self._kernels_changed)
        self.replies = PendingReplies()
        # The file writes of relayed module changes, by (workbook, request id): the IDE hears
        # that a change is saved once the kernel took it and the file holds it.
        self._writes: Dict[Tuple[str, str], "asyncio.Future[None]"] = {}
        self.requests = HubRequests(self.kernels, self.workbooks, self.watch, self.ide.send,
                                    self.sync_kernel)
        self.packages = HubPackages(self.data_dir, package_settings, to_ide=self.ide.send,
                                    kernel_of=self.kernels.connected, workbooks=self.workbooks)
        self.automation = AutomationRequests(self.live_workbook, self.ide.send)
        self._tasks: Set["asyncio.Task[None]"] = set()
        # The workbooks with a module open in the IDE: their kernels load language services.
        self._editing: Set[str] = set()
        self._busy: Set[str] = set()  # the workbooks whose kernels were busy at the last look
        # The last arrival of each workbook's kernel: modules and package folders sent.
        self._arrivals: Dict[str, "asyncio.Future[None]"] = {}

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
    def page_url(self) -> str:
        """The address a person opens in a browser (it carries the token)."""
        return self.http_url + "/" + ("" if self.token is None else f"?token={self.token}")

    def workbook_url(self, workbook_id: str) -> str:
        from urllib.parse import quote
        query = "" if self.token is None else f"?token={self.token}"
        return f"{self.http_url}/workbook/{quote(workbook_id, safe='')}{query}"

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
            max_size=max(MAX_IDE_FRAME_BYTES, MAX_KERNEL_FRAME_BYTES, MAX_PAGE_FRAME_BYTES),
            process_request=self._admit,
        )
        if self.token is not None:
            self.hub_file = write_hub_file(self.data_dir, self.url, self.http_url, self.token)
        self._spawn(self.workbooks.watch_disks())
        self._spawn(self._watch_busy())
        remove_stale()  # the analysers' folders of kernels that were killed
        logger.info("Development hub listening on %s", self.url)
        return self

    async def stop(self) -> None:
        """Stops serving; every workbook's file is saved, every kernel of ours ended."""
        if self.hub_file is not None and self.token is not None:
            remove_hub_file(self.hub_file, self.token)
            self.hub_file = None
        await self.requests.close()
        for task in list(self._tasks):
            task.cancel()
        await self.kernels.close()
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None
        await self.workbooks.close_all()
        for live in list(self.live.values()):
            await live.close()
        self.live.clear()
        await self.packages.close()
        if self._scratch is not None:
            try:
                self._scratch.cleanup()
            except OSError as error:  # a kernel process may still hold a file open
                logger.warning("Could not remove %s: %s", self.data_dir, error)

    async def __aenter__(self) -> "DevHub":
        return await self.start()

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.stop()

    # --- kernels and workbooks, for scripts and tests -------------------------------------

    def kernel(self, workbook_id: str) -> KernelSession:
        """The session of a workbook's kernel (made before the kernel connects, if need be)."""
        return self.kernels.session(workbook_id)

    async def wait_for_kernel(self, workbook_id: str, timeout: float = 10.0) -> KernelSession:
        session = self.kernel(workbook_id)
        await asyncio.wait_for(session.connected.wait(), timeout)
        return session

    async def kernel_ready(self, workbook_id: str, timeout: float = 30.0) -> KernelSession:
        """Waits until the workbook's kernel is connected and has been given its workbook: its
        cells to answer from, its modules, its package folders."""
        session = await self.wait_for_kernel(workbook_id, timeout)
        arrival = self._arrivals.get(workbook_id)
        if arrival is not None:
            await asyncio.wait_for(asyncio.shield(arrival), timeout)
        return session

    async def launch_kernel(self, workbook_id: str,
                            connection_args: Optional[Dict[str, Any]] = None,
                            **options: Any) -> KernelProcess:
        """Opens the workbook (its file in the data folder, unless a path opened it) and starts
        a kernel process for it (see ``KernelProcesses.launch``)."""
        await self.workbooks.open_name(workbook_id)
        return await self.kernels.launch(workbook_id, connection_args, **options)

    async def open_workbook(self, path: str) -> WorkbookFile:
        """Opens a workbook file and starts its kernel (as the command line does)."""
        workbook = await self.workbooks.open(path)
        name = os.path.basename(workbook.path)
        if self.kernels.state(name) == KERNEL_STOPPED:
            await self.kernels.launch(name)
        return workbook

    def workbook_ids(self) -> List[str]:
        return self.workbooks.ids()

    async def save_module(self, workbook_id: str, name: str, code: str) -> None:
        """Saves a module into an open workbook as the IDE does (for scripts): into the file,
        to the kernel, and its worksheet functions to the sheet."""
        workbook = self.workbooks.get(workbook_id)
        if workbook is None:
            raise WorkbookFileError(f"No workbook {workbook_id} is open")
        await workbook.set_module(name, code)
        session = self.kernels.connected(workbook_id)
        if session is not None:
            await session.send({"type": "update_module", "module_name": name, "code": code})
        self._modules_changed(workbook_id, name)

    def live_workbook(self, workbook_id: str) -> Optional[LiveWorkbook]:
        """The open workbook's calculated cells (None when it is not open)."""
        workbook = self.workbooks.get(workbook_id)
        if workbook is None:
            return None
        live = self.live.get(workbook_id)
        if live is not None and live.file is workbook and live.generation == workbook.generation:
            return live
        fresh = LiveWorkbook(workbook_id, workbook, functools.partial(self._to_kernel,
                                                                      workbook_id),
                             self._call_timeout, self.ide.send)
        self.live[workbook_id] = fresh
        fresh.on_problem = functools.partial(self._workbook_problem, workbook_id)
        session = self.kernels.connected(workbook_id)
        if session is not None:
            session.workbook = fresh
            arrival = self._arrivals.get(workbook_id)
            if arrival is not None and arrival.done():  # else the arrival tells it
                fresh.kernel_connected()
        if live is not None:  # the file was reloaded: its pages show it anew
            self._spawn(self._replace_live(live, fresh))
        return fresh

    async def _replace_live(self, old: LiveWorkbook, fresh: LiveWorkbook) -> None:
        pages = list(old.pages)
        await old.close()
        await fresh.ready.wait()
        for page in pages:
            page.attach(fresh)

    async def _to_kernel(self, workbook_id: str, message: Dict[str, Any]) -> bool:
        """Sends a worksheet call to the workbook's kernel; False when none is connected."""
        session = self.kernels.connected(workbook_id)
        if session is None:
            return False
        frames = encode(message)  # MessageTooLarge for arguments the kernel would refuse
        await session.send_frames(frames)
        return True

    async def _workbook_closing(self, workbook_id: str) -> None:
        self._editing.discard(workbook_id)
        live = self.live.pop(workbook_id, None)
        if live is not None:
            for page in list(live.pages):
                page.close(f"Workbook {workbook_id} was closed")
            await live.close()

    async def _kernels_changed(self) -> None:
        await self.watch.changed()
        for workbook_id in list(self.live):
            self._pages_status(workbook_id)

    def _pages_status(self, workbook_id: str) -> None:
        live = self.live.get(workbook_id)
        if live is not None:
            live.broadcast({"type": "status", "kernel": self.kernels.state(workbook_id),
                            "pending": live.calls.pending})

    def kernel_state(self, workbook_id: str) -> str:
        return self.kernels.state(workbook_id)

    def workbooks_state(self) -> List[Dict[str, Any]]:
        return [{"id": wid, "name": os.path.basename(workbook.path),
                 "kernel": self.kernels.state(wid), "busy": wid in self._busy,
                 "path": workbook.path, "problem": workbook.conflict,
                 "read_only": workbook.read_only,
                 "breakpoints": workbook.settings.get(BREAKPOINTS_SETTING) or []}
                for wid, workbook in self.workbooks.files.items()]

    def kernel_busy(self, workbook_id: str) -> bool:
        """Whether the workbook's kernel is running something the hub gave it: a cell, a run,
        a worksheet call, an event handler or a timer. Streams are not counted: they run beside
        all of these, for as long as their cells want them."""
        if self.kernels.state(workbook_id) != KERNEL_CONNECTED:
            return False
        if self.replies.runs_going_on(workbook_id):
            return True
        live = self.live.get(workbook_id)
        return live is not None and (live.calls.pending > 0 or live.events.running is not None)

    async def _watch_busy(self) -> None:
        while True:
            await asyncio.sleep(BUSY_POLL_SECONDS)
            busy = {wid for wid in self.workbooks.files if self.kernel_busy(wid)}
            if busy != self._busy:
                self._busy = busy
                await self.watch.changed()

    def _new_session(self, workbook_id: str) -> KernelSession:
        return KernelSession(workbook_id, listener=functools.partial(self._to_ide, workbook_id),
                             keep_frames=self._keep_frames)

    def _workbook_problem(self, workbook_id: str, text: str) -> None:
        self._spawn(self._tell_problem(text))

    async def _tell_problem(self, text: str) -> None:
        await self.ide.send({"type": "log_to_console", "color": "#ff6b6b", "content": text})
        await self.watch.changed()

    def _spawn(self, coroutine: Any) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    # --- connections ------------------------------------------------------------------------

    def _admit(self, connection: ServerConnection, request: Request) -> Optional[Response]:
        """Refuses a handshake (before any message is read or sent) that does not name an
        endpoint, comes from a foreign web page, lacks the token, or asks for the kernel socket
        of a workbook whose kernel is connected."""
        verdict = endpoint_of(request.path)
        origins = own_origins(self.port, self.secured)
        if isinstance(verdict, Endpoint) and verdict.kind == "page":
            # A page's own address carries the token, or the cookie it set does.
            refusal = check_credentials(request.path, request.headers, None, origins)
            if refusal is None:
                return page_response(request.path, request.headers, self.token,
                                     self._token_ok, self.workbooks_state,
                                     lambda wid: self.workbooks.get(wid) is not None)
            verdict = refusal
        elif isinstance(verdict, Endpoint):
            verdict = check_credentials(request.path, request.headers, self.token, origins,
                                        cookie=verdict.kind == "sheet") or verdict
        if isinstance(verdict, Endpoint) and verdict.kind == "sheet" \
                and self.workbooks.get(verdict.workbook_id) is None:
            verdict = Refusal(HTTPStatus.NOT_FOUND, f"No workbook {verdict.workbook_id} is open.")
        if isinstance(verdict, Endpoint) and verdict.kind == "kernel":
            # The library runs the handler of an accepted handshake without a turn of the loop
            # in between, so the session is marked connected before the next handshake is
            # looked at: two kernels of one workbook cannot both get here.
            if self.kernels.connected(verdict.workbook_id) is not None:  # type: ignore[arg-type]
                verdict = Refusal(HTTPStatus.CONFLICT, f"Workbook {verdict.workbook_id} has a "
                                                       "kernel connected already.")
        if isinstance(verdict, Endpoint):
            return None
        logger.warning("Refused a connection to %.200r from %s: %d %s", route_of(request.path),
                       _peer(connection), verdict.status, verdict.reason)
        return connection.respond(verdict.status, verdict.reason + "\n")

    def _token_ok(self, presented: str) -> bool:
        return self.token is not None and token_matches(presented, self.token)

    async def _handle(self, connection: ServerConnection) -> None:
        endpoint = endpoint_of(connection.request.path if connection.request else "")
        if isinstance(endpoint, Endpoint) and endpoint.kind == "sheet":
            connection.protocol.max_size = MAX_PAGE_FRAME_BYTES
            workbook_id = endpoint.workbook_id
            assert workbook_id is not None
            page = SheetPage(connection, _peer(connection),
                             functools.partial(self.live_workbook, workbook_id),
                             functools.partial(self.kernels.state, workbook_id))
            logger.info("Page of %s opened from %s", workbook_id, _peer(connection))
            await page.serve()
            return
        if isinstance(endpoint, Endpoint) and endpoint.kind == "kernel":
            connection.protocol.max_size = MAX_KERNEL_FRAME_BYTES
            workbook_id = endpoint.workbook_id
            assert workbook_id is not None
            logger.info("Kernel connected for workbook %s", workbook_id)
            session = self.kernel(workbook_id)
            arrival = asyncio.ensure_future(self._kernel_arrived(workbook_id, session))
            self._arrivals[workbook_id] = arrival
            try:
                await session.serve(connection)
            finally:
                arrival.cancel()
            logger.info("Kernel disconnected for workbook %s", workbook_id)
            live = self.live.get(workbook_id)
            if live is not None:
                live.kernel_gone()
                self._pages_status(workbook_id)
            reason = f"The kernel of {workbook_id} went away before it answered."
            for reply in self.replies.abandon(workbook_id, reason):
                self._writes.pop((workbook_id, reply.get("request_id")), None)
                await self.ide.send(reply)
            await self.watch.changed()
            return
        # _admit let in only the two endpoints.
        connection.protocol.max_size = MAX_IDE_FRAME_BYTES
        logger.info("IDE connected from %s", _peer(connection))
        workbooks = [self._workbook_entry(wid) for wid in self.workbooks.ids()]
        states = [state for live in list(self.live.values()) if live.ready.is_set()
                  for state in live.automation_states()]
        await self.ide.serve(connection, {"type": "workbook_list", "workbooks": workbooks},
                             *states)
        logger.info("IDE disconnected")

    async def _kernel_arrived(self, workbook_id: str, session: KernelSession) -> None:
        """Gives a kernel that connected its workbook's cells, modules and package folders,
        then announces it to the IDE."""
        await session.connected.wait()
        try:
            workbook = await self.workbooks.open_name(workbook_id)
        except WorkbookFileError as error:
            logger.warning("The kernel of %s runs without its workbook: %s", workbook_id, error)
            await self.ide.send({"type": "log_to_console", "color": "#ff6b6b",
                                 "content": f"The kernel of {workbook_id} runs without its "
                                            f"workbook: {error}"})
            return
        live = self.live_workbook(workbook_id)
        if session.workbook is None or session.workbook is workbook:
            session.workbook = live
        try:
            await self.sync_kernel(workbook_id)
        except ConnectionClosed:
            return  # gone already: its leaving is reported where its connection is served
        if live is not None and session.workbook is live:
            live.kernel_connected()
        self._pages_status(workbook_id)
        self.packages.kernel_connected(workbook_id)
        await self._language_services_wanted(workbook_id)
        await self.ide.send(self._workbook_entry(workbook_id, "workbook_connected"))
        await self.watch.changed()

    async def sync_kernel(self, workbook_id: str, gone: Tuple[str, ...] = ()) -> None:
        """Sends the workbook's connected kernel its modules (and the deletion of `gone`)."""
        session = self.kernels.connected(workbook_id)
        workbook = self.workbooks.get(workbook_id)
        live = self.live_workbook(workbook_id)  # made anew if the file was reloaded
        if live is not None and gone:
            live.modules_changed(None)
        if session is None or workbook is None:
            return
        updates = [{"type": "delete_module", "module_name": name} for name in gone]
        updates += [{"type": "update_module", "module_name": name, "code": code}
                    for name, code in list(workbook.modules.items())]
        for update in updates:
            try:
                frames = encode(update)
            except MessageTooLarge as error:
                await self.ide.send({"type": "log_to_console", "color": "#ff6b6b", "content":
                                     f"Module {update['module_name']} of {workbook_id} was not "
                                     f"given to its kernel: {error}"})
                continue
            self.replies.relayed(workbook_id, update)
            await session.send_frames(frames)

    # --- relay between the IDE and the kernels ---------------------------------------------

    def _workbook_entry(self, workbook_id: str,
                        message_type: Optional[str] = None) -> Dict[str, Any]:
        workbook = self.workbooks.get(workbook_id)
        modules = dict(workbook.modules) if workbook is not None else {}
        name = os.path.basename(workbook.path) if workbook is not None else workbook_id
        if message_type is None:
            return {"id": workbook_id, "name": name, "modules": modules}
        return {"type": message_type, "workbook_id": workbook_id, "name": name,
                "modules": modules}

    async def _from_ide(self, message: Dict[str, Any]) -> None:
        kind = message.get("type")
        if _depth(message) > MAX_MESSAGE_DEPTH:
            await self._refuse(message, f"The message is nested deeper than "
                                        f"{MAX_MESSAGE_DEPTH} levels.")
            return
        if kind in HUB_REQUESTS:
            await self.requests.handle(message)
            return
        if kind in AUTOMATION_REQUESTS:
            await self.automation.handle(message)
            return
        if kind == EDITING_WORKBOOK:
            await self._editing_workbook(message.get("workbook_id"))
            return
        if await self.packages.handle_ide_message(message):
            return
        if kind in MODULE_CHANGES:
            await self._change_module(message)
            return
        workbook_id = message.get("workbook_id")
        session = self.kernels.connected(workbook_id) if isinstance(workbook_id, str) else None
        if session is None:
            problem = f"No kernel is connected for workbook {workbook_id!r:.120}."
            if kind == "interrupt_execution":  # its id is a run's: no refusal of that run
                await self.ide.send({"type": "interrupt_result",
                                     "request_id": message.get("request_id"),
                                     "workbook_id": workbook_id, "interrupted": [],
                                     "error": problem})
                return
            await self._refuse(message, problem)
            return
        code = message.get("code")
        if kind in RUNS and isinstance(code, str) and len(code) > MAX_CELL_CHARS:
            await self._refuse(message, f"The cell is {len(code):,} characters long; the hub "
                                        f"takes cells of at most {MAX_CELL_CHARS:,}.")
            return
        if kind == "run_module":
            # The kernel debugs whatever `debug` is true for; the hub must see the same run.
            message["debug"] = bool(message.get("debug"))
        try:
            frames = encode(message)
        except MessageTooLarge as error:
            await self._refuse(message, str(error))
            return
        self.replies.relayed(workbook_id, message)
        await session.send_frames(frames)

    async def _editing_workbook(self, workbook_id: Any) -> None:
        """A module of the workbook is open in the IDE: its kernel loads its language services
        now, and each kernel of it that connects later does too."""
        if not isinstance(workbook_id, str) or self.workbooks.get(workbook_id) is None:
            logger.debug("IDE edits a workbook that is not open: %.120r", workbook_id)
            return
        self._editing.add(workbook_id)
        await self._language_services_wanted(workbook_id)

    async def _language_services_wanted(self, workbook_id: str) -> None:
        session = self.kernels.connected(workbook_id)
        if session is not None and workbook_id in self._editing:
            await session.send({"type": "language_services_wanted", "workbook_id": workbook_id})

    async def _refuse(self, message: Dict[str, Any], problem: str) -> None:
        request_id = message.get("request_id")
        if isinstance(request_id, str) and request_id:
            await self.ide.send(refusal(message, problem))
        else:
            await self.ide.send({"type": "log_to_console", "color": "#ff6b6b",
                                 "content": problem})

    async def _change_module(self, message: Dict[str, Any]) -> None:
        """A module saved or deleted in the IDE: written to the workbook's file and sent to its
        kernel at once; the IDE hears of it once both are done (without a kernel, once the
        file holds it)."""
        kind, workbook_id = message["type"], message.get("workbook_id")
        name, code = message.get("module_name"), message.get("code", "")
        workbook = self.workbooks.get(workbook_id)
        problem = None
        if workbook is None:
            problem = f"No workbook {workbook_id!r:.120} is open."
        elif check_module_name(name) is not None:
            problem = f"{kind} needs a module name: {check_module_name(name)}."
        elif kind == "update_module" and not isinstance(code, str):
            problem = f"The code of module {name} is not text."
        elif kind == "update_module" and len(code) > MAX_MODULE_CHARS:
            problem = (f"Module {name} is {len(code):,} characters long; a workbook's modules "
                       f"hold at most {MAX_MODULE_CHARS:,}.")
        frames: List[str] = []
        if problem is None:
            try:
                frames = encode(message)  # what the kernel gets, now or when it connects
            except MessageTooLarge as error:
                problem = str(error)
        if problem is not None:
            await self._refuse(message, problem)
            return
        assert workbook is not None and isinstance(workbook_id, str)
        write = asyncio.ensure_future(workbook.set_module(name, code) if kind == "update_module"
                                      else workbook.delete_module(name))
        request_id = message.get("request_id")
        session = self.kernels.connected(workbook_id)
        if session is None:
            try:
                await write
            except WorkbookFileError as error:
                await self._refuse(message, str(error))
                return
            self._modules_changed(workbook_id, name)
            if isinstance(request_id, str) and request_id:
                answer = "module_updated" if kind == "update_module" else "module_deleted"
                reply = {"type": answer, "workbook_id": workbook_id, "module_name": name,
                         "request_id": request_id}
                if answer == "module_deleted":
                    reply["success"] = True
                await self.ide.send(reply)
            await self._send_module_list(workbook_id)
            return
        if isinstance(request_id, str) and request_id:
            self._writes[(workbook_id, request_id)] = write
        else:
            write.add_done_callback(_log_failed_write)
        self.replies.relayed(workbook_id, message)
        await session.send_frames(frames)
        # After the kernel has the module, and the workbook holds it: the calls its functions'
        # cells make, and its handlers, follow it.
        write.add_done_callback(lambda done: done.cancelled() or done.exception() is not None
                                or self._modules_changed(workbook_id, name))

    def _modules_changed(self, workbook_id: str, name: str) -> None:
        live = self.live_workbook(workbook_id)
        if live is not None:
            live.modules_changed({name})

    async def _send_module_list(self, workbook_id: str) -> None:
        workbook = self.workbooks.get(workbook_id)
        names = sorted(workbook.modules) if workbook is not None else []
        await self.ide.send({"type": "module_list", "workbook_id": workbook_id, "modules": names})

    async def _to_ide(self, workbook_id: str, message: Dict[str, Any]) -> None:
        if await self.packages.from_kernel(workbook_id, message):
            return
        if self._to_sheet(workbook_id, message):
            return
        if message.get("type") in LANGUAGE_ANSWERS:
            self.replies.answered(workbook_id, message)  # the request is answered
            await self.ide.send(message)
            return
        refused = self.replies.refused(workbook_id, message)
        if refused is not None:
            self._writes.pop((workbook_id, refused["request_id"]), None)
            await self.ide.send(refused)
            return
        reply = self.replies.answered(workbook_id, message)
        if reply is not None:
            write = self._writes.pop((workbook_id, reply["request_id"]), None)
            if write is not None:
                try:
                    await write
                except WorkbookFileError as error:
                    reply = refusal(reply, str(error))
            await self.ide.send(reply)
        if message.get("type") in ("module_updated", "module_deleted"):
            # The kernel took the change: the IDE's explorer lists the workbook's modules anew.
            await self._send_module_list(workbook_id)
            return
        shown = for_ide(message)
        if shown is not None:
            await self.ide.send(shown)
        end = self.replies.debug_run_end(workbook_id, message)
        if end is not None:
            await self.ide.send(end)


    def _to_sheet(self, workbook_id: str, message: Dict[str, Any]) -> bool:
        """Takes what a kernel sends for its workbook's sheet: the results of worksheet calls
        (their failures and output still reach the IDE's console), message boxes and the
        switch of events. True when the IDE is not to see the message as it is."""
        kind = message.get("type")
        live = self.live.get(workbook_id)
        if live is None:
            return False
        if kind == "show_message_box":
            shown = live.broadcast({"type": "message_box", "message": str(message.get("message")),
                                    "title": str(message.get("title")),
                                    "msg_type": str(message.get("msg_type"))})
            if not shown:
                self._spawn(self.ide.send({"type": "log_to_console", "color": "#e0a030",
                                           "content": f"{message.get('title')}: "
                                                      f"{message.get('message')} (no page of "
                                                      f"{workbook_id} is open to show it)"}))
            return True
        if kind == "set_enable_events":
            live.events.set_enabled(bool(message.get("enable")))
            return True
        request_id = message.get("request_id")
        if live.streams.owns(request_id):
            if kind == "streaming_function_result":
                live.streams.answered(message)
                return True
            if kind == "error":  # the kernel refused the stream
                live.streams.answered({"request_id": request_id, "done": True,
                                       "error": f"The kernel refused it: "
                                                f"{message.get('message')}"})
                return True
            return False  # its output goes to the console
        if live.events.owns(request_id):
            if kind == "event_execution_result":
                live.events.answered(message)
                return True
            if kind == "error":
                live.events.answered({"status": "error", "request_id": request_id,
                                      "error": f"The kernel refused it: "
                                               f"{message.get('message')}"})
                return True
            return False
        if not live.calls.owns(message.get("request_id")):
            return False
        if live.calls.dropped(message.get("request_id")) or kind == "interrupt_result":
            return True  # the late replies of a call its cells no longer wait for
        if kind == "function_execution_result":
            live.calls.answered(message)
            return True
        if kind == "error":  # the kernel refused the call
            live.calls.answered({"request_id": message.get("request_id"), "status": "error",
                                 "error": f"The kernel refused it: {message.get('message')}"})
            return True
        return kind in ("execution_result", "result_output")


def _depth(value: Any) -> int:
    """How deep lists and objects nest in `value` (counted without recursion)."""
    deepest, pending = 0, [(value, 1)]
    while pending:
        item, level = pending.pop()
        if isinstance(item, dict):
            item = list(item.values())
        if isinstance(item, list):
            deepest = max(deepest, level)
            if level <= MAX_MESSAGE_DEPTH:
                pending.extend((inner, level + 1) for inner in item)
    return deepest


def _log_failed_write(write: "asyncio.Future[None]") -> None:
    if not write.cancelled() and write.exception() is not None:
        logger.warning("A module change was not saved: %s", write.exception())


def _peer(connection: ServerConnection) -> str:
    address = connection.remote_address
    return f"{address[0]}:{address[1]}" if isinstance(address, tuple) else str(address)
