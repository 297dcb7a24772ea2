"""Conversion between Python values and the JSON values carried to the spreadsheet.

Wire format (every result of ``to_wire`` can be passed to ``json.dumps``):

* ``None``, ``bool``, ``int``, ``str`` -- themselves (subclasses such as ``IntEnum``
  become the plain type). ``None`` is an empty cell.
* ``float`` -- itself when finite. NaN and infinities, which JSON cannot carry, become
  the cell error ``#NUM!``.
* ``datetime.datetime`` -- ``{"__type__": "datetime", "value": dt.isoformat()}``, for
  example ``"2024-01-31T13:45:00"``; microseconds and a UTC offset are kept when present.
* ``datetime.date`` -- ``{"__type__": "date", "value": "2024-01-31"}``.
* ``CellError`` -- ``{"__type__": "error", "value": "#N/A"}`` (the code, one of
  ``CellError.CODES``).
* ``decimal.Decimal`` -- the nearest ``float``; NaN, infinities and values beyond the
  float range become ``#NUM!``.
* A list or tuple is either a *row* (every item a scalar above) or a *block* (every
  item a row: a 2-D range, rows may differ in length). Both become JSON arrays, so
  tuples come back as lists. Mixing scalars and rows in one list, or nesting deeper
  than two levels, is refused.

numpy values (recognised only when user code has imported numpy):

* Scalars become the plain values: ``np.bool_`` a bool, integers an int, floats a float
  (NaN and infinities ``#NUM!``), ``np.str_`` a str, ``np.datetime64`` a naive
  ``datetime`` at microsecond precision (a day-precision one too, at midnight; ``NaT``
  is an empty cell; a year outside 1..9999 is refused with ``ValueError``).
* A 0-d array is its scalar, a 1-D array a row, a 2-D array a block. Arrays of more
  dimensions, and arrays of complex, bytes, timedelta or structured dtype, are refused
  with ``TypeError``. Arrays are read only at the top: an array inside a list is refused.

pandas values (recognised only when user code has imported pandas):

* A ``DataFrame`` is a block: a header row of the column labels (each converted as a
  scalar; a ``MultiIndex`` label is its levels as text joined with ``" / "``), then one
  row per record. Its index comes first, as one column per level, unless it is the
  default one (an unnamed ``RangeIndex`` counting 0, 1, 2, ...); the header of an index
  column is the level's name, or ``""`` when it has none.
* A ``Series`` is a column: a block of one-item rows ``[[v1], [v2], ...]``, its index
  first as for a frame (``[[i1, v1], ...]``). A named series gets a header row, its
  name (after the index headers when the index is shown); an unnamed one gets none.
* Missing values inside a frame or a series -- NaN, ``None``, ``NaT``, ``pd.NA`` --
  become empty cells (``None``); an infinity there is still ``#NUM!``. Outside them a
  float NaN stays ``#NUM!`` (in lists and numpy arrays too), while ``pd.NaT`` and
  ``pd.NA`` are empty wherever they appear.
* ``pd.Timestamp`` is a ``datetime`` (nanoseconds are dropped; its UTC offset kept).

Anything else (dicts, sets, bytes, other objects) is refused with ``TypeError``
naming the type. ``from_wire`` reads exactly this format back (an error as a
``CellError``) and refuses malformed input: ``ValueError`` for an object without a
known ``__type__`` tag, bad tag contents or non-finite numbers; ``TypeError`` for
Python values JSON could not have produced.
"""

from __future__ import annotations

import datetime
import sys
from math import isfinite
from typing import Any, Callable

__all__ = ["CellError", "Serializer"]

_SUPPORTED = (
    "supported are None, bool, int, float, str, date, datetime, Decimal, CellError, "
    "numpy scalars and arrays, pandas DataFrame and Series, and lists or 2-D lists of these"
)

_DATETIME = datetime.datetime
_DATE = datetime.date


