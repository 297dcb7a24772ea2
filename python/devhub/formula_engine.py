"""FormulaEngine: the hub's calculation of a workbook's sheets, behind an interface of its own.

The engine underneath is formualizer (a Rust engine with incremental recalculation and arrays
that spill). Only this module knows it, so that another engine can take its place: callers set
values and formulas, evaluate, read values, and are told which cells changed.

What it promises:

* **Values in the hub's terms**: None, bool, int, float, str, date, datetime, or an
  `ErrorValue` ("#DIV/0!", "#BUSY!", ...). A custom function's callback returns the same kinds,
  or a 2-D list that spills.
* **Cells that changed**: `evaluate` returns every formula cell, and every cell an array spills
  into or no longer spills into, whose value differs from what the previous `evaluate` returned.
* **One thread.** Parallel evaluation is off: custom functions are Python callbacks, called on
  the thread that evaluates (the hub's loop), never on threads the interpreter did not create.
  A callback must not touch the engine.
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Optional, Set, Tuple

import formualizer

__all__ = ["Change", "ErrorValue", "FormulaEngine", "MAX_COLUMNS", "MAX_ROWS", "parse_problem"]

MAX_ROWS = 1_048_576
MAX_COLUMNS = 16_384

Cell = Tuple[str, int, int]  # (sheet, row, column), rows and columns from 1
Extent = Tuple[int, int, int, int]  # top, left, bottom, right


@dataclass(frozen=True)
class ErrorValue:
    """An error shown in a cell, by its code ("#VALUE!")."""

    code: str

    def __str__(self) -> str:
        return self.code


BUSY = ErrorValue("#BUSY!")
SPILL = ErrorValue("#SPILL!")

# The engine's error kinds and the codes a spreadsheet shows for them. The engine has no
# kind for a value still being computed: "Cancelled" (which only its own cancel() makes, and
# the hub never calls) carries it, and it propagates to dependents as a spreadsheet's does.
_CODES = {
    "Null": "#NULL!", "Div": "#DIV/0!", "Value": "#VALUE!", "Ref": "#REF!", "Name": "#NAME?",
    "Num": "#NUM!", "Na": "#N/A", "Spill": "#SPILL!", "Calc": "#CALC!", "Circ": "#CIRC!",
    "Cancelled": BUSY.code, "Error": "#ERROR!", "NImpl": "#N/IMPL!",
}
_KINDS = {code: kind for kind, code in _CODES.items()}

# A formula whose value may be an array: it has a range, an array constant or a function that
# gives arrays. Only those are asked for a spill (cheap, but not free for 100,000 formulas);
# a custom function's cell is asked once its callback returned an array (`note_array`).
_MAY_SPILL = re.compile(
    r"[:{]|\b(SEQUENCE|FILTER|SORT|SORTBY|UNIQUE|TRANSPOSE|RANDARRAY|MMULT|MINVERSE|MUNIT|"
    r"FREQUENCY|TEXTSPLIT|VSTACK|HSTACK|TAKE|DROP|CHOOSECOLS|CHOOSEROWS|TOCOL|TOROW|WRAPROWS|"
    r"WRAPCOLS|EXPAND|INDEX|OFFSET|INDIRECT|LINEST|LOGEST|TREND|GROWTH)\s*\(", re.IGNORECASE)

Change = Tuple[str, int, int, Any]  # (sheet, row, column, new value)


def parse_problem(formula: str) -> Optional[str]:
    """Why a formula does not parse, or None."""
    try:
        formualizer.parse(formula)
    except formualizer.ParserError as error:
        return str(error).replace("ParserError at", "Formula error at")
    except Exception as error:  # the parser refuses some texts with other errors
        return f"Formula error: {error}"
    return None


def error_literal(error: ErrorValue, message: Optional[str] = None) -> Any:
    """The engine's value for an error a callback returns."""
    return formualizer.LiteralValue.error(_KINDS.get(error.code, "Value"), message)


def _from_engine(value: Any) -> Any:
    kind = type(value)
    if kind is float:
        return int(value) if value.is_integer() and -2**53 < value < 2**53 else value
    if kind is dict and value.get("type") == "Error":
        return ErrorValue(_CODES.get(value.get("kind"), "#VALUE!"))
    return value


def _to_engine(value: Any) -> Any:
    if isinstance(value, ErrorValue):
        return error_literal(value)
    return value


