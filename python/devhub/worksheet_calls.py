"""WorksheetCalls: a workbook's Python functions as worksheet functions, called in its kernel.

A function of a workbook module decorated with ``@quorvel.function`` is found in the module's
source (nothing runs in the hub) and becomes a worksheet function of its name. The engine
calls it synchronously while it evaluates; the real call goes to the kernel as
"custom_function_call" and takes its time, so:

* The first evaluation of a call starts it and gives `BUSY`; the cells waiting on it are
  remembered, and when "function_execution_result" arrives the value is kept and those cells
  are handed to `on_results`, which evaluates them again: now the call gives the value.
* Calls are keyed by function and arguments: the same call made by many cells, or many times
  in one recalculation, goes to the kernel once. `new_round` (a recalculation a person or user
  code started) forgets the values, so a function is called again each recalculation that
  reaches it (a volatile function: each recalculation).
* The engine cannot say which cell it is evaluating, so every call in a formula is given the
  calling cell's address as a first argument the person never sees (`calling_formula`).
* A call whose cells all got new inputs before it returned is interrupted in the kernel
  ("interrupt_execution") and forgotten: its late result is dropped.
* Every call ends: with its value, with `#VALUE!` and the error's message (a failure, a result
  that is no cell value, one larger than `MAX_SPILL_CELLS`, a kernel that went away, no answer
  within the time-out). Calls made while no kernel is connected wait for one.
"""

from __future__ import annotations

import asyncio
import datetime
import logging
import math
import re
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Dict, Iterable, List, Optional, Set, Tuple

import formualizer
import orjson

from python_server.quorvel.worksheet_functions import find_functions, module_functions

from .formula_engine import BUSY, ErrorValue, error_literal

__all__ = ["CALL_TIMEOUT", "MAX_SPILL_CELLS", "PythonFunction", "WorksheetCalls",
           "calling_formula", "functions_of"]

logger = logging.getLogger(__name__)

# Seconds a call may take before its cells show #VALUE! (the kernel's work goes on).
CALL_TIMEOUT = 60.0
# Most cells one result may fill.
MAX_SPILL_CELLS = 100_000
# Ids of interrupted calls remembered, so that their late replies are known and dropped.
MAX_DROPPED_IDS = 10_000
REQUEST_PREFIX = "sheet-"

Key = Tuple[str, str]  # function name, its arguments as JSON


@dataclass(frozen=True)
class PythonFunction:
    name: str  # upper case, as formulas call it
    module: str
    function: str
    description: str = ""
    volatile: bool = False
    min_args: int = 0
    max_args: Optional[int] = None
    streaming: bool = False  # a generator: its cells take each value it yields
    parameters: Tuple[str, ...] = ()
    origin: str = "decorator"  # or "published": by hand, from the IDE

    def state(self) -> Dict[str, Any]:
        """The function as "published_functions_state" lists it."""
        return {"name": self.name, "module_name": self.module, "function_name": self.function,
                "parameters": list(self.parameters), "description": self.description,
                "streaming": self.streaming, "volatile": self.volatile, "origin": self.origin}


def functions_of(modules: Dict[str, str],
                 published: Iterable[Dict[str, Any]] = ()) -> Dict[str, PythonFunction]:
    """The worksheet functions a workbook's modules define, and those published by hand
    (`published`: {"name", "module_name", "function_name", "description"}, left out while
    their function is not in its module). A name defined twice: the module first in
    alphabetical order keeps it, a decorated function before a published one."""
    found: Dict[str, PythonFunction] = {}
    for module in sorted(modules):
        for entry in find_functions(modules[module]):
            name = str(entry["name"]).upper()
            if name in found:
                logger.warning("Worksheet function %s of %s is also in %s, which keeps it", name,
                               module, found[name].module)
                continue
            found[name] = PythonFunction(name, module, entry["function"],
                                         entry.get("description") or "",
                                         bool(entry.get("volatile")), int(entry["min_args"]),
                                         entry.get("max_args"), bool(entry["streaming"]),
                                         tuple(entry["parameters"]))
    for entry in published:
        name, module = str(entry.get("name", "")).upper(), str(entry.get("module_name", ""))
        signature = module_functions(modules.get(module, "")).get(
            str(entry.get("function_name", "")))
        if signature is None or name in found:
            continue
        found[name] = PythonFunction(name, module, str(entry["function_name"]),
                                     str(entry.get("description") or ""), False,
                                     signature["min_args"], signature["max_args"],
                                     signature["streaming"], tuple(signature["parameters"]),
                                     "published")
    return found


