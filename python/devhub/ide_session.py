"""The IDE's connection as the development hub sees it, and the relay between IDE and kernels.

What the hub does with the IDE (the real hub's routing is its own; this is a small, honest
stand-in for running the system on one machine):

* When the IDE connects it gets a "workbook_list" of the open workbooks with their modules;
  each kernel that connects later is announced as "workbook_connected" (a kernel that leaves
  leaves its workbook open; the IDE follows kernel states through "watch_workbooks").
* A message from the IDE that names a connected workbook (`workbook_id`) goes to that kernel as
  it is. "update_module" and "delete_module" also update the hub's copy of the modules. The
  IDE's requests and the hub's answers are listed in ``ide_protocol``.
* When a kernel has taken a module update or deletion, the IDE gets the workbook's
  "module_list" from the hub's copy.
* From the kernels, the IDE gets the console's messages ("stdout", "stderr", "result_output",
  "execution_result", the debug and object-registry messages). A kernel's "execution_error"
  reaches the IDE as an "execution_result" with `success` false and the traceback text as
  `error`, which is what the IDE shows for a failure.
"""

from __future__ import annotations

import asyncio
import collections
import json
import logging
from typing import Any, Callable, Dict, Optional

from websockets.asyncio.server import ServerConnection
from websockets.exceptions import ConnectionClosed

from .frames import frame_text, parse_message, salvage_request
from .ide_protocol import IDE_REPLACED_CODE, IDE_REPLACED_REASON, refusal

# Most bytes waiting to go to one client; a client that lets more wait is closed with this code
# and reason (the kernels it was sent output of go on).
MAX_OUTBOX_BYTES = 64 * 1024 * 1024
OUTBOX_FULL_CODE = 1008
OUTBOX_FULL_REASON = "Messages to this client waited too long: it did not read them"
# Requests whose asker is remembered (their replies go to it only).
MAX_TRACKED_REQUESTS = 10_000

logger = logging.getLogger(__name__)

# Kernel messages the IDE shows as they are.
FORWARDED_TO_IDE = {
    "stdout", "stderr", "result_output", "execution_result", "debug_paused", "debug_exception",
    "debug_resumed", "debug_terminated", "debug_evaluate_result", "object_registry_update",
    "object_registry_response", "interrupt_result",
}


def error_text(error: Any) -> str:
    """The text the IDE shows for an error object (or an error already given as text)."""
    if isinstance(error, dict):
        return error.get("traceback") or f"{error.get('type', 'Error')}: {error.get('message', '')}"
    return str(error) if error is not None else "Unknown error"


