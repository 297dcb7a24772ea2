"""The line debugger for workbook functions that the IDE runs with Debug.

The kernel builds one ``QuorvelDebugger`` per debug run with its ``send_message`` coroutine
function and the workbook id, sets ``loop`` and ``step_mode``, hands it the breakpoints and the
names of the in-memory modules, and calls ``runcall`` on a worker thread. The control calls
(``continue_execution``, ``step_over``, ``step_into``, ``step_out``, ``stop_debugging``,
``evaluate_expression``, ``set_breakpoints``) come from the loop thread and never block it.

Tracing and waiting are native (``_debug_tracer``): only the session's worker thread is traced,
only frames that can stop report lines, and a paused worker waits with the GIL released. This
module decides what a stop means (breakpoint conditions and hit counts), announces it with a
"debug_paused" message, and evaluates expressions in the paused frame.

Breakpoint records: ``{"module_name": str, "line": int}`` (1-based), with optional
``"condition"`` (an expression, true to stop) and ``"hit_count"`` (stop on the n-th hit, or a
rule ``">= n"``, ``"> n"``, ``"== n"``, ``"% n"``); ``"file"`` (a path) may name a file on disk
instead of a module. A breakpoint on a line with no code (a comment, a blank line, a ``def`` or
decorator line) moves to the next line with code that runs when the function is called, and its
pause carries ``requested_line``. Records that cannot apply are skipped with a warning.

Pauses: "debug_paused" with ``workbook_id``, ``module_name``, ``line``, ``file``, ``reason``
("breakpoint", "step" or "exception"), ``function``, ``call_stack`` (innermost first: ``module``,
``function``, ``line``, ``file`` of each frame of user code), and ``locals`` and ``globals`` of
the paused frame (``name``, ``type``, ``value``: a repr cut to ``MAX_REPR`` characters, computed
under a time limit). An exception that leaves the debugged function pauses at the user line
that raised it before the kernel reports it.

Evaluation runs on the paused worker, in the paused frame: assignments to its variables stick,
printed text goes to the run's output, and an expression that never ends holds the session
until Stop ends it. Stop ends a run promptly from any state: the worker unwinds with
``DebugStopped`` (a ``BaseException``) and ``runcall`` returns None.
"""

from __future__ import annotations

import asyncio
import dis
import inspect
import linecache
import os
import reprlib
import site
import sys
import sysconfig
import time
from dataclasses import dataclass
from types import CodeType, FrameType
from typing import Any, Callable, Dict, List, Optional, Tuple

try:
    from . import _debug_tracer
except ImportError:
    import _debug_tracer  # type: ignore[no-redef]

from quorvel_logging import get_logger

__all__ = ["QuorvelDebugger", "DebugStopped"]

logger = get_logger(__name__)

DebugStopped = _debug_tracer.DebugStopped
TimeLimitExceeded = _debug_tracer.TimeLimitExceeded

# Bounds of what a pause shows.
MAX_REPR = 200             # characters of one value's repr
MAX_VARIABLES = 100        # per scope; the rest is counted in a last entry
MAX_STACK = 64             # frames in call_stack
REPR_TIME_LIMIT = 0.25     # seconds for one repr or one breakpoint condition
PAUSE_REPR_BUDGET = 2.0    # seconds for all the reprs of one pause

_FUNCTION_FLAGS = inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
_HIT_RULES = {
    ">=": lambda hits, n: hits >= n,
    ">": lambda hits, n: hits > n,
    "==": lambda hits, n: hits == n,
    "%": lambda hits, n: hits % n == 0,
}


class BreakpointError(ValueError):
    """A breakpoint record that cannot apply."""


@dataclass
class Breakpoint:
    filename: str
    line: int
    requested_line: int
    condition: Optional[str] = None
    condition_code: Optional[CodeType] = None
    hit_rule: Optional[Tuple[str, int]] = None
    hits: int = 0

    def key(self) -> tuple:
        return (self.filename, self.requested_line, self.condition, self.hit_rule)