class CellError:
    """A cell error value, such as ``CellError("#N/A")``: return it to show that error in a cell.

    The code is one of ``CellError.CODES`` (given in any letter case); two errors are
    equal when their codes are.
    """

    CODES = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A",
             "#SPILL!", "#CALC!", "#BUSY!")

    __slots__ = ("_code",)

    def __init__(self, code: str) -> None:
        if not isinstance(code, str):
            raise TypeError(f"A cell error code must be a string, got {type(code).__name__!r}")
        normal = code.strip().upper()
        if normal not in self.CODES:
            raise ValueError(f"{code!r} is not a cell error code; "
                             f"valid codes: {', '.join(self.CODES)}")
        self._code = normal

    @property
    def code(self) -> str:
        return self._code

    def __eq__(self, other: object) -> bool:
        if isinstance(other, CellError):
            return self._code == other._code
        return NotImplemented

    def __hash__(self) -> int:
        return hash((CellError, self._code))

    def __repr__(self) -> str:
        return f"CellError({self._code!r})"

    def __str__(self) -> str:
        return self._code


def _num_error() -> dict:
    return {"__type__": "error", "value": "#NUM!"}


class _Nested(TypeError):
    """A list met where a scalar belongs; the shape check turns it into a clear message."""


def _scalar_to_wire(value: Any) -> Any:
    # The common types by exact type first: the worksheet formulas call this thousands of
    # times a second. Everything else goes through the slower checks.
    cls = type(value)
    if cls is str or cls is int or cls is bool or value is None:
        return value
    if cls is float:
        return value if isfinite(value) else _num_error()
    return _other_scalar_to_wire(value)


def _other_scalar_to_wire(value: Any) -> Any:
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):  # np.float64 too
        return float(value) if isfinite(value) else _num_error()
    if isinstance(value, str):  # np.str_ too
        return str(value)
    # datetime first: it is a subclass of date.
    if isinstance(value, _DATETIME):
        return _datetime_to_wire(value)
    if isinstance(value, _DATE):
        if type(value) is not _DATE:
            value = _DATE(value.year, value.month, value.day)
        return {"__type__": "date", "value": value.isoformat()}
    if isinstance(value, CellError):
        return {"__type__": "error", "value": value.code}
    if isinstance(value, (list, tuple)):
        raise _Nested(type(value).__name__)
    # A value can only come from one of these libraries if user code imported it, so they
    # are looked up, never imported here.
    decimal = sys.modules.get("decimal")
    if decimal is not None and isinstance(value, decimal.Decimal):
        number = float(value) if value.is_finite() else None
        return number if number is not None and isfinite(number) else _num_error()
    numpy = sys.modules.get("numpy")
    if numpy is not None:
        if isinstance(value, numpy.generic):
            return _numpy_scalar_to_wire(value, numpy)
        if isinstance(value, numpy.ndarray):
            if value.ndim == 0:
                return _scalar_to_wire(value[()])
            raise TypeError("Cannot send a numpy array inside a list to the spreadsheet: send the "
                            "array itself (1-D or 2-D) or convert it with .tolist()")
    pandas = sys.modules.get("pandas")
    if pandas is not None and (value is pandas.NA or value is pandas.NaT):
        return None
    raise TypeError(f"Cannot send a value of type {type(value).__name__!r} to the spreadsheet: "
                    f"{_SUPPORTED}")


def _datetime_to_wire(value: datetime.datetime) -> Any:
    if type(value) is not _DATETIME:
        pandas = sys.modules.get("pandas")
        if pandas is not None and value is pandas.NaT:
            return None
        # A subclass (pd.Timestamp) may print nanoseconds that no reader takes back.
        value = _DATETIME(value.year, value.month, value.day, value.hour, value.minute,
                          value.second, value.microsecond, value.tzinfo,
                          fold=getattr(value, "fold", 0))
    return {"__type__": "datetime", "value": value.isoformat()}


def _numpy_scalar_to_wire(value: Any, numpy: Any) -> Any:
    if isinstance(value, numpy.timedelta64):  # before integer: it is one for numpy
        raise TypeError(f"Cannot send a value of type 'timedelta64' to the spreadsheet: "
                        f"{_SUPPORTED}")
    if isinstance(value, numpy.bool_):
        return bool(value)
    if isinstance(value, numpy.integer):
        return int(value)
    if isinstance(value, numpy.floating):  # float16, float32, longdouble
        number = float(value)
        return number if isfinite(number) else _num_error()
    if isinstance(value, numpy.datetime64):
        if numpy.isnat(value):
            return None
        _check_datetime_range(value, numpy)
        return _datetime_to_wire(value.astype("datetime64[us]").item())
    raise TypeError(f"Cannot send a value of type {type(value).__name__!r} to the spreadsheet: "
                    f"{_SUPPORTED}")


