"""WorksheetStreams: the cells a workbook's streaming functions feed.

A generator function decorated with ``@quorvel.function`` is a streaming worksheet function.
The first evaluation of a call starts it in the kernel ("execute_streaming_function") and
gives `BUSY`; each "streaming_function_result" then becomes the call's value in turn. Every
value reaches the engine, in order: a recalculation takes the next value of each stream
(`advance`), and while values wait the workbook recalculates again at once. A call is keyed
by function and arguments, as a plain call is, and is not made again at each recalculation;
it runs until:

* no cell calls it any more (its cells were given new inputs, or now call it with other
  arguments): it is cancelled ("cancel_streaming_function") and forgotten;
* its module changes (it starts again with the new code), the workbook closes or its kernel
  goes away: cancelled, keeping its last value;
* it ends: a finished stream keeps its last value, a failed one shows ``#VALUE!`` with the
  error.

A stream that yields faster than the sheet calculates, `MAX_BACKLOG` values ahead, goes on
from its latest value (the console hears of it once): a cell cannot fall ever further behind.
"""

from __future__ import annotations

import asyncio
import collections
import logging
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Deque, Dict, Iterable, List, Optional, Set

import orjson

from .formula_engine import BUSY, ErrorValue, error_literal
from .worksheet_calls import Key, PythonFunction, _error_line, _result_value, _to_wire

__all__ = ["MAX_BACKLOG", "STREAM_PREFIX", "WorksheetStreams"]

logger = logging.getLogger(__name__)

MAX_BACKLOG = 10_000
STREAM_PREFIX = "stream-"
# Ids of cancelled streams remembered, so that their late values are known and dropped.
MAX_CANCELLED_IDS = 10_000


@dataclass(eq=False)
class _Stream:
    request_id: str
    key: Key
    function: PythonFunction
    args: List[Any]
    waiters: Set[str] = field(default_factory=set)
    value: Any = BUSY
    note: Optional[str] = None
    backlog: Deque[Any] = field(default_factory=collections.deque)
    sent: bool = False
    running: bool = True
    told: bool = False  # of skipped values