def for_ide(message: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    """The message the IDE gets for a kernel's message, or None when the IDE does not show it."""
    kind = message.get("type")
    if kind in FORWARDED_TO_IDE:
        return message
    if kind == "execution_error":
        return {"type": "execution_result", "success": False,
                "error": error_text(message.get("error")),
                "function_name": message.get("function_name") or "",
                "request_id": message.get("request_id"), "source": message.get("source", "ide"),
                "workbook_id": message.get("workbook_id")}
    return None


class Outbox:
    """What waits to go to one client, sent by a task of its own: whoever sends to the client
    (the relay of a kernel's output, above all) never waits for it. A client that lets more than
    `limit` bytes wait is closed with the reason, and what waited is dropped."""

    def __init__(self, connection: ServerConnection, peer: str,
                 limit: Optional[int] = None) -> None:
        self.connection = connection
        self.peer = peer
        self.limit = MAX_OUTBOX_BYTES if limit is None else limit
        self.queued = 0  # bytes (characters) waiting
        self._frames: "collections.deque[str]" = collections.deque()
        self._ready = asyncio.Event()
        self._closed = False
        self._writer = asyncio.ensure_future(self._write())

    def put(self, frame: str) -> None:
        if self._closed:
            return
        self.queued += len(frame)
        if self.queued > self.limit:
            self._give_up()
            return
        self._frames.append(frame)
        self._ready.set()

    def _give_up(self) -> None:
        logger.warning("%s did not read its messages (more than %d MiB waited); it is closed",
                       self.peer, self.limit >> 20)
        self._closed = True
        self._frames.clear()
        self._writer.cancel()
        self._start_close(OUTBOX_FULL_CODE, OUTBOX_FULL_REASON)

    def _start_close(self, code: int, reason: str) -> None:
        # The closing handshake waits for a client that does not read: no one waits for it.
        task = asyncio.ensure_future(self.connection.close(code, reason))
        _CLOSING.add(task)
        task.add_done_callback(_CLOSING.discard)

    async def _write(self) -> None:
        try:
            while True:
                await self._ready.wait()
                while self._frames:
                    frame = self._frames.popleft()
                    await self.connection.send(frame)
                    self.queued -= len(frame)
                self._ready.clear()
        except ConnectionClosed:
            self._closed = True
            self._frames.clear()

    def stop(self) -> None:
        """Stops sending (the connection is gone, or is being closed)."""
        self._closed = True
        self._frames.clear()
        self._writer.cancel()

    def close(self, code: int = 1000, reason: str = "") -> None:
        """Stops sending; the connection is closed with `code` and `reason`."""
        self.stop()
        self._start_close(code, reason)


class IdeSession:
    """The hub's side of the IDE's connection: one IDE at a time, as at /ws/ide/main_ide. An
    IDE that connects takes the place of the one before, which is closed with
    `IDE_REPLACED_CODE` and told why (see ``ide_protocol``); replies to what the earlier one
    asked go nowhere. Messages go out through an `Outbox`."""

    def __init__(self, route_to_kernel: Callable[[Dict[str, Any]], Any]) -> None:
        self.connection: Optional[ServerConnection] = None
        self._outbox: Optional[Outbox] = None
        self._route_to_kernel = route_to_kernel
        # Which connection asked each recent request: its replies go to that one only.
        self._askers: "collections.OrderedDict[str, ServerConnection]" = collections.OrderedDict()

    @property
    def connected(self) -> bool:
        return self.connection is not None

    async def serve(self, connection: ServerConnection, *greeting: Dict[str, Any]) -> None:
        previous, self.connection = self._outbox, connection
        self._outbox = Outbox(connection, "The IDE")
        if previous is not None:
            logger.warning("Another IDE connected; the IDE connected before is closed")
            previous.close(IDE_REPLACED_CODE, IDE_REPLACED_REASON)
        try:
            for message in greeting:
                await self.send(message)
            async for frame in connection:
                if self.connection is not connection:
                    break  # replaced: what it still sends is not the IDE's any more
                text = frame_text(frame, "IDE")
                message = parse_message(text, "IDE") if text is not None else None
                if message is None:
                    await self._answer_unreadable(text)
                    continue
                if not isinstance(message.get("type"), str):
                    logger.warning("IDE sent a message whose type is not text; dropped")
                    continue
                self._asked(message.get("request_id"), connection)
                # Sends to the IDE absorb its connection's end; anything raised here comes from a
                # kernel's connection or the hub's own handling, and must not end this session.
                try:
                    await self._route_to_kernel(message)
                except Exception:
                    logger.exception("Routing the IDE's %.80r message failed", message["type"])
        except ConnectionClosed:
            pass
        finally:
            if self.connection is connection:
                self.connection = None
                if self._outbox is not None:
                    self._outbox.close()
                    self._outbox = None

    async def _answer_unreadable(self, text: Optional[str]) -> None:
        """A request the hub cannot read (broken JSON, or nested deeper than the parser goes) is
        still answered, if its text names its id."""
        request = salvage_request(text) if text else None
        if request is not None:
            await self.send(refusal(request, "The message could not be read: it is not JSON, "
                                             "or nested deeper than the hub reads."))

    def _asked(self, request_id: Any, connection: ServerConnection) -> None:
        if not isinstance(request_id, str):
            return
        self._askers[request_id] = connection
        self._askers.move_to_end(request_id)
        while len(self._askers) > MAX_TRACKED_REQUESTS:
            self._askers.popitem(last=False)

    async def send(self, message: Dict[str, Any]) -> None:
        """Queues a message for the IDE (at once: nothing waits for the IDE to read it). A
        reply to a request of an IDE that has since been replaced is dropped."""
        outbox = self._outbox
        if outbox is None:
            return
        request_id = message.get("request_id")
        asker = self._askers.get(request_id) if isinstance(request_id, str) else None
        if asker is not None and asker is not outbox.connection:
            logger.debug("Dropped a %s for a request of an IDE that is gone", message.get("type"))
            return
        outbox.put(json.dumps(message))


_CLOSING: "set[asyncio.Task[None]]" = set()
