"""One kernel's connection as the hub sees it: what it sent, and a way to talk to it.

Frames from the kernel are queued as they arrive. ``receive`` returns whole messages (a run of
"chunk" messages is reassembled into the message it carries, and a "batch" frame gives its
messages one by one, in order); ``receive_frame`` returns raw frames for callers that want to
see the chunks and batches themselves. When the session has a
``workbook`` (a ``SheetRequests``: the workbook's file, or a simulated one), the kernel's
"sys_request" messages are answered from it (as the add-in would answer them) instead of being
queued; each is answered by a task of its own, so that a workbook whose cells are still loading
does not hold up the kernel's other messages. Frames that are not JSON objects, and broken chunks,
are still queued for ``receive_frame`` but not relayed (see ``frames``): the session goes on.
"""

from __future__ import annotations

import asyncio
import collections
import json
import logging
import uuid
from typing import Any, Awaitable, Callable, Dict, List, Optional

from websockets.asyncio.server import ServerConnection
from websockets.exceptions import ConnectionClosed

from .frames import ChunkBuffers, frame_text, parse_message
from .sheet_requests import SheetRequests

logger = logging.getLogger(__name__)

DEFAULT_TIMEOUT = 10.0
# What a kernel reads (python_server.kernel's MAX_MESSAGE_SIZE, CHUNK_SIZE and
# MAX_CHUNKED_MESSAGE_SIZE, in characters): a longer message goes in chunks of CHUNK_CHARS, and
# none longer than KERNEL_CHUNKED_CHARS is sent at all.
KERNEL_MESSAGE_CHARS = 1024 * 1024
CHUNK_CHARS = 64 * 1024
KERNEL_CHUNKED_CHARS = 16 * 1024 * 1024


class MessageTooLarge(ValueError):
    """A message the kernel would refuse for its length; the text says so."""