def _check_datetime_range(values: Any, numpy: Any) -> None:
    """Refuse datetime64 values that a ``datetime`` cannot hold (``values`` has no NaT)."""
    if not numpy.size(values):
        return
    # Compared as days: in a finer unit the bounds themselves would overflow.
    days = numpy.asarray(values).astype("datetime64[D]")
    if (days.min() < numpy.datetime64("0001-01-01", "D")
            or days.max() > numpy.datetime64("9999-12-31", "D")):
        raise ValueError("Cannot send a numpy datetime64 outside the years 1 to 9999 "
                         "to the spreadsheet")


def _rows(value: Any, scalar: Callable[[Any], Any], direction: str) -> Any:
    """Apply ``scalar`` to a row or a block, enforcing the row/block shape."""
    if not value or not isinstance(value[0], (list, tuple)):
        try:
            return [scalar(item) for item in value]
        except _Nested:
            raise TypeError(f"Cannot {direction} a list that mixes scalars and lists: "
                            f"{_SUPPORTED}") from None
    block = []
    try:
        for row in value:
            if not isinstance(row, (list, tuple)):
                raise TypeError(f"Cannot {direction} a list that mixes scalars and lists: "
                                f"{_SUPPORTED}")
            block.append([scalar(item) for item in row])
    except _Nested:
        raise TypeError(f"Cannot {direction} lists nested deeper than 2 levels: "
                        f"{_SUPPORTED}") from None
    return block


def _array_to_wire(array: Any, numpy: Any) -> Any:
    if array.ndim == 0:
        return _scalar_to_wire(array[()])
    if array.ndim > 2:
        raise TypeError(f"Cannot send a {array.ndim}-dimensional numpy array to the spreadsheet: "
                        f"a 1-D array is a row, a 2-D array a block")
    kind = array.dtype.kind
    if kind == "M":
        present = array[~numpy.isnat(array)]
        _check_datetime_range(present, numpy)
        # NaT becomes None here.
        items = array.astype("datetime64[us]").tolist()
    elif kind in "biufUO":
        # tolist() gives plain Python scalars, much faster than converting item by item.
        items = array.tolist()
    else:
        raise TypeError(f"Cannot send a numpy array of dtype {array.dtype} to the spreadsheet: "
                        f"{_SUPPORTED}")
    try:
        if array.ndim == 1:
            return [_scalar_to_wire(item) for item in items]
        return [[_scalar_to_wire(item) for item in row] for row in items]
    except _Nested:
        raise TypeError(f"Cannot send a numpy array holding lists to the spreadsheet: "
                        f"{_SUPPORTED}") from None


def _pandas_cell(pandas: Any) -> Callable[[Any], Any]:
    """The converter for a value inside a frame or a series: missing values are empty cells."""
    missing_na, missing_nat = pandas.NA, pandas.NaT

    def cell(value: Any) -> Any:
        cls = type(value)
        if cls is str or cls is int or cls is bool or value is None:
            return value
        if cls is float or isinstance(value, float):
            if isfinite(value):
                return float(value)
            return None if value != value else _num_error()
        if value is missing_na or value is missing_nat:
            return None
        try:
            return _scalar_to_wire(value)
        except _Nested:
            raise TypeError(f"Cannot send a pandas value holding a list to the spreadsheet: "
                            f"{_SUPPORTED}") from None

    return cell


def _label_to_wire(label: Any, cell: Callable[[Any], Any]) -> Any:
    if isinstance(label, tuple):
        return " / ".join("" if _missing(part) else str(part) for part in label)
    return cell(label)


def _missing(part: Any) -> bool:
    pandas = sys.modules["pandas"]
    return (part is None or part is pandas.NA or part is pandas.NaT
            or (isinstance(part, float) and part != part))


