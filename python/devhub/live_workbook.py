"""LiveWorkbook: an open workbook's cells as its pages and its kernel see them, calculated.

Each open workbook has one. It holds what every cell was given (a formula as typed, or a
value) in a `FormulaEngine`, with the workbook's Python functions registered as worksheet
functions (`WorksheetCalls`), and keeps three parties in step:

* **The pages** (``sheet_page``) read blocks of cells, write blocks of inputs, and are sent
  every cell whose value or input changed, whoever changed it.
* **The kernel** reads and writes cells through the host bridge's requests (``SheetRequests``):
  it reads values (a formula cell's value, as a spreadsheet's range value gives), and what it
  writes is calculated and shown on the pages at once.
* **The file**: every change is journaled by the workbook's file at once and written into it
  with its next save (``workbook_file``).

All methods run on the hub's loop.
"""

from __future__ import annotations

import asyncio
import datetime
import functools
import gc
import logging
import re
from typing import Any, Awaitable, Callable, Dict, Iterable, List, Optional, Set, Tuple

import openpyxl

from .formula_engine import (MAX_COLUMNS, MAX_ROWS, ErrorValue, FormulaEngine, column_name,
                             parse_problem)
from .sheet_requests import SheetRequests, parse_cell
from .workbook_events import WorkbookEvents
from .workbook_file import WorkbookFile
from .workbook_timers import WorkbookTimers
from .worksheet_calls import (CALL_TIMEOUT, PythonFunction, WorksheetCalls, called_names,
                              calling_formula, functions_of)
from .worksheet_streams import WorksheetStreams

__all__ = ["LiveWorkbook", "MAX_EDIT_CELLS", "MAX_INPUT_CHARS", "SheetError"]

logger = logging.getLogger(__name__)

# Longest text a cell takes (what the file format holds), and most cells one edit writes.
MAX_INPUT_CHARS = 32_767
MAX_EDIT_CELLS = 100_000
# The workbook setting that keeps the functions published by hand.
PUBLISHED_SETTING = "published_functions"
# Rows read from the engine at a time while a loaded file's formulas are looked for.
_LOAD_ROWS = 20_000


def _uncollected(method: Callable[..., Any]) -> Callable[..., Any]:
    """Runs `method` with the cycle collector paused. A recalculation makes a record for every
    changed cell, all dropped once they are sent (freed by their counts, no cycles): while they
    live, the collector would move them to its oldest generation and then walk the hub's whole
    heap, 17 ms in each third edit of 10,000 dependents."""

    @functools.wraps(method)
    def paused(*args: Any, **kwargs: Any) -> Any:
        if not gc.isenabled():
            return method(*args, **kwargs)
        gc.disable()
        try:
            return method(*args, **kwargs)
        finally:
            gc.enable()

    return paused

Cell = Tuple[str, int, int]
Record = List[Any]  # [row, column, value, input] or [..., note]