def calling_formula(formula: str, caller: str, names: Set[str]) -> str:
    """`formula` with the caller's address as first argument of every call of `names`."""
    try:
        tokens = list(formualizer.tokenize(formula))
    except Exception:  # a formula that does not parse is left as it is (it shows #ERROR!)
        return formula
    pieces, done = [], 0
    quoted = "\"" + caller.replace("\"", "\"\"") + "\""  # a formula's text literal
    for index, token in enumerate(tokens):
        text = token.value
        if str(token.token_type) != "Func" or not text.endswith("(") \
                or text[:-1].strip().upper() not in names:
            continue
        following = next((t for t in tokens[index + 1:] if str(t.token_type) != "Whitespace"),
                         None)
        empty = following is not None and str(following.token_type) == "Func" \
            and following.value == ")"
        pieces.append(formula[done:token.end] + quoted + ("" if empty else ","))
        done = token.end
    return "".join(pieces) + formula[done:]


@dataclass
class _Call:
    request_id: str
    key: Key
    function: PythonFunction
    args: List[Any]
    started: float
    waiters: Set[str] = field(default_factory=set)
    sent: bool = False


class WorksheetCalls:
    """The calls of one workbook's worksheet functions (all on the hub's loop)."""

    def __init__(self, workbook_id: str, send: Callable[[Dict[str, Any]], Awaitable[bool]],
                 on_results: Callable[[Set[str]], None], timeout: float = CALL_TIMEOUT) -> None:
        self.workbook_id = workbook_id
        # Sends a message to the workbook's kernel; False when none is connected.
        self._send = send
        self._on_results = on_results
        self.timeout = timeout
        self._results: Dict[Key, Tuple[Any, Optional[str]]] = {}
        self._pending: Dict[Key, _Call] = {}
        self._by_id: Dict[str, _Call] = {}
        self._unsent: List[_Call] = []
        self._waits: Dict[str, Set[Key]] = {}  # the pending calls each cell waits for
        self._dropped: Dict[str, None] = {}  # calls interrupted, oldest first
        self._count = 0
        self._sending: Optional["asyncio.Task[None]"] = None
        self._timer: Optional[asyncio.TimerHandle] = None
        # The error message of each cell whose call failed, by its address.
        self.notes: Dict[str, str] = {}

    @property
    def pending(self) -> int:
        return len(self._pending)

    def owns(self, request_id: Any) -> bool:
        """Whether a kernel's message with this id is about one of our calls (one that runs,
        or one interrupted whose late replies are dropped)."""
        return isinstance(request_id, str) and (request_id in self._by_id
                                                or request_id in self._dropped)

    def dropped(self, request_id: Any) -> bool:
        """Whether this is the id of a call interrupted because its cells changed."""
        return isinstance(request_id, str) and request_id in self._dropped

    def cells_changed(self, cells: Iterable[str]) -> None:
        """Cells given new inputs: a call that only they waited for is interrupted."""
        for cell in cells:
            for key in self._waits.pop(cell, ()):
                call = self._pending.get(key)
                if call is None:
                    continue
                call.waiters.discard(cell)
                if not call.waiters:
                    self._drop(call)

    def _drop(self, call: _Call) -> None:
        self._pending.pop(call.key, None)
        self._by_id.pop(call.request_id, None)
        if call in self._unsent:
            self._unsent.remove(call)
        if not call.sent:
            return
        self._dropped[call.request_id] = None
        if len(self._dropped) > MAX_DROPPED_IDS:
            del self._dropped[next(iter(self._dropped))]
        message = {"type": "interrupt_execution", "request_id": call.request_id,
                   "workbook_id": self.workbook_id}
        task = asyncio.ensure_future(self._send(message))
        task.add_done_callback(_quiet)

    def new_round(self) -> None:
        self._results.clear()

    # --- what the engine calls ---------------------------------------------------------------

    def call(self, function: PythonFunction, caller: Any, *args: Any) -> Any:
        """The value of a call for the engine: a value, an error, or `BUSY` while it runs."""
        caller = str(caller)
        for arg in args:
            if isinstance(arg, ErrorValue):  # an error argument is the call's value
                return arg
        try:
            wire = [_to_wire(arg) for arg in args]
            key = (function.name, orjson.dumps(wire).decode())
        except (TypeError, ValueError, orjson.JSONEncodeError) as error:
            self.notes[caller] = f"An argument cannot be sent to Python: {error}"
            return ErrorValue("#VALUE!")
        done = self._results.get(key)
        if done is not None:
            value, note = done
            if note is None:
                self.notes.pop(caller, None)
            else:
                self.notes[caller] = note
            return value
        self.notes.pop(caller, None)
        pending = self._pending.get(key)
        if pending is not None:
            pending.waiters.add(caller)
            self._waits.setdefault(caller, set()).add(key)
            return BUSY
        self._count += 1
        call = _Call(f"{REQUEST_PREFIX}{self._count}", key, function, wire,
                     asyncio.get_running_loop().time(), {caller})
        self._pending[key] = call
        self._by_id[call.request_id] = call
        self._waits.setdefault(caller, set()).add(key)
        self._unsent.append(call)
        self._send_soon()
        return BUSY

    # --- the kernel --------------------------------------------------------------------------

    def kernel_connected(self) -> None:
        for call in self._pending.values():
            if not call.sent and call not in self._unsent:
                self._unsent.append(call)
        self._send_soon()

    def kernel_gone(self) -> None:
        for call in [c for c in self._pending.values() if c.sent]:
            self._finish(call, ErrorValue("#VALUE!"),
                         "The kernel went away before the function returned.")

    def answered(self, message: Dict[str, Any]) -> None:
        """A "function_execution_result" of one of our calls (of an interrupted one: dropped)."""
        call = self._by_id.get(message.get("request_id"))  # type: ignore[arg-type]
        if call is None:
            return
        if message.get("status") == "success":
            try:
                value = _result_value(message.get("result"))
            except (TypeError, ValueError) as error:
                self._finish(call, ErrorValue("#VALUE!"), str(error))
                return
            self._finish(call, value, None)
            return
        self._finish(call, ErrorValue("#VALUE!"), _error_line(message.get("error")))

    def _finish(self, call: _Call, value: Any, note: Optional[str]) -> None:
        self._pending.pop(call.key, None)
        self._by_id.pop(call.request_id, None)
        if call in self._unsent:
            self._unsent.remove(call)
        engine_value = error_literal(value, note) if isinstance(value, ErrorValue) else value
        self._results[call.key] = (engine_value, note)
        for cell in call.waiters:
            waits = self._waits.get(cell)
            if waits is not None:
                waits.discard(call.key)
                if not waits:
                    del self._waits[cell]
            if note is None:
                self.notes.pop(cell, None)
            else:
                self.notes[cell] = note
        self._on_results(call.waiters)

    def _send_soon(self) -> None:
        if self._sending is None or self._sending.done():
            self._sending = asyncio.ensure_future(self._send_all())
        if self._timer is None:
            loop = asyncio.get_running_loop()
            self._timer = loop.call_later(min(1.0, self.timeout), self._check_time)

    async def _send_all(self) -> None:
        while self._unsent:
            call = self._unsent[0]
            message = {"type": "custom_function_call", "module_name": call.function.module,
                       "function_name": call.function.function, "args": call.args,
                       "request_id": call.request_id, "workbook_id": self.workbook_id,
                       "source": "addin"}
            try:
                delivered = await self._send(message)
            except ValueError as error:  # too large for the kernel to take
                self._finish(call, ErrorValue("#VALUE!"), str(error))
                continue
            except Exception as error:
                logger.warning("A worksheet call of %s could not be sent: %s", self.workbook_id,
                               error)
                delivered = False
            if not delivered:
                return  # sent when a kernel connects
            call.sent = True
            if self._unsent and self._unsent[0] is call:
                self._unsent.pop(0)

    def _check_time(self) -> None:
        self._timer = None
        if not self._pending:
            return
        now = asyncio.get_running_loop().time()
        for call in [c for c in self._pending.values() if now - c.started > self.timeout]:
            if call.sent:
                self._finish(call, ErrorValue("#VALUE!"),
                             f"The function did not return within {self.timeout:g} s.")
        if self._pending:
            self._timer = asyncio.get_running_loop().call_later(min(1.0, self.timeout),
                                                                self._check_time)

    def close(self) -> None:
        if self._timer is not None:
            self._timer.cancel()
        if self._sending is not None:
            self._sending.cancel()