class FormulaEngine:
    """One workbook's sheets of values and formulas, calculated."""

    def __init__(self, engine: Any = None) -> None:
        config = formualizer.EvaluationConfig()
        config.enable_parallel = False
        self._config = formualizer.WorkbookConfig(eval_config=config)
        self._book = engine if engine is not None else formualizer.Workbook(config=self._config)
        self._sheets: List[str] = list(self._book.sheet_names)
        self._formulas: Dict[str, Set[Tuple[int, int]]] = {}
        # The formula cells by sheet and column, rows in order (made again when stale): read
        # a column at a time, which is ten times faster than cell by cell.
        self._columns: Optional[List[Tuple[str, int, List[int]]]] = None
        self._shown: Dict[Cell, Any] = {}  # what evaluate last reported for computed cells
        self._spills: Dict[Cell, Extent] = {}  # anchors of arrays that spilled, and where
        self._members: Dict[Cell, Cell] = {}  # cells filled by a spill, and their anchors
        self._candidates: Set[Cell] = set()  # formula cells that may give an array
        # Cells emptied after holding something. The engine keeps them as empty values that an
        # array cannot spill into (it shows them empty, without #SPILL!): when an array would,
        # the engine is made anew without them (`_rebuild`).
        self._cleared: Set[Cell] = set()
        self._used: Dict[str, Tuple[int, int]] = {}  # rows and columns that may hold a cell
        self._functions: Dict[str, Tuple[Any, ...]] = {}  # registrations, for `_rebuild`
        # The engine does not look at an array again when a cell in its way changes: cells set
        # since the last evaluation, so that the arrays they touch are calculated again.
        self._set_since: Set[Cell] = set()

    @classmethod
    def load(cls, path: str) -> "FormulaEngine":
        """The sheets of an .xlsx file, values and formulas."""
        config = formualizer.EvaluationConfig()
        config.enable_parallel = False
        book = formualizer.Workbook.load_path(
            path, config=formualizer.WorkbookConfig(eval_config=config))
        # Calculated at once: until it has been, the engine takes about 2 ms for each formula
        # read from it (a minute for 30,000). No function of the hub's is registered yet, so
        # nothing calls back into Python (this may run on a worker thread).
        book.evaluate_all()
        return cls(book)

    # --- contents ------------------------------------------------------------------------------

    def sheet_names(self) -> List[str]:
        return list(self._sheets)

    def add_sheet(self, name: str) -> None:
        if name not in self._sheets:
            self._book.add_sheet(name)
            self._sheets.append(name)

    def set_value(self, sheet: str, row: int, column: int, value: Any) -> None:
        key = (sheet, row, column)
        if value is None:
            if self._book.get_value(sheet, row, column) is None and not self.is_formula(*key):
                return  # empty already: an empty value set there would stand in arrays' way
            self._cleared.add(key)
        self._book.set_value(sheet, row, column, _to_engine(value))
        self._grow(sheet, row, column)
        if value is not None:
            self._cleared.discard(key)
        cells = self._formulas.get(sheet)
        if cells is not None and (row, column) in cells:
            cells.discard((row, column))
            self._columns = None
        self._candidates.discard((sheet, row, column))
        self._shown.pop((sheet, row, column), None)

    def set_formula(self, sheet: str, row: int, column: int, formula: str) -> None:
        """Sets a formula (setting the same one again recalculates it)."""
        self._book.set_formula(sheet, row, column, formula)
        self._grow(sheet, row, column)
        self._cleared.discard((sheet, row, column))
        self._adopt(sheet, row, column, formula)

    def note_array(self, sheet: str, row: int, column: int) -> None:
        """A custom function gave this formula cell an array (safe from a callback)."""
        self._candidates.add((sheet, row, column))

    def _grow(self, sheet: str, row: int, column: int) -> None:
        self._set_since.add((sheet, row, column))
        rows, columns = self._used.get(sheet, (0, 0))
        if row > rows or column > columns:
            self._used[sheet] = (max(rows, row), max(columns, column))

    def set_used(self, sheet: str, rows: int, columns: int) -> None:
        """Tells how far a loaded sheet's cells reach."""
        self._grow(sheet, rows, columns)

    def used(self, sheet: str) -> Tuple[int, int]:
        """How many rows and columns of a sheet may hold a cell."""
        return self._used.get(sheet, (0, 0))

    def adopt_formulas(self, sheet: str, formulas: Iterable[Tuple[int, int, str]]) -> None:
        """Makes known formula cells that came with the engine (a loaded file's)."""
        for row, column, formula in formulas:
            self._adopt(sheet, row, column, formula)

    def _adopt(self, sheet: str, row: int, column: int, formula: str) -> None:
        cells = self._formulas.setdefault(sheet, set())
        if (row, column) not in cells:
            cells.add((row, column))
            self._columns = None
        if ("(" in formula or ":" in formula or "{" in formula) and _MAY_SPILL.search(formula):
            self._candidates.add((sheet, row, column))
        else:
            self._candidates.discard((sheet, row, column))

    def clear(self, sheet: str, row: int, column: int) -> None:
        self.set_value(sheet, row, column, None)

    def formula_cells(self) -> Iterable[Cell]:
        for sheet, cells in self._formulas.items():
            for row, column in cells:
                yield sheet, row, column

    def is_formula(self, sheet: str, row: int, column: int) -> bool:
        return (row, column) in self._formulas.get(sheet, ())

    def spill_anchor(self, sheet: str, row: int, column: int) -> Optional[Cell]:
        """The formula cell whose array fills this cell, if one does."""
        return self._members.get((sheet, row, column))

    def value(self, sheet: str, row: int, column: int) -> Any:
        return _from_engine(self._book.get_value(sheet, row, column))

    def block(self, sheet: str, top: int, left: int, bottom: int, right: int) -> List[List[Any]]:
        """The values of a block, row by row."""
        rows = self._book.sheet(sheet).get_values(
            formualizer.RangeAddress(sheet, top, left, bottom, right))
        return [[_from_engine(value) for value in row] for row in rows]

    def formulas(self, sheet: str, top: int, left: int, bottom: int,
                 right: int) -> List[List[str]]:
        """The formulas of a block as the engine holds them ("" where there is none)."""
        rows = self._book.sheet(sheet).get_formulas(
            formualizer.RangeAddress(sheet, top, left, bottom, right))
        return [[formula or "" for formula in row] for row in rows]

    # --- functions ---------------------------------------------------------------------------

    def register_function(self, name: str, callback: Callable[..., Any], min_args: int,
                          max_args: Optional[int], volatile: bool) -> None:
        """Makes `name` a worksheet function; `callback` gets the evaluated arguments (ranges
        as 2-D lists, errors as `ErrorValue`) and returns a value, an `ErrorValue` (through
        `error_literal` with a message) or a 2-D list that spills."""

        def call(*args: Any) -> Any:
            result = callback(*[_argument(arg) for arg in args])
            if isinstance(result, ErrorValue):
                return error_literal(result)
            return result

        self.unregister_function(name)
        # Raises RuntimeError for a name the engine has a function of its own for.
        self._book.register_function(name, call, min_args=min_args, max_args=max_args,
                                     volatile=volatile, allow_override_builtin=False)
        self._functions[name] = (call, min_args, max_args, volatile)

    def unregister_function(self, name: str) -> None:
        self._functions.pop(name, None)
        try:
            self._book.unregister_function(name)
        except Exception:  # it was not registered
            pass

    # --- calculation -------------------------------------------------------------------------

    def evaluate(self) -> List[Change]:
        """Recalculates what its changes made stale; the computed cells whose values changed."""
        self._respill()
        self._book.evaluate_all()
        spills, members = self._find_spills()
        if self._cleared and (any(cell in self._cleared for cell in members)
                              or self._blocked_arrays()):
            self._rebuild(members)
            self._book.evaluate_all()
            spills, members = self._find_spills()
        changes: List[Change] = []
        shown = self._shown
        for sheet, row, column, value in self._formula_values():
            key = (sheet, row, column)
            before = shown.get(key, _NOTHING)
            if before != value or type(before) is not type(value):
                shown[key] = value
                changes.append((sheet, row, column, value))
        self._follow_spills(changes, spills, members)
        return changes

    def _formula_values(self) -> Iterable[Change]:
        """Every formula cell's value."""
        if self._columns is None:
            by_column: Dict[Tuple[str, int], List[int]] = {}
            for sheet, cells in self._formulas.items():
                for row, column in cells:
                    by_column.setdefault((sheet, column), []).append(row)
            self._columns = [(sheet, column, sorted(rows))
                             for (sheet, column), rows in by_column.items()]
        get_value = self._book.get_value
        for sheet, column, rows in self._columns:
            top, bottom = rows[0], rows[-1]
            if len(rows) >= 16 and len(rows) * 4 >= bottom - top + 1:
                values = self._book.sheet(sheet).get_values(
                    formualizer.RangeAddress(sheet, top, column, bottom, column))
                for row in rows:
                    yield sheet, row, column, _from_engine(values[row - top][0])
            else:
                for row in rows:
                    yield sheet, row, column, _from_engine(get_value(sheet, row, column))

    def _blocked_arrays(self) -> bool:
        """Whether an array shows #SPILL! (perhaps only for a cell emptied in its way)."""
        get_value = self._book.get_value
        return any(_from_engine(get_value(*key)) == SPILL for key in self._candidates)

    def _find_spills(self) -> Tuple[Dict[Cell, Extent], Dict[Cell, Cell]]:
        """The arrays that spilled, and the cells each fills."""
        spills: Dict[Cell, Extent] = {}
        for key in self._candidates:
            extent = self._extent(*key)
            if extent is not None:
                spills[key] = extent
        members: Dict[Cell, Cell] = {}
        for anchor, (top, left, bottom, right) in spills.items():
            sheet = anchor[0]
            for row in range(top, bottom + 1):
                for column in range(left, right + 1):
                    if (sheet, row, column) != anchor:
                        members[(sheet, row, column)] = anchor
        return spills, members

    def _follow_spills(self, changes: List[Change], new_spills: Dict[Cell, Extent],
                       members: Dict[Cell, Cell]) -> None:
        for key in set(self._members) - set(members):  # no longer filled by an array
            if not self.is_formula(*key):
                self._shown.pop(key, None)
                changes.append((*key, self.value(*key)))
        get_value = self._book.get_value
        for key in members:
            value = _from_engine(get_value(*key))
            if self._shown.get(key, _NOTHING) != value:
                self._shown[key] = value
                changes.append((*key, value))
        self._spills, self._members = new_spills, members

    def _respill(self) -> None:
        """Arrays with a cell set in their way, and arrays that could not spill, are given to
        the engine again, which then spills them or shows #SPILL!."""
        touched, self._set_since = self._set_since, set()
        anchors = {self._members[cell] for cell in touched if cell in self._members}
        if touched:
            anchors |= {cell for cell in self._candidates if self._shown.get(cell) == SPILL}
        for sheet, row, column in anchors - touched:
            if self.is_formula(sheet, row, column):
                formula = self._book.get_formula(sheet, row, column)
                if formula:
                    self._book.set_formula(sheet, row, column, formula)

    def _rebuild(self, members: Dict[Cell, Cell]) -> None:
        """The engine made anew from what the cells hold (not what arrays spill, `members`)."""
        fresh = formualizer.Workbook(config=self._config)
        members = {**self._members, **members}
        for sheet in self._sheets:
            fresh.add_sheet(sheet)
            rows, columns = self._used.get(sheet, (0, 0))
            formulas = self._formulas.get(sheet, set())
            for top in range(1, rows + 1, 10_000):
                bottom = min(rows, top + 9_999)
                values = self.block(sheet, top, 1, bottom, columns)
                for i, line in enumerate(values):
                    for j, value in enumerate(line):
                        cell = (top + i, 1 + j)
                        if value is None or cell in formulas or (sheet, *cell) in members:
                            continue
                        # A block read can still give what an array spilled there before.
                        value = self.value(sheet, *cell)
                        if value is not None:
                            fresh.set_value(sheet, *cell, _to_engine(value))
            for row, column in formulas:
                fresh.set_formula(sheet, row, column, self._book.get_formula(sheet, row, column))
        for name, (call, min_args, max_args, volatile) in self._functions.items():
            fresh.register_function(name, call, min_args=min_args, max_args=max_args,
                                    volatile=volatile)
        self._book = fresh
        self._cleared.clear()

    def _extent(self, sheet: str, row: int, column: int) -> Optional[Extent]:
        try:
            spill = self._book.inspect_cell(_address(sheet, row, column)).to_dict()["cell"]["spill"]
        except Exception:
            return None
        if not spill or spill.get("kind") != "Anchor" or not spill.get("extent"):
            return None
        area = str(spill["extent"]).rpartition("!")[2]
        first, _, last = area.partition(":")
        top, left = _cell_of(first)
        bottom, right = _cell_of(last or first)
        return top, left, bottom, right


_NOTHING = object()
_A1 = re.compile(r"^\$?([A-Z]{1,3})\$?([0-9]+)$")


def _cell_of(text: str) -> Tuple[int, int]:
    match = _A1.match(text.strip().upper())
    if not match:
        raise ValueError(f"not a cell: {text!r}")
    column = 0
    for letter in match.group(1):
        column = column * 26 + ord(letter) - 64
    return int(match.group(2)), column


def column_name(column: int) -> str:
    letters = ""
    while column:
        column, rest = divmod(column - 1, 26)
        letters = chr(65 + rest) + letters
    return letters


def _address(sheet: str, row: int, column: int) -> str:
    quoted = sheet if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", sheet) else \
        "'" + sheet.replace("'", "''") + "'"
    return f"{quoted}!{column_name(column)}{row}"


def _argument(value: Any) -> Any:
    if isinstance(value, dict) and value.get("type") == "Error":
        return _from_engine(value)
    if isinstance(value, list):
        return [[_from_engine(item) if isinstance(item, (dict, float)) else item for item in row]
                if isinstance(row, list) else _from_engine(row) for row in value]
    return _from_engine(value) if isinstance(value, float) else value


def is_date(value: Any) -> bool:
    return isinstance(value, (datetime.date, datetime.time))