def _index_columns(index: Any, pandas: Any, cell: Callable[[Any], Any]) -> tuple[list, list]:
    """The header and the per-row cells of the index columns; both empty for a default index."""
    if (isinstance(index, pandas.RangeIndex) and index.start == 0 and index.step == 1
            and index.name is None):
        return [], []
    header = ["" if name is None else cell(name) for name in index.names]
    if isinstance(index, pandas.MultiIndex):
        rows = [[cell(part) for part in key] for key in index.tolist()]
    else:
        rows = [[cell(key)] for key in index.tolist()]
    return header, rows


def _frame_to_wire(frame: Any, pandas: Any) -> list:
    cell = _pandas_cell(pandas)
    index_header, index_rows = _index_columns(frame.index, pandas, cell)
    header = index_header + [_label_to_wire(label, cell) for label in frame.columns]
    # Column by column: each column's tolist() gives plain Python values of one kind.
    columns = [[cell(item) for item in frame.iloc[:, position].tolist()]
               for position in range(frame.shape[1])]
    records = ([list(record) for record in zip(*columns)] if columns
               else [[] for _ in range(len(frame))])
    if index_rows:
        records = [keys + record for keys, record in zip(index_rows, records)]
    return [header] + records


def _series_to_wire(series: Any, pandas: Any) -> list:
    cell = _pandas_cell(pandas)
    index_header, index_rows = _index_columns(series.index, pandas, cell)
    values = [[cell(item)] for item in series.tolist()]
    if index_rows:
        values = [keys + value for keys, value in zip(index_rows, values)]
    if series.name is None:
        return values
    return [index_header + [_label_to_wire(series.name, cell)]] + values


def _other_to_wire(value: Any) -> Any:
    """A top-level value that is neither a plain scalar nor a list."""
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(value, numpy.ndarray):
        return _array_to_wire(value, numpy)
    pandas = sys.modules.get("pandas")
    if pandas is not None:
        if isinstance(value, pandas.DataFrame):
            return _frame_to_wire(value, pandas)
        if isinstance(value, pandas.Series):
            return _series_to_wire(value, pandas)
    if isinstance(value, (list, tuple)):
        return _rows(value, _scalar_to_wire, "send")
    return _other_scalar_to_wire(value)


def _scalar_from_wire(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if not isfinite(value):
            raise ValueError(f"Wire value {value!r} is not a finite number")
        return value
    if isinstance(value, dict):
        return _tagged_from_wire(value)
    if isinstance(value, (list, tuple)):
        raise _Nested(type(value).__name__)
    raise TypeError(f"Cannot read a wire value of type {type(value).__name__!r}")


_TAG_READERS: dict[str, Callable[[str], Any]] = {
    "date": datetime.date.fromisoformat,
    "datetime": datetime.datetime.fromisoformat,
    "error": CellError,
}


def _tagged_from_wire(obj: dict) -> Any:
    tag = obj.get("__type__")
    reader = _TAG_READERS.get(tag) if isinstance(tag, str) else None
    if reader is None:
        raise ValueError(f"Wire object has no known '__type__' tag (got {tag!r}); "
                         f"known tags: {', '.join(_TAG_READERS)}")
    text = obj.get("value")
    if set(obj) != {"__type__", "value"} or not isinstance(text, str):
        raise ValueError(f"Wire object tagged {tag!r} must hold exactly a string 'value', "
                         f"got {obj!r}")
    try:
        return reader(text)
    except ValueError:
        raise ValueError(f"Wire value {text!r} is not a valid {tag}") from None


class Serializer:
    """Python values to and from the spreadsheet wire format (see the module docstring)."""

    @staticmethod
    def to_wire(value: Any) -> Any:
        """The JSON-ready form of ``value``; raises ``TypeError``/``ValueError`` if it has none."""
        cls = type(value)
        if cls is list or cls is tuple:
            return _rows(value, _scalar_to_wire, "send")
        if cls is str or cls is int or cls is bool or value is None:
            return value
        if cls is float:
            return value if isfinite(value) else _num_error()
        return _other_to_wire(value)

    @staticmethod
    def from_wire(value: Any) -> Any:
        """The Python value for a wire value produced by ``to_wire`` (or plain JSON)."""
        if isinstance(value, (list, tuple)):
            return _rows(value, _scalar_from_wire, "read")
        return _scalar_from_wire(value)