def _quiet(task: "asyncio.Future[Any]") -> None:
    if not task.cancelled() and task.exception() is not None:
        logger.warning("An interrupt of a worksheet call could not be sent: %s",
                       task.exception())


def _to_wire(value: Any) -> Any:
    if isinstance(value, list):
        return [_to_wire(item) for item in value]
    if isinstance(value, ErrorValue):
        return {"__type__": "error", "value": value.code}
    if isinstance(value, datetime.datetime):
        return {"__type__": "datetime", "value": value.isoformat()}
    if isinstance(value, datetime.date):
        return {"__type__": "date", "value": value.isoformat()}
    if isinstance(value, (datetime.time, datetime.timedelta)):
        return str(value)
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    raise TypeError(f"a value of type {type(value).__name__}")


def _scalar(value: Any) -> Any:
    if isinstance(value, dict):
        tag, text = value.get("__type__"), value.get("value")
        if tag == "error" and isinstance(text, str):
            return error_literal(ErrorValue(text))
        if tag == "datetime" and isinstance(text, str):
            return datetime.datetime.fromisoformat(text)
        if tag == "date" and isinstance(text, str):
            return datetime.date.fromisoformat(text)
        raise ValueError(f"The function returned a value a cell cannot show: {value!r:.80}")
    if isinstance(value, float) and not math.isfinite(value):
        return error_literal(ErrorValue("#NUM!"))
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    raise TypeError(f"The function returned a value a cell cannot show: {value!r:.80}")