def _library_prefixes() -> Tuple[str, ...]:
    paths = sysconfig.get_paths()
    places = [paths.get(name) for name in ("stdlib", "platstdlib", "purelib", "platlib")]
    places += site.getsitepackages() if hasattr(site, "getsitepackages") else []
    places.append(site.getusersitepackages() if hasattr(site, "getusersitepackages") else None)
    # Our own packages sit beside this module, wherever they are installed.
    places.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    prefixes = {os.path.join(os.path.normcase(os.path.realpath(p)), "") for p in places if p}
    return tuple(sorted(prefixes))


_LIBRARY_PREFIXES = _library_prefixes()


def is_user_file(filename: str) -> bool:
    """True for code the user wrote: in-memory modules and files outside the installation."""
    if filename.startswith("<virtual:"):
        return True
    if filename.startswith("<"):
        return False
    path = os.path.normcase(os.path.realpath(filename))
    return not path.startswith(_LIBRARY_PREFIXES)


def module_of(frame: FrameType) -> str:
    filename = frame.f_code.co_filename
    if filename.startswith("<virtual:") and filename.endswith(">"):
        return filename[len("<virtual:"):-1]
    name = frame.f_globals.get("__name__", "")
    return name if isinstance(name, str) else ""


def lines_with_code(source: str, filename: str) -> List[int]:
    """Lines where a stop can happen when the module's functions run: lines with instructions,
    without the ``def`` and decorator lines of functions (those run once, at import)."""
    try:
        top = compile(source, filename, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as error:
        raise BreakpointError(f"the module does not compile: {error}") from None
    lines, headers = set(), set()
    pending = [top]
    while pending:
        code = pending.pop()
        own = {line for _, line in dis.findlinestarts(code) if line is not None}
        lines |= own
        body = own - {code.co_firstlineno}
        if code is not top and code.co_flags & _FUNCTION_FLAGS == _FUNCTION_FLAGS and body:
            headers.update(range(code.co_firstlineno, min(body)))
        pending.extend(c for c in code.co_consts if isinstance(c, CodeType))
    return sorted(lines - headers)


def _in_memory_source(module_name: str) -> Optional[str]:
    for finder in sys.meta_path:
        cache = getattr(finder, "source_cache", None)
        if isinstance(cache, dict) and isinstance(cache.get(module_name), str):
            return cache[module_name]
    return None


def _parse_hit_rule(value: Any) -> Optional[Tuple[str, int]]:
    if value is None or value == "":
        return None
    if isinstance(value, bool):
        raise BreakpointError("hit_count must be a number or a rule such as '>= 3'")
    if isinstance(value, int):
        if value < 1:
            raise BreakpointError("hit_count must be 1 or more")
        return ("==", value)
    if isinstance(value, str):
        text = value.strip()
        for operator in (">=", "==", ">", "%"):
            if text.startswith(operator):
                text = text[len(operator):].strip()
                break
        else:
            operator = "=="
        if text.isdigit() and int(text) >= 1:
            return (operator, int(text))
    raise BreakpointError(f"hit_count {value!r} is not a number or a rule such as '>= 3'")


def _error_text(error: BaseException) -> str:
    return _cut(f"{type(error).__name__}: {error}") if str(error) else type(error).__name__


def _cut(text: str, limit: int = MAX_REPR) -> str:
    return text if len(text) <= limit else text[:limit - 3] + "..."


class _Repr(reprlib.Repr):
    def __init__(self) -> None:
        super().__init__()
        self.maxstring = self.maxother = self.maxlong = MAX_REPR
        self.maxlist = self.maxtuple = self.maxset = self.maxfrozenset = self.maxdeque = 20
        self.maxdict = self.maxarray = 20
        self.maxlevel = 4

    def repr_instance(self, obj: Any, level: int) -> str:
        # The base class hides a failing __repr__; the caller reports it instead.
        return _cut(repr(obj), self.maxother)


_REPR = _Repr()


class _ReprBudget:
    """Bounded reprs for one pause: each under REPR_TIME_LIMIT, all under PAUSE_REPR_BUDGET."""

    def __init__(self, budget: float = PAUSE_REPR_BUDGET) -> None:
        self._left = budget

    def __call__(self, value: Any) -> str:
        if self._left <= 0:
            return "<not shown: the values took too long to display>"
        limit = min(REPR_TIME_LIMIT, self._left)
        started = time.monotonic()
        try:
            text = _debug_tracer.call_with_time_limit(lambda: _REPR.repr(value), limit)
        except TimeLimitExceeded:
            text = f"<repr took longer than {limit:g} s>"
        except Exception as error:  # a repr that raises shows why
            text = f"<repr failed: {_error_text(error)}>"
        finally:
            self._left -= time.monotonic() - started
        return _cut(text) if isinstance(text, str) else "<repr returned no text>"


class QuorvelDebugger:
    """One debug session. Built by the kernel for each debug run."""

    def __init__(self, send_message: Callable[[dict], Any], workbook_id: str) -> None:
        self.send_message = send_message
        self.workbook_id = workbook_id
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self.step_mode: Optional[str] = None
        self._breakpoints: Dict[str, Dict[int, List[Breakpoint]]] = {}
        self._in_memory_modules: set = set()
        self._user_files: Dict[str, bool] = {}
        self._tracer = _debug_tracer.Tracer(self._on_pause, self._evaluate, self._is_user_file)

    # --- the kernel's calls -----------------------------------------------------------------

    @property
    def stopped(self) -> bool:
        """True once stop_debugging was called: the run was cut short."""
        return self._tracer.stopped

    @property
    def paused(self) -> bool:
        return self._tracer.paused

    @property
    def line_events(self) -> int:
        """Line events the traced thread reported so far. Frames of code with nothing to stop
        at report none: the count shows what tracing costs a run."""
        return self._tracer.line_events

    def set_in_memory_modules(self, names: Any) -> None:
        self._in_memory_modules = {name for name in (names or ()) if isinstance(name, str)}

    def set_breakpoints(self, breakpoints: Any) -> None:
        """Replaces the breakpoints. Records that cannot apply are skipped with a warning; hit
        counts of breakpoints that stay carry over."""
        if breakpoints is None:
            breakpoints = []
        if not isinstance(breakpoints, (list, tuple)):
            logger.warning("[Debugger] Breakpoints must be a list, not %s; keeping the current "
                           "ones", type(breakpoints).__name__)
            return
        previous = {bp.key(): bp.hits for lines in self._breakpoints.values()
                    for bps in lines.values() for bp in bps}
        table: Dict[str, Dict[int, List[Breakpoint]]] = {}
        for record in breakpoints:
            try:
                for breakpoint in self._resolve(record):
                    breakpoint.hits = previous.get(breakpoint.key(), 0)
                    table.setdefault(breakpoint.filename, {}).setdefault(
                        breakpoint.line, []).append(breakpoint)
            except BreakpointError as error:
                logger.warning("[Debugger] Skipping breakpoint %s: %s", _cut(repr(record)), error)
        self._breakpoints = table
        self._tracer.set_breakpoints({name: list(lines) for name, lines in table.items()})

    def runcall(self, function: Callable[..., Any], *args: Any) -> Any:
        """Runs function(*args) under the debugger on this thread; None when stopped."""
        return self._tracer.runcall(function, *args)

    def continue_execution(self) -> None:
        self.step_mode = None
        self._command(_debug_tracer.CONTINUE, "continue")

    def step_over(self) -> None:
        self.step_mode = "over"
        self._command(_debug_tracer.STEP_OVER, "step over")

    def step_into(self) -> None:
        self.step_mode = "into"
        self._command(_debug_tracer.STEP_INTO, "step into")

    def step_out(self) -> None:
        self.step_mode = "out"
        self._command(_debug_tracer.STEP_OUT, "step out")

    def stop_debugging(self) -> None:
        self.step_mode = None
        self._tracer.stop()

    def evaluate_expression(self, expression: Any) -> Any:
        """An answer now ({"error": ...}) or a future of one: {"result", "value_type"} or
        {"error"}. The paused worker evaluates; the loop thread never waits for it."""
        if not isinstance(expression, str) or not expression.strip():
            return {"error": "Nothing to evaluate: the expression is empty"}
        loop = self.loop
        if loop is None:
            return {"error": "The debug session has no event loop"}
        answer = loop.create_future()

        def deliver(result: dict) -> None:
            try:
                loop.call_soon_threadsafe(_settle, answer, result)
            except RuntimeError:
                pass  # the loop is closed: nobody waits for the answer any more

        if not self._tracer.evaluate(expression, deliver):
            return {"error": "The debug session is not paused"}
        return answer

    # --- called by the tracer on the worker -------------------------------------------------

    def _is_user_file(self, filename: str) -> bool:
        known = self._user_files.get(filename)
        if known is None:
            known = self._user_files[filename] = is_user_file(filename)
        return known

    def _on_pause(self, frame: FrameType, line: int, at_breakpoint: bool, stepping: bool,
                  exception: Optional[BaseException]) -> bool:
        extra: Dict[str, Any] = {}
        if exception is not None:
            reason = "exception"
            extra["exception"] = {"type": type(exception).__name__,
                                  "message": _cut(str(exception), 1000)}
        else:
            reason = None
            if at_breakpoint:
                hit = self._breakpoint_hit(frame, line)
                if hit is not None:
                    reason = "breakpoint"
                    extra.update(hit)
            if reason is None and stepping:
                reason = "step"
            if reason is None:
                return False
        self._send(self._pause_message(frame, line, reason, extra))
        return True

    def _evaluate(self, frame: FrameType, expression: str) -> dict:
        try:
            try:
                code = compile(expression, "<debug>", "eval")
            except SyntaxError:
                code = compile(expression, "<debug>", "exec")
        except (SyntaxError, ValueError) as error:
            return {"error": _error_text(error)}
        variables = frame.f_locals
        try:
            value = eval(code, frame.f_globals, variables)
        except (Exception, KeyboardInterrupt, SystemExit) as error:
            return {"error": _error_text(error)}
        finally:
            if variables is not frame.f_globals:
                _debug_tracer.locals_to_fast(frame)
        return {"result": _ReprBudget(REPR_TIME_LIMIT)(value), "value_type": type(value).__name__}

    # --- pauses ---------------------------------------------------------------------------

    def _breakpoint_hit(self, frame: FrameType, line: int) -> Optional[dict]:
        """What the pause says about the breakpoint that stops here, or None to run on."""
        for breakpoint in self._breakpoints.get(frame.f_code.co_filename, {}).get(line, ()):
            extra: Dict[str, Any] = {}
            if breakpoint.condition_code is not None:
                code = breakpoint.condition_code
                try:
                    if not _debug_tracer.call_with_time_limit(
                            lambda: eval(code, frame.f_globals, frame.f_locals), REPR_TIME_LIMIT):
                        continue
                except TimeLimitExceeded:
                    extra["condition_error"] = (f"The condition took longer than "
                                                f"{REPR_TIME_LIMIT:g} s")
                except Exception as error:  # a broken condition stops, and says why
                    extra["condition_error"] = _error_text(error)
            breakpoint.hits += 1
            if breakpoint.hit_rule is not None:
                operator, count = breakpoint.hit_rule
                if not _HIT_RULES[operator](breakpoint.hits, count):
                    continue
            if breakpoint.requested_line != breakpoint.line:
                extra["requested_line"] = breakpoint.requested_line
            return extra
        return None

    def _pause_message(self, frame: FrameType, line: int, reason: str, extra: dict) -> dict:
        shown = _ReprBudget()
        message = {
            "type": "debug_paused",
            "workbook_id": self.workbook_id,
            "module_name": module_of(frame),
            "line": line,
            "file": frame.f_code.co_filename,
            "reason": reason,
            "function": frame.f_code.co_name,
            **extra,
            "call_stack": self._call_stack(frame, line),
        }
        local_scope = frame.f_locals
        message["locals"] = ([] if local_scope is frame.f_globals
                             else _variables(local_scope, shown, hide_dunders=False))
        message["globals"] = _variables(frame.f_globals, shown, hide_dunders=True)
        return message

    def _call_stack(self, frame: FrameType, line: int) -> List[dict]:
        stack = []
        current: Optional[FrameType] = frame
        while current is not None and len(stack) < MAX_STACK:
            filename = current.f_code.co_filename
            if self._is_user_file(filename):
                stack.append({"module": module_of(current), "function": current.f_code.co_name,
                              "line": line if current is frame else current.f_lineno,
                              "file": filename})
            current = current.f_back
        return stack

    def _send(self, message: dict) -> None:
        loop = self.loop
        if loop is None:
            logger.warning("[Debugger] No event loop to send %s through", message["type"])
            return
        try:
            asyncio.run_coroutine_threadsafe(self.send_message(message), loop)
        except RuntimeError as error:  # the loop is closed: the kernel is going away
            logger.warning("[Debugger] Could not send %s: %s", message["type"], error)

    def _command(self, command: int, name: str) -> None:
        if not self._tracer.post_command(command):
            logger.debug("[Debugger] Ignoring %s: the session is not paused", name)

    # --- breakpoints ------------------------------------------------------------------------

    def _resolve(self, record: Any) -> List[Breakpoint]:
        if not isinstance(record, dict):
            raise BreakpointError(f"a breakpoint is a mapping, not {type(record).__name__}")
        line = record.get("line")
        if isinstance(line, bool) or not isinstance(line, int):
            raise BreakpointError("'line' must be an integer")
        if line < 1:
            raise BreakpointError("'line' counts from 1")
        condition = record.get("condition")
        condition_code = None
        if condition is not None and condition != "":
            if not isinstance(condition, str):
                raise BreakpointError("'condition' must be text")
            try:
                condition_code = compile(condition, "<breakpoint condition>", "eval")
            except (SyntaxError, ValueError) as error:
                raise BreakpointError(f"the condition does not compile: {error}") from None
        else:
            condition = None
        hit_rule = _parse_hit_rule(record.get("hit_count"))
        filenames, source = self._locate(record)
        code_lines = lines_with_code(source, filenames[0])
        target = next((candidate for candidate in code_lines if candidate >= line), None)
        if target is None:
            last = code_lines[-1] if code_lines else 0
            raise BreakpointError(f"line {line} is beyond the last line with code ({last})")
        return [Breakpoint(name, target, line, condition, condition_code, hit_rule)
                for name in filenames]

    def _locate(self, record: dict) -> Tuple[List[str], str]:
        """The file names the code of the record's module runs under, and its source."""
        module = record.get("module_name", record.get("module"))
        path = record.get("file")
        if module is not None and (not isinstance(module, str) or not module):
            raise BreakpointError("'module_name' must be a non-empty string")
        if path is not None and (not isinstance(path, str) or not path):
            raise BreakpointError("'file' must be a non-empty string")
        if module is None and path is None:
            raise BreakpointError("a breakpoint needs 'module_name' or 'file'")
        if module is not None:
            source = _in_memory_source(module)
            if source is not None:
                return [f"<virtual:{module}>"], source
            if module in self._in_memory_modules:
                lines = linecache.getlines(f"<virtual:{module}>")
                if lines:
                    return [f"<virtual:{module}>"], "".join(lines)
            path = path or _module_file(module)
            if path is None:
                raise BreakpointError(f"no module named {module!r} is known to the kernel")
        assert path is not None
        if not os.path.isfile(path):
            raise BreakpointError(f"no file {path!r}")
        try:
            with open(path, "rb") as stream:
                source = stream.read().decode("utf-8", "replace")
        except OSError as error:
            raise BreakpointError(f"cannot read {path!r}: {error}") from None
        names = [os.path.abspath(path)]
        real = os.path.realpath(path)
        if real not in names:
            names.append(real)
        if path not in names:
            names.append(path)
        return names, source


def _module_file(module: str) -> Optional[str]:
    loaded = sys.modules.get(module)
    path = getattr(loaded, "__file__", None) if loaded is not None else None
    if path is None:
        import importlib.util

        try:
            spec = importlib.util.find_spec(module)
        except (ImportError, ValueError):
            spec = None
        path = spec.origin if spec is not None and spec.has_location else None
    return path if isinstance(path, str) and path.endswith(".py") else None


def _variables(scope: Any, shown: _ReprBudget, hide_dunders: bool) -> List[dict]:
    entries = []
    items = list(scope.items())
    if hide_dunders:
        items = [(n, v) for n, v in items
                 if not (isinstance(n, str) and n.startswith("__") and n.endswith("__"))]
    for name, value in items[:MAX_VARIABLES]:
        entries.append({"name": str(name), "type": type(value).__name__, "value": shown(value)})
    if len(items) > MAX_VARIABLES:
        entries.append({"name": "...", "type": "",
                        "value": f"{len(items) - MAX_VARIABLES} more not shown"})
    return entries


def _settle(future: "asyncio.Future[dict]", result: dict) -> None:
    if not future.done():
        future.set_result(result)
