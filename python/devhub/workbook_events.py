"""WorkbookEvents: a workbook's event handlers, and the runs of them its events start.

A handler is a module function bound to an event of the workbook or of one of its sheets: by
``@quorvel.on`` in its module (found in the source, as worksheet functions are), or bound in
the IDE's Events panel (kept in the workbook's file as the setting `HANDLERS_SETTING`).

* **One at a time, in order.** Events raised go to a queue; the workbook's handlers run one
  after another as "event_execution" in its kernel, each awaited to its
  "event_execution_result". While no kernel is connected the queue waits for one. A handler
  that runs `SLOW_HANDLER_SECONDS` is told of in the console; the events after it wait (the
  IDE can interrupt it by the id the state gives).
* **No loops.** While a handler runs, what it writes raises no event of the kind that runs it:
  a Change handler writing cells does not call itself again. ``quorvel.set_enable_events``
  switches every event off and on.
* **Bounded.** At most `MAX_QUEUED_EVENTS` wait; a Calculate or SelectionChange already
  waiting is not queued twice (the later selection replaces the earlier).
* **Bindings checked.** A binding names a real object, an event it raises, and a function of
  a module that takes the event's arguments; a bound function whose module or function goes
  away is unbound, and the console is told.

All methods run on the hub's loop.
"""

from __future__ import annotations

import asyncio
import collections
import logging
from dataclasses import dataclass
from typing import Any, Awaitable, Callable, Deque, Dict, List, Optional, Set, Tuple

from python_server.quorvel.workbook_events import (EVENT_ARGUMENTS, ONTIME, SHEET_EVENTS,
                                                   WORKBOOK, WORKBOOK_EVENTS, arity_problem,
                                                   find_handlers)
from python_server.quorvel.worksheet_functions import module_functions

from .ide_protocol import SLOW_HANDLER_SECONDS
from .workbook_file import WorkbookFile
from .worksheet_calls import _error_line

__all__ = ["EVENT_PREFIX", "HANDLERS_SETTING", "MAX_HANDLERS", "MAX_QUEUED_EVENTS", "Handler",
           "WorkbookEvents"]

logger = logging.getLogger(__name__)

HANDLERS_SETTING = "event_handlers"
EVENT_PREFIX = "event-"
MAX_QUEUED_EVENTS = 1_000
MAX_HANDLERS = 1_000  # bound in the IDE, per workbook
WARNING_COLOUR = "#e0a030"
ERROR_COLOUR = "#ff6b6b"
# Least time between two "event_manager_state" messages while handlers come and go.
STATE_INTERVAL = 0.2
_COALESCED = ("Calculate", "SelectionChange")

Send = Callable[[Dict[str, Any]], Awaitable[Any]]
Outcome = Callable[[Optional[str]], None]  # None: success; else the error's line


@dataclass(frozen=True)
class Handler:
    object_id: str
    event_name: str
    module_name: str
    function_name: str
    origin: str = "bound"  # or "decorator"

    def binding(self) -> Dict[str, str]:
        return {"object_id": self.object_id, "event_name": self.event_name,
                "module_name": self.module_name, "function_name": self.function_name}

    def state(self) -> Dict[str, str]:
        return {**self.binding(), "origin": self.origin}

    def title(self) -> str:
        return (f"{self.object_id}.{self.event_name} "
                f"({self.module_name}.{self.function_name})")


@dataclass(eq=False)
class _Run:
    handler: Handler
    args: List[Any]
    outcome: Optional[Outcome] = None
    request_id: str = ""
    started: float = 0.0