def _result_value(result: Any) -> Any:
    """The engine's value for a wire result: a scalar, or a 2-D list (a list is a column)."""
    if not isinstance(result, list):
        return _scalar(result)
    if not result:
        return error_literal(ErrorValue("#CALC!"), "The function returned an empty list.")
    rows = result if all(isinstance(row, list) for row in result) else [[item] for item in result]
    width = max(len(row) for row in rows)
    if width == 0:
        return error_literal(ErrorValue("#CALC!"), "The function returned empty rows.")
    if len(rows) * width > MAX_SPILL_CELLS:
        raise ValueError(f"The result has {len(rows) * width:,} cells; a formula fills at most "
                         f"{MAX_SPILL_CELLS:,}.")
    # Missing values (None, and the ends of short rows) are empty cells, not zeros.
    return [[("" if item is None else _scalar(item)) for item in row] + [""] * (width - len(row))
            for row in rows]


def _error_line(error: Any) -> str:
    """The line of a failure a cell shows: the exception and its message."""
    if isinstance(error, dict):
        return f"{error.get('type', 'Error')}: {error.get('message', '')}"
    lines = [line for line in str(error or "Unknown error").strip().splitlines() if line.strip()]
    return lines[-1].strip() if lines else "Unknown error"


_CALL_NAME = re.compile(r"([A-Za-z_][A-Za-z0-9_.]*)\s*\(")


def called_names(formula: str) -> Set[str]:
    """The names a formula calls (upper case; a quick look, not a parse)."""
    return {name.upper() for name in _CALL_NAME.findall(formula)}