class WorksheetStreams:
    """The streams of one workbook's cells (all on the hub's loop)."""

    def __init__(self, workbook_id: str, send: Callable[[Dict[str, Any]], Awaitable[bool]],
                 on_values: Callable[[], None], notes: Dict[str, str],
                 tell: Callable[[str], Any] = lambda text: None) -> None:
        self.workbook_id = workbook_id
        self._send = send  # False when no kernel is connected
        self._on_values = on_values  # values wait: the workbook is to recalculate
        self.notes = notes  # the error message of each cell, shared with the plain calls
        self._tell = tell
        self._streams: Dict[Key, _Stream] = {}
        self._by_id: Dict[str, _Stream] = {}
        self._cancelled: Dict[str, None] = {}
        self._waits: Dict[str, Set[Key]] = {}  # the streams each cell calls
        self._called: Dict[str, Set[Key]] = {}  # ...in the evaluation going on
        self._ended: Set[str] = set()  # cells whose stream ended since the last recalculation
        self._count = 0
        self._tasks: Set["asyncio.Future[Any]"] = set()

    @property
    def running(self) -> int:
        return sum(1 for stream in self._streams.values() if stream.running)

    @property
    def backlog(self) -> bool:
        return any(stream.backlog for stream in self._streams.values())

    def owns(self, request_id: Any) -> bool:
        return isinstance(request_id, str) and (request_id in self._by_id
                                                or request_id in self._cancelled)

    # --- what the engine calls ---------------------------------------------------------------

    def call(self, function: PythonFunction, caller: Any, *args: Any) -> Any:
        caller = str(caller)
        for arg in args:
            if isinstance(arg, ErrorValue):
                return arg
        try:
            wire = [_to_wire(arg) for arg in args]
            key = (function.name, orjson.dumps(wire).decode())
        except (TypeError, ValueError, orjson.JSONEncodeError) as error:
            self.notes[caller] = f"An argument cannot be sent to Python: {error}"
            return ErrorValue("#VALUE!")
        stream = self._streams.get(key)
        if stream is None:
            self._count += 1
            stream = _Stream(f"{STREAM_PREFIX}{self._count}", key, function, wire)
            self._streams[key] = stream
            self._by_id[stream.request_id] = stream
            self._start(stream)
        stream.waiters.add(caller)
        self._waits.setdefault(caller, set()).add(key)
        self._called.setdefault(caller, set()).add(key)
        if stream.note is None:
            self.notes.pop(caller, None)
        else:
            self.notes[caller] = stream.note
        return stream.value

    def evaluated(self) -> None:
        """An evaluation ended: a cell that called streams then no longer waits for the
        others it called before (it calls them with other arguments now)."""
        called, self._called = self._called, {}
        for caller, keys in called.items():
            for key in self._waits.get(caller, set()) - keys:
                self._detach(caller, key)

    def cells_changed(self, cells: Iterable[str]) -> None:
        """Cells given new inputs: a stream only they called is cancelled."""
        for cell in cells:
            for key in list(self._waits.get(cell, ())):
                self._detach(cell, key)

    def advance(self) -> Set[str]:
        """Gives each stream with values waiting its next one; the cells calling them."""
        cells: Set[str] = set()
        for stream in self._streams.values():
            if not stream.backlog:
                continue
            result = stream.backlog.popleft()
            try:
                stream.value, stream.note = _result_value(result), None
            except (TypeError, ValueError) as error:
                stream.value = error_literal(ErrorValue("#VALUE!"), str(error))
                stream.note = str(error)
            cells |= stream.waiters
        return cells

    def restart_ended(self) -> None:
        """Streams that ended are forgotten: their cells start them again when calculated."""
        for stream in [s for s in self._streams.values() if not s.running]:
            self._forget(stream)

    def forget(self, names: Set[str]) -> None:
        """The streams of these functions are cancelled and forgotten (their code changed)."""
        for stream in [s for s in self._streams.values() if s.function.name in names]:
            self._cancel(stream)
            self._forget(stream)

    # --- the kernel --------------------------------------------------------------------------

    def answered(self, message: Dict[str, Any]) -> None:
        """A "streaming_function_result" of one of our streams."""
        stream = self._by_id.get(message.get("request_id"))  # type: ignore[arg-type]
        if stream is None or not stream.running:
            return
        if message.get("error") is not None:
            stream.running = False
            stream.backlog.clear()
            stream.note = _error_line(message.get("error"))
            stream.value = error_literal(ErrorValue("#VALUE!"), stream.note)
            self._on_values_now(stream)
            return
        if message.get("done"):
            stream.running = False
            if stream.value is BUSY and not stream.backlog:
                stream.value = ""  # a stream that yielded nothing leaves its cells empty
                self._on_values_now(stream)
            return
        stream.backlog.append(message.get("result"))
        if len(stream.backlog) > MAX_BACKLOG:
            skipped = len(stream.backlog) - 1
            last = stream.backlog.pop()
            stream.backlog.clear()
            stream.backlog.append(last)
            if not stream.told:
                stream.told = True
                self._tell(f"{stream.function.name} streams faster than its cells calculate: "
                           f"{skipped:,} values were skipped, the cells go on from the latest")
        self._on_values()

    def _on_values_now(self, stream: _Stream) -> None:
        for caller in stream.waiters:
            if stream.note is None:
                self.notes.pop(caller, None)
            else:
                self.notes[caller] = stream.note
        self._ended.update(stream.waiters)
        self._on_values()

    def take_changed(self) -> Set[str]:
        """Cells whose stream ended since last asked, and the cells `advance` gives."""
        cells = self.advance() | self._ended
        self._ended = set()
        return cells

    def kernel_connected(self) -> None:
        for stream in self._streams.values():
            if stream.running and not stream.sent:
                self._start(stream)

    def kernel_gone(self) -> None:
        for stream in self._streams.values():
            if stream.running and stream.sent:
                stream.running = False
                if stream.value is BUSY:
                    stream.note = "The kernel went away before the stream gave a value."
                    stream.value = error_literal(ErrorValue("#VALUE!"), stream.note)
                    self._on_values_now(stream)

    def close(self) -> None:
        for stream in list(self._streams.values()):
            self._cancel(stream)
        self._streams.clear()
        self._by_id.clear()

    # --- inside ------------------------------------------------------------------------------

    def _start(self, stream: _Stream) -> None:
        message = {"type": "execute_streaming_function", "request_id": stream.request_id,
                   "module_name": stream.function.module,
                   "function_name": stream.function.function, "args": stream.args,
                   "workbook_id": self.workbook_id, "source": "addin"}
        self._spawn(self._deliver(stream, message))

    async def _deliver(self, stream: _Stream, message: Dict[str, Any]) -> None:
        try:
            stream.sent = await self._send(message)
        except Exception as error:  # too large for the kernel, or the kernel went away
            stream.running = False
            stream.note = f"The stream could not start: {error}"
            stream.value = error_literal(ErrorValue("#VALUE!"), stream.note)
            self._on_values_now(stream)

    def _detach(self, caller: str, key: Key) -> None:
        waits = self._waits.get(caller)
        if waits is not None:
            waits.discard(key)
            if not waits:
                del self._waits[caller]
        stream = self._streams.get(key)
        if stream is None:
            return
        stream.waiters.discard(caller)
        if not stream.waiters:
            self._cancel(stream)
            self._forget(stream)

    def _cancel(self, stream: _Stream) -> None:
        if not (stream.running and stream.sent):
            stream.running = False
            return
        stream.running = False
        self._cancelled[stream.request_id] = None
        if len(self._cancelled) > MAX_CANCELLED_IDS:
            del self._cancelled[next(iter(self._cancelled))]
        self._spawn(self._send({"type": "cancel_streaming_function",
                                "request_id": stream.request_id,
                                "workbook_id": self.workbook_id}))

    def _forget(self, stream: _Stream) -> None:
        self._streams.pop(stream.key, None)
        self._by_id.pop(stream.request_id, None)
        for caller in stream.waiters:
            waits = self._waits.get(caller)
            if waits is not None:
                waits.discard(stream.key)
                if not waits:
                    del self._waits[caller]

    def _spawn(self, coroutine: Any) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._done)

    def _done(self, task: "asyncio.Future[Any]") -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            logger.warning("A stream message of %s could not be sent: %s", self.workbook_id,
                           task.exception())