class WorkbookEvents:
    def __init__(self, workbook_id: str, file: WorkbookFile, send: Send, to_ide: Send,
                 sheet_names: Callable[[], List[str]],
                 slow: Callable[[str], Any] = lambda text: None) -> None:
        self.workbook_id = workbook_id
        self.file = file
        self._send = send  # to the kernel: False when none is connected
        self._to_ide = to_ide
        self._sheet_names = sheet_names
        self._slow = slow  # told of a slow handler ("" once it ended), for the pages
        self.enabled = True
        self.handlers: List[Handler] = []
        self.problems: List[str] = []
        self._queue: Deque[_Run] = collections.deque()
        self.running: Optional[_Run] = None
        self._answers: Dict[str, "asyncio.Future[Dict[str, Any]]"] = {}
        self._kernel = asyncio.Event()
        self._worker: Optional["asyncio.Task[None]"] = None
        self._count = 0
        self._told_full = False
        self._state_due: Optional[asyncio.TimerHandle] = None
        self._last_state = 0.0
        self._tasks: Set["asyncio.Future[Any]"] = set()
        self._closed = False

    # --- bindings ----------------------------------------------------------------------------

    def bound(self) -> List[Dict[str, Any]]:
        """The bindings made in the IDE, as the file keeps them."""
        entries = self.file.settings.get(HANDLERS_SETTING)
        return [e for e in entries if isinstance(e, dict)] if isinstance(entries, list) else []

    def refresh(self) -> None:
        """Finds the handlers again (the modules or the bindings changed). A bound function
        that is gone is unbound, and the console told."""
        handlers: List[Handler] = []
        for module in sorted(self.file.modules):
            for found in find_handlers(self.file.modules[module]):
                handlers.append(Handler(found["object_id"], found["event_name"], module,
                                        found["function"], "decorator"))
        kept, gone = [], []
        for entry in self.bound():
            handler = _handler_of(entry)
            problem = None if handler is None else self.problem(handler)
            if handler is None or problem is not None:
                gone.append((entry, problem or "not a binding"))
                continue
            kept.append(entry)
            if handler not in handlers and \
                    Handler(**{**handler.binding(), "origin": "decorator"}) not in handlers:
                handlers.append(handler)
        self.handlers = handlers
        self.problems = []
        if gone and not self.file.read_only:
            for entry, problem in gone:
                text = (f"Handler {entry.get('object_id')}.{entry.get('event_name')} "
                        f"({entry.get('module_name')}.{entry.get('function_name')}) of "
                        f"{self.workbook_id} was unbound: {problem}")
                self.problems.append(text)
                self._spawn(self._to_ide({"type": "log_to_console", "color": WARNING_COLOUR,
                                          "content": text}))
            self._spawn(self.file.set_setting(HANDLERS_SETTING, kept))
        self.state_changed(at_once=True)

    def problem(self, handler: Handler) -> Optional[str]:
        """What keeps `handler` from being bound, or None."""
        if handler.object_id == WORKBOOK:
            if handler.event_name not in WORKBOOK_EVENTS:
                return (f"The workbook raises {', '.join(WORKBOOK_EVENTS)}, not "
                        f"{handler.event_name!r:.60}")
        elif handler.object_id in self._sheet_names():
            if handler.event_name not in SHEET_EVENTS:
                return (f"A sheet raises {', '.join(SHEET_EVENTS)}, not "
                        f"{handler.event_name!r:.60}")
        else:
            return f"{self.workbook_id} has no sheet {handler.object_id!r:.80}"
        return function_problem(self.file.modules, handler.module_name, handler.function_name,
                                handler.event_name)

    async def save_bindings(self, entries: Any) -> Tuple[bool, str, List[Dict[str, Any]]]:
        """Takes the IDE's whole list of bindings: the valid ones are kept (in the file, before
        this returns), the others refused. Gives (all taken, a message, one result per
        binding removed or added)."""
        if not isinstance(entries, list):
            return False, "handlers must be a list of bindings", []
        if len(entries) > MAX_HANDLERS:
            return False, f"A workbook binds at most {MAX_HANDLERS:,} handlers", []
        old = [h for h in map(_handler_of, self.bound()) if h is not None]
        results: List[Dict[str, Any]] = []
        taken: List[Handler] = []
        refused = 0
        for entry in entries:
            handler = _handler_of(entry) if isinstance(entry, dict) else None
            if handler is None:
                refused += 1
                results.append(self._result("register_handler_result", entry, False,
                                            "A binding names object_id, event_name, "
                                            "module_name and function_name as texts"))
                continue
            if handler in taken:
                continue
            problem = self.problem(handler)
            if problem is not None:
                refused += 1
                results.append(self._result("register_handler_result", entry, False, problem))
                continue
            taken.append(handler)
            if handler not in old:
                results.append(self._result("register_handler_result", entry, True,
                                            f"{handler.title()} is bound"))
        for handler in old:
            if handler not in taken:
                results.append(self._result("unregister_handler_result", handler.binding(),
                                            True, f"{handler.title()} is unbound"))
        await self.file.set_setting(HANDLERS_SETTING, [h.binding() for h in taken])
        self.refresh()
        if refused:
            return False, (f"{len(taken)} handler(s) saved; {refused} refused (see the "
                           f"console)"), results
        return True, f"{len(taken)} handler(s) saved", results

    def _result(self, kind: str, entry: Any, success: bool, message: str) -> Dict[str, Any]:
        entry = entry if isinstance(entry, dict) else {}
        return {"type": kind, "workbook_id": self.workbook_id,
                "object_id": entry.get("object_id"), "event_name": entry.get("event_name"),
                "success": success, "message": message}

    # --- events ------------------------------------------------------------------------------

    def raise_event(self, object_id: str, event_name: str, argument: Any = None,
                    cause: Optional[Set[str]] = None) -> None:
        """The workbook or a sheet raised an event; its handlers are queued. `cause`: the kinds
        of the handlers whose writes led to it (a handler does not raise its own kind)."""
        if not self.enabled or self._closed:
            return
        if cause and event_name in cause:
            return  # a handler's own writes
        for handler in self.handlers:
            if handler.object_id == object_id and handler.event_name == event_name:
                args = [] if EVENT_ARGUMENTS[event_name] == 0 else [argument]
                self._enqueue(_Run(handler, args))

    def run_timer(self, module_name: str, function_name: str, outcome: Outcome) -> None:
        """Runs a timer's function as the workbook's "OnTime" event, in the queue."""
        handler = Handler(WORKBOOK, ONTIME, module_name, function_name, "timer")
        if not self._enqueue(_Run(handler, [], outcome)):
            outcome("The workbook's events queue is full")

    def _enqueue(self, run: _Run) -> bool:
        if run.handler.event_name in _COALESCED:
            for waiting in self._queue:
                if waiting.handler == run.handler:
                    waiting.args = run.args  # the latest selection; one Calculate is enough
                    return True
        if len(self._queue) >= MAX_QUEUED_EVENTS:
            if not self._told_full:
                self._told_full = True
                self._spawn(self._to_ide({
                    "type": "log_to_console", "color": WARNING_COLOUR,
                    "content": f"{MAX_QUEUED_EVENTS:,} events of {self.workbook_id} wait for "
                               f"its handlers; later ones are dropped until they catch up"}))
            return False
        self._queue.append(run)
        if self._worker is None or self._worker.done():
            self._worker = asyncio.ensure_future(self._work())
        self.state_changed()
        return True

    async def _work(self) -> None:
        while self._queue and not self._closed:
            await self._kernel.wait()
            if not self._queue or self._closed:
                return
            run = self._queue.popleft()
            if len(self._queue) < MAX_QUEUED_EVENTS // 2:
                self._told_full = False
            error = await self._run(run)
            if run.outcome is not None:
                run.outcome(error)

    async def _run(self, run: _Run) -> Optional[str]:
        loop = asyncio.get_running_loop()
        self._count += 1
        run.request_id, run.started = f"{EVENT_PREFIX}{self._count}", loop.time()
        handler = run.handler
        object_type = "Workbook" if handler.object_id == WORKBOOK else "Worksheet"
        answer: "asyncio.Future[Dict[str, Any]]" = loop.create_future()
        self._answers[run.request_id] = answer
        self.running = run
        self.state_changed()
        try:
            try:
                sent = await self._send({
                    "type": "event_execution", "module_name": handler.module_name,
                    "function_name": handler.function_name, "request_id": run.request_id,
                    "workbook_id": self.workbook_id, "args": run.args,
                    "object_name": handler.object_id, "event_type": handler.event_name,
                    "object_type": object_type})
            except Exception as error:
                sent, answer_error = False, str(error)
            else:
                answer_error = "No kernel is connected"
            if not sent:
                return self._failed(handler, answer_error)
            try:
                message = await asyncio.wait_for(asyncio.shield(answer), SLOW_HANDLER_SECONDS)
            except asyncio.TimeoutError:
                waiting = len(self._queue)
                await self._to_ide({
                    "type": "log_to_console", "color": WARNING_COLOUR,
                    "content": f"The handler {handler.title()} of {self.workbook_id} has run for "
                               f"{SLOW_HANDLER_SECONDS:g} s; {waiting} event(s) wait for it "
                               f"(the Events panel's Stop interrupts it)"})
                self.state_changed(at_once=True)
                self._slow(f"Waiting for the handler {handler.title()}; {waiting} event(s) "
                           f"wait")
                try:
                    message = await answer
                finally:
                    self._slow("")
            if message.get("status") == "success":
                return None
            return self._failed(handler, _error_line(message.get("error")))
        finally:
            self._answers.pop(run.request_id, None)
            self.running = None
            self.state_changed()

    def _failed(self, handler: Handler, error: str) -> str:
        self._spawn(self._to_ide({"type": "log_to_console", "color": ERROR_COLOUR,
                                  "content": f"The handler {handler.title()} of "
                                             f"{self.workbook_id} failed: {error}"}))
        return error

    def owns(self, request_id: Any) -> bool:
        return isinstance(request_id, str) and request_id in self._answers

    def answered(self, message: Dict[str, Any]) -> None:
        answer = self._answers.get(message.get("request_id"))  # type: ignore[arg-type]
        if answer is not None and not answer.done():
            answer.set_result(message)

    def kernel_connected(self) -> None:
        self._kernel.set()

    def kernel_gone(self) -> None:
        self._kernel.clear()
        for answer in self._answers.values():
            if not answer.done():
                answer.set_result({"status": "error",
                                   "error": "The kernel went away before the handler returned"})

    def set_enabled(self, enabled: bool) -> None:
        if enabled != self.enabled:
            self.enabled = enabled
            self.state_changed(at_once=True)

    # --- state -------------------------------------------------------------------------------

    def state(self) -> Dict[str, Any]:
        running = None
        if self.running is not None:
            now = asyncio.get_running_loop().time()
            running = {**self.running.handler.binding(), "request_id": self.running.request_id,
                       "seconds": round(now - self.running.started, 1)}
        objects = [{"object_id": WORKBOOK, "object_type": "Workbook",
                    "events": list(WORKBOOK_EVENTS)}]
        objects += [{"object_id": name, "object_type": "Worksheet", "events": list(SHEET_EVENTS)}
                    for name in self._sheet_names()]
        return {"type": "event_manager_state", "workbook_id": self.workbook_id,
                "events_enabled": self.enabled, "objects": objects,
                "handlers": [h.state() for h in self.handlers], "running": running,
                "queued": len(self._queue), "problems": list(self.problems)}

    def state_changed(self, at_once: bool = False) -> None:
        """The IDE is sent the state: at once, or within `STATE_INTERVAL` while handlers come
        and go (each run would send two)."""
        if self._closed:
            return
        loop = asyncio.get_running_loop()
        wait = 0.0 if at_once else self._last_state + STATE_INTERVAL - loop.time()
        if wait <= 0:
            if self._state_due is not None:
                self._state_due.cancel()
                self._state_due = None
            self._send_state()
        elif self._state_due is None:
            self._state_due = loop.call_later(wait, self._send_state)

    def _send_state(self) -> None:
        self._state_due = None
        self._last_state = asyncio.get_running_loop().time()
        self._spawn(self._to_ide(self.state()))

    def close(self) -> None:
        self._closed = True
        self._queue.clear()
        if self._state_due is not None:
            self._state_due.cancel()
        if self._worker is not None:
            self._worker.cancel()
        for answer in self._answers.values():
            if not answer.done():
                answer.cancel()

    def _spawn(self, coroutine: Any) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._done)

    def _done(self, task: "asyncio.Future[Any]") -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            logger.warning("An event message of %s failed: %s", self.workbook_id,
                           task.exception())


def function_problem(modules: Dict[str, str], module_name: str, function_name: str,
                     event_name: str) -> Optional[str]:
    """What keeps a module's function from handling `event_name`, or None."""
    if module_name not in modules:
        return f"There is no module {module_name!r:.80}"
    signature = module_functions(modules[module_name]).get(function_name)
    if signature is None:
        return f"Module {module_name} has no function {function_name!r:.80}"
    return arity_problem(event_name, signature)


def _handler_of(entry: Dict[str, Any]) -> Optional[Handler]:
    values = [entry.get(name) for name in ("object_id", "event_name", "module_name",
                                           "function_name")]
    if not all(isinstance(value, str) and value for value in values):
        return None
    return Handler(*values)  # type: ignore[arg-type]