class KernelSession:
    """The hub's side of one workbook kernel's connection."""

    def __init__(self, workbook_id: str, workbook: Optional[SheetRequests] = None,
                 listener: Optional[Callable[[Dict[str, Any]], Awaitable[None]]] = None,
                 keep_frames: bool = True) -> None:
        self.workbook_id = workbook_id
        self.workbook = workbook
        # Called with every whole message the kernel sends (the hub relays them to the IDE).
        self.listener = listener
        # Frames are kept for receive() unless nobody reads them (a hub run on its own).
        self.keep_frames = keep_frames
        peer = f"Kernel {workbook_id}"
        self._relay_partial = ChunkBuffers(peer)
        self.connection: Optional[ServerConnection] = None
        self.connected = asyncio.Event()
        self.closed = asyncio.Event()
        self._frames: "collections.deque[str]" = collections.deque()
        self._waiting: List["asyncio.Future[None]"] = []  # readers of an empty queue
        self._partial = ChunkBuffers(peer)
        self._unpacked: "collections.deque[Dict[str, Any]]" = collections.deque()
        # Cleared while a test holds the kernel's output back, as a hub that stopped reading.
        self._reading = asyncio.Event()
        self._reading.set()
        self._answering: "set[asyncio.Task[None]]" = set()

    # --- the hub's side of the socket -----------------------------------------------------

    async def serve(self, connection: ServerConnection) -> None:
        """Reads the kernel's frames until it disconnects (run by the hub per connection)."""
        self.connection = connection
        self.closed.clear()
        self.connected.set()
        try:
            async for frame in connection:
                await self._reading.wait()
                text = frame_text(frame, f"Kernel {self.workbook_id}")
                if text is None:
                    continue
                if self.workbook is not None and '"sys_request"' in text:
                    text = await self._answer_requests(text)
                    if text is None:
                        continue
                if self.listener is not None:
                    await self._relay(text)
                if self.keep_frames:
                    self._frames.append(text)
                    self._wake_readers()
        except ConnectionClosed:
            pass  # a kernel that dies without a close frame: the session just ends
        finally:
            self.connected.clear()
            self.closed.set()

    def _add_chunk(self, chunk: Dict[str, Any]) -> Optional[Dict[str, Any]]:
        """The message this chunk completes, for readers of raw frames; else None."""
        return self._partial.add(chunk)

    def pause_reading(self) -> None:
        """Stops taking frames from the kernel, as a hub that no longer reads."""
        self._reading.clear()

    def resume_reading(self) -> None:
        self._reading.set()

    # --- talking to the kernel ------------------------------------------------------------

    async def send(self, message: Dict[str, Any]) -> None:
        """Sends a message (see `encode`)."""
        await self.send_frames(encode(message))

    async def send_frames(self, frames: List[str]) -> None:
        for frame in frames:
            await self.send_raw(frame)

    async def send_raw(self, frame: str) -> None:
        if self.connection is None:
            raise RuntimeError(f"kernel {self.workbook_id!r} is not connected")
        await self.connection.send(frame)

    async def receive_frame(self, timeout: float = DEFAULT_TIMEOUT) -> str:
        """The next raw frame the kernel sent; asyncio.TimeoutError after `timeout` seconds.

        A reader waits on a future of its own, woken when a frame arrives: wait_for's task
        around a queue would add three turns of the loop to every round trip timed here.
        """
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while not self._frames:
            arrived = loop.create_future()
            timer = loop.call_at(deadline, _time_out, arrived)
            self._waiting.append(arrived)
            try:
                await arrived
            finally:
                timer.cancel()
                if arrived in self._waiting:
                    self._waiting.remove(arrived)
        return self._frames.popleft()

    def _wake_readers(self) -> None:
        waiting, self._waiting = self._waiting, []
        for arrived in waiting:
            if not arrived.done():
                arrived.set_result(None)

    async def receive(self, timeout: float = DEFAULT_TIMEOUT) -> Dict[str, Any]:
        """The next whole message the kernel sent (chunk runs reassembled, batches opened)."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while not self._unpacked:
            message = json.loads(await self.receive_frame(max(0.0, deadline - loop.time())))
            if message.get("type") == "chunk":
                message = self._partial.add(message)
            if message is not None:
                self._unpacked.extend(unpacked(message))
        return self._unpacked.popleft()

    async def expect(self, message_type: str, timeout: float = DEFAULT_TIMEOUT) -> Dict[str, Any]:
        """The next message, which must be of `message_type` (anything else is an error)."""
        message = await self.receive(timeout)
        if message.get("type") != message_type:
            raise AssertionError(f"expected {message_type!r} from the kernel, got {message!r}")
        return message

    def pending(self) -> int:
        """How many frames arrived and were not read yet."""
        return len(self._frames)

    async def _answer_requests(self, text: str) -> Optional[str]:
        """Answers the "sys_request" messages a frame carries; the frame without them, or None."""
        message = parse_message(text, f"Kernel {self.workbook_id}")
        if message is None:
            return text
        messages = unpacked(message)
        rest = [m for m in messages if m.get("type") != "sys_request"]
        for message in messages:
            if message.get("type") == "sys_request":
                task = asyncio.ensure_future(self._answer(message.get("payload") or {}))
                self._answering.add(task)
                task.add_done_callback(self._answering.discard)
        if len(rest) == len(messages):
            return text
        if not rest:
            return None
        return json.dumps(rest[0] if len(rest) == 1 else {"type": "batch", "messages": rest})

    async def _answer(self, payload: Any) -> None:
        if not isinstance(payload, dict):
            logger.warning("Kernel %s sent a sys_request without a payload object; dropped",
                           self.workbook_id)
            return
        request = {k: v for k, v in payload.items() if k not in ("requestId", "kind")}
        answer = await self.workbook.answer_request(request)  # type: ignore[union-attr]
        try:
            await self.send({"type": "sys_response",
                             "payload": {"requestId": payload.get("requestId"), **answer}})
        except (ConnectionClosed, RuntimeError):
            pass  # the kernel went away before its answer; nobody waits for it

    async def _relay(self, text: str) -> None:
        """Hands the messages in `text` to the listener; what cannot be relayed is dropped."""
        message = parse_message(text, f"Kernel {self.workbook_id}")
        if message is not None and message.get("type") == "chunk":
            message = self._relay_partial.add(message)
        for whole in unpacked(message) if message is not None else ():
            if not isinstance(whole.get("type"), str):
                logger.warning("Kernel %s sent a message whose type is not text; not relayed",
                               self.workbook_id)
                continue
            try:
                await self.listener(whole)  # type: ignore[misc]
            except ConnectionClosed:
                raise
            except Exception:
                logger.exception("Relaying a %.80r message of kernel %s failed",
                                 whole.get("type"), self.workbook_id)


def encode(message: Dict[str, Any]) -> List[str]:
    """The frames that carry `message` to a kernel: itself, or, when it is longer than a kernel
    reads in one frame, "chunk" messages that the kernel puts together again. MessageTooLarge
    when it is longer than a kernel would put together."""
    text = json.dumps(message)
    if len(text) <= KERNEL_MESSAGE_CHARS:
        return [text]
    if len(text) > KERNEL_CHUNKED_CHARS:
        raise MessageTooLarge(f"The message is {len(text):,} characters long; a kernel takes at "
                              f"most {KERNEL_CHUNKED_CHARS:,}.")
    chunk_id = uuid.uuid4().hex
    total = -(-len(text) // CHUNK_CHARS)
    return [json.dumps({"type": "chunk", "chunk_id": chunk_id, "chunk_index": index,
                        "total_chunks": total,
                        "data": text[index * CHUNK_CHARS:(index + 1) * CHUNK_CHARS]})
            for index in range(total)]


def _time_out(arrived: "asyncio.Future[None]") -> None:
    if not arrived.done():
        arrived.set_exception(asyncio.TimeoutError())


def unpacked(message: Dict[str, Any]) -> List[Dict[str, Any]]:
    """The messages one frame carries: a "batch" gives its messages in order (a batch inside a
    batch is opened too); anything else is itself."""
    found: List[Dict[str, Any]] = []
    pending = [message]
    while pending:
        current = pending.pop()
        if current.get("type") != "batch":
            found.append(current)
            continue
        inner = current.get("messages")
        if isinstance(inner, list):
            pending.extend(m for m in reversed(inner) if isinstance(m, dict))
    return found