_NUMBER = re.compile(r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$")
_DATE = re.compile(r"^\d{4}-\d{2}-\d{2}$")


class SheetError(ValueError):
    """A request about cells that cannot be done; the text says why."""


def parse_input(text: str) -> Tuple[str, Any]:
    """What a person's typed text makes a cell: ("formula", text) or ("value", value)."""
    if text.startswith("=") and len(text) > 1:
        return "formula", text
    if text.startswith("'"):
        return "value", text[1:]
    stripped = text.strip()
    if stripped == "":
        return "value", None
    if stripped.upper() in ("TRUE", "FALSE"):
        return "value", stripped.upper() == "TRUE"
    if _NUMBER.match(stripped):
        number = float(stripped)
        return "value", int(number) if number.is_integer() and "." not in stripped \
            and "e" not in stripped.lower() and abs(number) < 2**53 else number
    if _DATE.match(stripped):
        try:
            return "value", datetime.date.fromisoformat(stripped)
        except ValueError:
            pass
    return "value", text


def shown_input(value: Any) -> str:
    """The text the formula bar shows for a cell holding `value`."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, float):
        return repr(value) if not value.is_integer() else str(int(value))
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, str) and (parse_input(value) != ("value", value)):
        return "'" + value  # text that would be read back as something else
    return str(value)


def page_value(value: Any) -> Any:
    """A value as a page receives it."""
    if isinstance(value, ErrorValue):
        return {"error": value.code}
    if isinstance(value, datetime.datetime):
        return {"date": value.isoformat(sep=" ")}
    if isinstance(value, (datetime.date, datetime.time)):
        return {"date": value.isoformat()}
    if isinstance(value, datetime.timedelta):
        return str(value)
    return value


def wire_value(value: Any) -> Any:
    """A value as the kernel's host bridge reads it."""
    if isinstance(value, ErrorValue):
        return {"__type__": "error", "value": value.code}
    if isinstance(value, datetime.datetime):
        return {"__type__": "datetime", "value": value.isoformat()}
    if isinstance(value, datetime.date):
        return {"__type__": "date", "value": value.isoformat()}
    if isinstance(value, (datetime.time, datetime.timedelta)):
        return str(value)
    return value


def address(sheet: str, row: int, column: int) -> str:
    return f"{sheet}!{column_name(column)}{row}"


class LiveWorkbook(SheetRequests):
    """One open workbook's calculated cells (see the module docstring)."""

    def __init__(self, workbook_id: str, file: WorkbookFile,
                 send_to_kernel: Callable[[Dict[str, Any]], Awaitable[bool]],
                 call_timeout: float = CALL_TIMEOUT,
                 to_ide: Optional[Callable[[Dict[str, Any]], Awaitable[None]]] = None) -> None:
        super().__init__()
        self.workbook_id = workbook_id
        self.file = file
        self.generation = file.generation  # the file's reload it was read at
        self.engine = FormulaEngine()
        self.calls = WorksheetCalls(workbook_id, send_to_kernel, self._results_arrived,
                                    call_timeout)
        self.streams = WorksheetStreams(workbook_id, send_to_kernel, self._stream_values,
                                        self.calls.notes, lambda text: self.on_problem(text))
        self._to_ide = to_ide or _nowhere
        self.events = WorkbookEvents(workbook_id, file, send_to_kernel, self._to_ide,
                                     lambda: self.engine.sheet_names(),
                                     lambda text: self.broadcast({"type": "status",
                                                                  "handler": text}))
        self.timers = WorkbookTimers(workbook_id, file, self.events, self._tell_ide)
        # The kinds of the handlers whose writes the next recalculation follows.
        self._causes: Set[str] = set()
        self._opened = False  # the Open event was raised
        self._kernel_here = False
        self._ide_tasks: Set["asyncio.Future[Any]"] = set()
        self.functions: Dict[str, PythonFunction] = {}
        # Every formula cell's formula as it was typed; what the engine has may differ (its
        # own spelling, the caller given to Python calls).
        self.formulas: Dict[Cell, str] = {}
        self.problems: Dict[Cell, str] = {}  # why a formula does not parse
        # Cells calling volatile Python functions: given to the engine again each
        # recalculation (the engine forgets a function's volatility once a formula is set
        # again, as the arrival of a result does).
        self._volatile: Set[Cell] = set()
        # What the engine was given for each formula (the caller added to Python calls).
        self._given: Dict[Cell, str] = {}
        # The pages of this workbook: each has send(message), which never waits.
        self.pages: Set[Any] = set()
        self.active = "Sheet1"
        self.ready = asyncio.Event()
        self.load_problem: Optional[str] = None
        # Called with what a person should hear of (a function that could not be registered).
        self.on_problem: Callable[[str], Any] = lambda text: None
        self._stale = False  # the engine has changes not yet evaluated
        self._round_due = False  # ...and they start a recalculation
        self._edited: Dict[Cell, None] = {}  # cells given new inputs since the last broadcast
        self._waiting: Set[Cell] = set()  # cells whose Python calls have results to take
        self._flush: Optional[asyncio.TimerHandle] = None
        self._shown_pending = 0
        self._loading = asyncio.ensure_future(self._load())

    # --- loading -----------------------------------------------------------------------------

    async def _load(self) -> None:
        try:
            if self.file.on_disk:
                self.engine = await asyncio.to_thread(_read_engine, self.file.path)
                # The formulas as they were typed, which the engine holds only in a spelling
                # of its own ("=A1 * 2"): the file's cells have them (loaded meanwhile).
                await self.file.cells_ready()
                contents = self.file.formula_cells()
                if contents is None:  # cells the engine reads and openpyxl does not
                    contents = _engine_formulas(self.engine)
            else:
                await self.file.cells_ready()
                self.engine, contents = FormulaEngine(), {}
                for name in self.file.sheet_names():
                    self.engine.add_sheet(name)
            for sheet, formulas in contents.items():
                self.engine.adopt_formulas(sheet, formulas)
                for row, column, text in formulas:
                    self.formulas[(sheet, row, column)] = text
            if not self.engine.sheet_names():
                self.engine.add_sheet("Sheet1")
            self.active = self.engine.sheet_names()[0]
            # Cell changes the file lacks (kept in its journal by an earlier run).
            for request in self.file.journal_cells:
                self._apply_request(request)
            self._register(functions_of(self.file.modules, self.published()))
            self.calls.new_round()
            self.engine.evaluate()
            self.streams.evaluated()
        except Exception as error:  # a file whose cells the engine cannot read
            self.load_problem = f"{self.file.name}: its cells could not be calculated ({error})"
            logger.warning("%s", self.load_problem)
            self.engine = FormulaEngine()
            for name in ("Sheet1",):
                self.engine.add_sheet(name)
        finally:
            self._edited.clear()
            self.ready.set()
        self.events.refresh()
        self.timers.start()
        self._tell_ide(self.functions_state())
        self._raise_open()

    # --- Python functions --------------------------------------------------------------------

    def modules_changed(self, changed: Optional[Set[str]] = None) -> None:
        """The workbook's modules changed (`changed`: the names, None for any): its worksheet
        functions are found again, and the cells that call those of changed modules
        recalculate."""
        if not self.ready.is_set():
            return  # the load registers what the modules hold then
        self.events.refresh()
        self.functions_changed(changed)

    def functions_changed(self, changed: Optional[Set[str]] = None) -> None:
        """The worksheet functions are found again (modules or publications changed)."""
        found = functions_of(self.file.modules, self.published())
        touched = {name for name, function in self.functions.items()
                   if found.get(name) != function or changed is None
                   or function.module in changed}
        touched |= {name for name, function in found.items()
                    if name not in self.functions or changed is None
                    or function.module in changed}
        if not touched:
            return
        self.streams.forget(touched)  # started again, with the new code
        self._register(found, touched)
        self._recalculate(new_round=True)

    def _register(self, found: Dict[str, PythonFunction],
                  touched: Optional[Set[str]] = None) -> None:
        for name in set(self.functions) - set(found):
            self.engine.unregister_function(name)
        registered: Dict[str, PythonFunction] = {}
        for name, function in found.items():
            try:
                calls = self.streams if function.streaming else self.calls
                self.engine.register_function(
                    name, _caller_of(calls, function, lambda: self.engine),
                    function.min_args + 1,
                    None if function.max_args is None else function.max_args + 1,
                    function.volatile)
            except RuntimeError as error:
                text = (f"Worksheet function {name} of module {function.module} is not "
                        f"available: {str(error).replace('#NAME?: ', '')}")
                logger.warning("%s", text)
                self.on_problem(text)
                continue
            registered[name] = function
        # Formulas calling the functions that came, went or changed are given to the engine
        # again: with the caller's address where they call Python, without where they no
        # longer do.
        affected = set(found) | set(self.functions) if touched is None else touched
        if registered != self.functions and self.ready.is_set():
            self._tell_ide(self.functions_state(registered))
        self.functions = registered
        if not affected:
            return
        for cell, formula in list(self.formulas.items()):
            if called_names(formula) & affected:
                self._set_formula(cell, formula)

    def functions_state(self, functions: Optional[Dict[str, PythonFunction]] = None
                        ) -> Dict[str, Any]:
        functions = self.functions if functions is None else functions
        return {"type": "published_functions_state", "workbook_id": self.workbook_id,
                "functions": [functions[name].state() for name in sorted(functions)]}

    def automation_states(self) -> List[Dict[str, Any]]:
        """What the IDE's Functions, Events and Timers panels show of this workbook."""
        return [self.functions_state(), self.events.state(), self.timers.state()]

    def _tell_ide(self, message: Dict[str, Any]) -> None:
        task = asyncio.ensure_future(self._to_ide(message))
        self._ide_tasks.add(task)
        task.add_done_callback(self._ide_tasks.discard)

    def published(self) -> List[Dict[str, Any]]:
        """The functions published by hand, as the file keeps them."""
        entries = self.file.settings.get(PUBLISHED_SETTING)
        return [e for e in entries if isinstance(e, dict)] if isinstance(entries, list) else []

    # --- what pages do -----------------------------------------------------------------------

    def sheet_info(self) -> List[Dict[str, Any]]:
        return [{"name": name, "rows": MAX_ROWS, "columns": MAX_COLUMNS}
                for name in self.engine.sheet_names()]

    @_uncollected
    def records(self, sheet: str, top: int, left: int, bottom: int, right: int) -> List[Record]:
        """The non-empty cells of a block, as pages receive them."""
        self._check_block(sheet, top, left, bottom, right)
        self._evaluate_if_stale()
        values = self.engine.block(sheet, top, left, bottom, right)
        found: List[Record] = []
        for i, row in enumerate(values):
            for j, value in enumerate(row):
                cell = (sheet, top + i, left + j)
                if value is None and cell not in self.formulas:
                    continue
                found.append(self._record(cell, value))
        return found

    def inputs(self, sheet: str, top: int, left: int, bottom: int,
               right: int) -> List[List[str]]:
        return [[self.input_of((sheet, row, column)) for column in range(left, right + 1)]
                for row in range(top, bottom + 1)]

    def input_of(self, cell: Cell) -> str:
        formula = self.formulas.get(cell)
        if formula is not None:
            return formula
        if self.engine.spill_anchor(*cell) is not None:
            return ""
        return shown_input(self.engine.value(*cell))

    @_uncollected
    def edit(self, sheet: str, row: int, column: int, inputs: List[List[str]]) -> List[List[str]]:
        """Writes a block of typed inputs; returns what the block held before."""
        if not isinstance(inputs, list) or not inputs or \
                not all(isinstance(line, list) for line in inputs):
            raise SheetError("inputs must be a list of rows, each a list of texts")
        width = max(len(line) for line in inputs)
        count = sum(len(line) for line in inputs)
        if count == 0:
            raise SheetError("the edit holds no cells")
        if count > MAX_EDIT_CELLS:
            raise SheetError(f"An edit writes at most {MAX_EDIT_CELLS:,} cells; this one has "
                             f"{count:,}.")
        self._check_block(sheet, row, column, row + len(inputs) - 1, column + width - 1)
        for line in inputs:
            for text in line:
                if not isinstance(text, str):
                    raise SheetError("every input must be a text")
                if len(text) > MAX_INPUT_CHARS:
                    raise SheetError(f"A cell holds at most {MAX_INPUT_CHARS:,} characters; "
                                     f"this text has {len(text):,}.")
        self._check_writable()
        previous = [[self.input_of((sheet, row + i, column + j)) for j in range(len(line))]
                    for i, line in enumerate(inputs)]
        stored: List[List[Any]] = []
        for i, line in enumerate(inputs):
            kept = []
            for j, text in enumerate(line):
                kept.append(self._put((sheet, row + i, column + j), text))
            stored.append(kept)
        self._journal(sheet, row, column, stored)
        self._recalculate(new_round=True)
        self.events.raise_event(sheet, "Change", _block_address(sheet, row, column,
                                                                 len(inputs), width))
        return previous

    @_uncollected
    def recalculate_all(self) -> None:
        """Every formula calculated anew, every Python function called again (and streams
        that ended started again)."""
        self.streams.restart_ended()
        for cell, formula in list(self.formulas.items()):
            self._set_formula(cell, formula)
        self._recalculate(new_round=True)

    def select(self, sheet: str, where: Optional[str] = None) -> None:
        """A page shows `sheet` with `where` ("B2", "A1:C3") selected."""
        if sheet not in self.engine.sheet_names():
            return
        if sheet != self.active:
            self.active = sheet
            self.events.raise_event("Workbook", "SheetActivate", sheet)
        if where:
            self.events.raise_event(sheet, "SelectionChange", f"{sheet}!{where}")

    @property
    def events_enabled(self) -> bool:
        return self.events.enabled

    # --- the kernel ----------------------------------------------------------------------------

    def kernel_connected(self) -> None:
        """The workbook's kernel connected and has its modules."""
        self.calls.kernel_connected()
        self.streams.kernel_connected()
        self.events.kernel_connected()
        self._kernel_here = True
        self._raise_open()

    def _raise_open(self) -> None:
        """The workbook's Open event, once its handlers are known and its kernel is here."""
        if self._kernel_here and self.ready.is_set() and not self._opened:
            self._opened = True
            self.events.raise_event("Workbook", "Open")

    def kernel_gone(self) -> None:
        self.calls.kernel_gone()
        self.streams.kernel_gone()
        self.events.kernel_gone()
        self._kernel_here = False

    def broadcast(self, message: Dict[str, Any]) -> int:
        """Sends to every page; how many got it."""
        for page in list(self.pages):
            page.send(message)
        return len(self.pages)

    def status(self) -> Dict[str, Any]:
        return {"type": "status", "pending": self.calls.pending}

    # --- what the kernel does (the host bridge's requests) -----------------------------------

    async def answer_request(self, request: Dict[str, Any]) -> Dict[str, Any]:
        await self.ready.wait()
        if self.file.read_only and request.get("action") in ("range.set", "range.clear"):
            return {"error": f"{self.file.name} is read-only: its cells cannot be changed"}
        return self.answer(request)

    def sheet_names(self) -> List[str]:
        return self.engine.sheet_names()

    def active_sheet(self) -> str:
        return self.active

    def get_cell(self, sheet: str, row: int, column: int) -> Any:
        self._evaluate_if_stale()
        return wire_value(self.engine.value(sheet, row, column))

    def set_cell(self, sheet: str, row: int, column: int, value: Any) -> None:
        self._put_value((sheet, row, column), _from_wire(value))

    def clear_cell(self, sheet: str, row: int, column: int) -> None:
        self._put_value((sheet, row, column), None)

    def changed(self, request: Dict[str, Any]) -> None:
        self.file.write_cells(request)
        running = self.events.running
        if running is not None:
            self._causes.add(running.handler.event_name)
        sheet = str(request.get("sheet") or self.active)
        self.events.raise_event(sheet, "Change", f"{sheet}!{request.get('address')}",
                                self._causes)
        self._round_due = True  # user code's writes are a recalculation of their own
        self._stale = True
        self._schedule_flush(0.0)

    # --- inside ------------------------------------------------------------------------------

    def _check_block(self, sheet: str, top: int, left: int, bottom: int, right: int) -> None:
        if sheet not in self.engine.sheet_names():
            raise SheetError(f"No sheet named {sheet!r:.80}")
        for value in (top, left, bottom, right):
            if not isinstance(value, int) or isinstance(value, bool):
                raise SheetError("rows and columns must be whole numbers")
        if not (1 <= top <= bottom <= MAX_ROWS and 1 <= left <= right <= MAX_COLUMNS):
            raise SheetError(f"Not a block of cells: rows {top}..{bottom}, columns "
                             f"{left}..{right}")

    def _check_writable(self) -> None:
        if self.file.read_only:
            raise SheetError(f"{self.file.name} is read-only: its cells cannot be changed")
        if self.load_problem is not None:
            raise SheetError(self.load_problem)

    def _put(self, cell: Cell, text: str) -> Any:
        """Gives a cell a typed input; returns what the file keeps for it."""
        kind, value = parse_input(text)
        if kind == "formula":
            self.calls.cells_changed((address(*cell),))
            self.streams.cells_changed((address(*cell),))
            self.formulas[cell] = value
            self._set_formula(cell, value)
        else:
            self._put_value(cell, value)
        return value

    def _put_value(self, cell: Cell, value: Any) -> None:
        self.calls.cells_changed((address(*cell),))
        self.streams.cells_changed((address(*cell),))
        if isinstance(value, str) and value.startswith("=") and len(value) > 1:
            self.formulas[cell] = value
            self._set_formula(cell, value)
            return
        self.formulas.pop(cell, None)
        self._given.pop(cell, None)
        self.problems.pop(cell, None)
        self._volatile.discard(cell)
        self.calls.notes.pop(address(*cell), None)
        self.engine.set_value(*cell, value)
        self._edited[cell] = None
        self._stale = True

    def _set_formula(self, cell: Cell, formula: str) -> None:
        problem = parse_problem(formula)
        self._volatile.discard(cell)
        if problem is None:
            self.problems.pop(cell, None)
            names = called_names(formula) & set(self.functions)
            if names:
                formula = calling_formula(formula, address(*cell), names)
                if any(self.functions[name].volatile for name in names):
                    self._volatile.add(cell)
        else:
            self.problems[cell] = problem
        self._given[cell] = formula
        self.engine.set_formula(*cell, formula)
        self._edited[cell] = None
        self._stale = True

    def _journal(self, sheet: str, row: int, column: int, stored: List[List[Any]]) -> None:
        width = max(len(line) for line in stored)
        last = f"{column_name(column + width - 1)}{row + len(stored) - 1}"
        self.file.write_cells({"action": "range.set", "sheet": sheet,
                               "address": f"{column_name(column)}{row}:{last}",
                               "value": [[_file_value(v) for v in line] for line in stored]})

    def _apply_request(self, request: Dict[str, Any]) -> None:
        """A cell change kept in the journal, applied to the engine only."""
        replay = _Replay(self)
        replay.answer(request)

    def _results_arrived(self, cells: Set[str]) -> None:
        self._wait_for(cells)
        # Results of a few calls are shown at once; while many are coming, in rounds (each
        # round reads every formula's value).
        self._schedule_flush(0.002 if self.calls.pending < 50 else 0.05)

    def _wait_for(self, cells: Iterable[str]) -> None:
        for text in cells:
            sheet, _, where = text.rpartition("!")
            try:
                row, column = parse_cell(where)
            except ValueError:
                continue
            self._waiting.add((sheet, row, column))

    def _stream_values(self) -> None:
        self._schedule_flush(0.002)

    def _schedule_flush(self, delay: float) -> None:
        if self._flush is None:
            self._flush = asyncio.get_running_loop().call_later(delay, self._run_flush)

    @_uncollected
    def _run_flush(self) -> None:
        self._flush = None
        self._wait_for(self.streams.take_changed())
        waiting, self._waiting = self._waiting, set()
        for cell in waiting:
            given = self._given.get(cell)
            if given is not None and cell in self.formulas:
                self.engine.set_formula(*cell, given)  # calculated again, with the result
        self._stale = True
        self._recalculate(new_round=self._round_due)
        if self.streams.backlog:  # each value is calculated: the next ones at once
            self._schedule_flush(0.0)

    def _evaluate_if_stale(self) -> None:
        if self._stale:
            self._recalculate(new_round=self._round_due)

    @_uncollected
    def _recalculate(self, new_round: bool) -> None:
        """Evaluates, and sends the pages every cell whose value or input changed."""
        self._round_due = False
        if new_round:
            self.calls.new_round()
            for cell in list(self._volatile):
                self._set_formula(cell, self.formulas[cell])
                self._edited.pop(cell, None)
        self._stale = False
        changes = self.engine.evaluate()
        self.streams.evaluated()
        by_sheet: Dict[str, List[Record]] = {}
        edited, self._edited = self._edited, {}
        formulas, record = self.formulas, self._record
        for sheet, row, column, value in changes:
            cell = (sheet, row, column)
            edited.pop(cell, None)
            records = by_sheet.get(sheet)
            if records is None:
                records = by_sheet[sheet] = []
            formula = formulas.get(cell)
            if formula is not None and type(value) in (int, float, str, bool):
                records.append([row, column, value, formula])
            else:
                records.append(record(cell, value))
        for cell in edited:
            by_sheet.setdefault(cell[0], []).append(record(cell, self.engine.value(*cell)))
        for sheet, records in by_sheet.items():
            self.broadcast({"type": "changed", "sheet": sheet, "cells": records})
        causes, self._causes = self._causes, set()
        for sheet in {change[0] for change in changes}:
            self.events.raise_event(sheet, "Calculate", sheet, causes)
        if self.calls.pending != self._shown_pending:
            self._shown_pending = self.calls.pending
            self.broadcast(self.status())

    def _record(self, cell: Cell, value: Any) -> Record:
        formula = self.formulas.get(cell)
        if formula is not None and type(value) in (int, float, str, bool):  # the most of them
            return [cell[1], cell[2], value, formula]
        record: Record = [cell[1], cell[2], page_value(value), self.input_of(cell)]
        if isinstance(value, ErrorValue):
            note = self.problems.get(cell) or self.calls.notes.get(address(*cell))
            if note:
                record.append(note)
        return record

    async def close(self) -> None:
        self.calls.close()
        self.streams.close()
        self.events.close()
        self.timers.close()
        if self._flush is not None:
            self._flush.cancel()
        await asyncio.gather(self._loading, return_exceptions=True)
        # The engine holds its functions, which hold this workbook, out of the collector's
        # sight: let go of, it no longer keeps the workbook (and through it the hub) alive.
        self.engine = FormulaEngine()
        self.functions = {}


class _Replay(SheetRequests):
    """Applies a journaled cell request to a live workbook's engine (not to its file)."""

    def __init__(self, live: LiveWorkbook) -> None:
        super().__init__()
        self.live = live

    def sheet_names(self) -> List[str]:
        return self.live.engine.sheet_names()

    def active_sheet(self) -> str:
        return self.live.engine.sheet_names()[0]

    def get_cell(self, sheet: str, row: int, column: int) -> Any:
        return None

    def set_cell(self, sheet: str, row: int, column: int, value: Any) -> None:
        self.live.set_cell(sheet, row, column, value)

    def clear_cell(self, sheet: str, row: int, column: int) -> None:
        self.live.clear_cell(sheet, row, column)


async def _nowhere(message: Dict[str, Any]) -> None:
    pass


def _block_address(sheet: str, row: int, column: int, rows: int, columns: int) -> str:
    first = f"{column_name(column)}{row}"
    if rows == 1 and columns == 1:
        return f"{sheet}!{first}"
    return f"{sheet}!{first}:{column_name(column + columns - 1)}{row + rows - 1}"


def _caller_of(calls: WorksheetCalls, function: PythonFunction,
               engine: Callable[[], FormulaEngine]) -> Callable[..., Any]:
    def call(caller: Any, *args: Any) -> Any:
        value = calls.call(function, caller, *args)
        if isinstance(value, list):  # the cell spills: the engine is to follow it
            sheet, _, where = str(caller).rpartition("!")
            try:
                engine().note_array(sheet, *parse_cell(where))
            except ValueError:
                pass
        return value
    return call


def _from_wire(value: Any) -> Any:
    if isinstance(value, dict):
        tag, text = value.get("__type__"), value.get("value")
        if tag == "date" and isinstance(text, str):
            return datetime.date.fromisoformat(text)
        if tag == "datetime" and isinstance(text, str):
            return datetime.datetime.fromisoformat(text)
        if tag == "error" and isinstance(text, str):
            return ErrorValue(text)
        raise ValueError(f"a cell cannot hold {value!r:.60}")
    if isinstance(value, list):
        raise ValueError("a cell cannot hold a list")
    return value


def _file_value(value: Any) -> Any:
    """What the file keeps for a value given to a cell (the journal holds wire values)."""
    return wire_value(value) if not isinstance(value, ErrorValue) else value.code


def _read_engine(path: str) -> FormulaEngine:
    """On a worker thread: the engine loaded from the file and calculated."""
    engine = FormulaEngine.load(path)
    for sheet, (rows, columns) in _sheet_sizes(path).items():
        engine.set_used(sheet, rows, columns)
    return engine


def _engine_formulas(engine: FormulaEngine) -> Dict[str, List[Tuple[int, int, str]]]:
    """Each sheet's formulas as the engine spells them."""
    contents: Dict[str, List[Tuple[int, int, str]]] = {}
    for sheet in engine.sheet_names():
        rows, columns = engine.used(sheet)
        found: List[Tuple[int, int, str]] = []
        for top in range(1, rows + 1, _LOAD_ROWS):
            bottom = min(rows, top + _LOAD_ROWS - 1)
            for i, line in enumerate(engine.formulas(sheet, top, 1, bottom, columns)):
                for j, formula in enumerate(line):
                    if formula:
                        found.append((top + i, 1 + j, formula if formula.startswith("=")
                                      else "=" + formula))
        contents[sheet] = found
    return contents


def _sheet_sizes(path: str) -> Dict[str, Tuple[int, int]]:
    """Each sheet's used rows and columns, from the file's own record of them (read without
    reading the cells), or by reading the cells where a file lacks it."""
    book = openpyxl.load_workbook(path, read_only=True)
    try:
        sizes = {}
        for sheet in book.worksheets:
            rows, columns = sheet.max_row, sheet.max_column
            if rows is None or columns is None:  # the file does not say: the cells tell
                sheet.calculate_dimension(force=True)
                rows, columns = sheet.max_row, sheet.max_column
            sizes[sheet.title] = (min(rows or 0, MAX_ROWS), min(columns or 0, MAX_COLUMNS))
        return sizes
    finally:
        book.close()
