"""Conversion between Python values and the JSON values carried to the spreadsheet.

Wire format (every result of ``to_wire`` can be passed to ``json.dumps``):

* ``None``, ``bool``, ``int``, ``str`` -- themselves (subclasses such as ``IntEnum``
  become the plain type).
* ``float`` -- itself when finite. NaN and infinities are refused with ``ValueError``:
  JSON cannot carry them.
* ``datetime.datetime`` -- ``{"__type__": "datetime", "value": dt.isoformat()}``, for
  example ``"2024-01-31T13:45:00"``; microseconds and a UTC offset are kept when present.
* ``datetime.date`` -- ``{"__type__": "date", "value": "2024-01-31"}``.
* A list or tuple is either a *row* (every item a scalar above) or a *block* (every
  item a row: a 2-D range, rows may differ in length). Both become JSON arrays, so
  tuples come back as lists. Mixing scalars and rows in one list, or nesting deeper
  than two levels, is refused.

Anything else (dicts, sets, bytes, other objects) is refused with ``TypeError``
naming the type. ``from_wire`` reads exactly this format back and refuses malformed
input: ``ValueError`` for an object without a known ``__type__`` tag, bad tag contents
or non-finite numbers; ``TypeError`` for Python values JSON could not have produced.
"""

from __future__ import annotations

import datetime
import math
from typing import Any, Callable

__all__ = ["Serializer"]

_SUPPORTED = (
    "supported are None, bool, int, float, str, date, datetime, and lists or 2-D lists of these"
)


def _scalar_to_wire(value: Any) -> Any:
    if value is None:
        return None
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"Cannot send {value!r} to the spreadsheet: JSON has no NaN or infinity")
        return float(value)
    if isinstance(value, str):
        return str(value)
    # datetime first: it is a subclass of date.
    if isinstance(value, datetime.datetime):
        return {"__type__": "datetime", "value": value.isoformat()}
    if isinstance(value, datetime.date):
        return {"__type__": "date", "value": value.isoformat()}
    raise TypeError(f"Cannot send a value of type {type(value).__name__!r} to the spreadsheet: {_SUPPORTED}")


def _scalar_from_wire(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"Wire value {value!r} is not a finite number")
        return value
    if isinstance(value, dict):
        return _tagged_from_wire(value)
    raise TypeError(f"Cannot read a wire value of type {type(value).__name__!r}")


_TAG_READERS: dict[str, Callable[[str], Any]] = {
    "date": datetime.date.fromisoformat,
    "datetime": datetime.datetime.fromisoformat,
}


def _tagged_from_wire(obj: dict) -> Any:
    tag = obj.get("__type__")
    reader = _TAG_READERS.get(tag) if isinstance(tag, str) else None
    if reader is None:
        raise ValueError(f"Wire object has no known '__type__' tag (got {tag!r}); known tags: date, datetime")
    text = obj.get("value")
    if set(obj) != {"__type__", "value"} or not isinstance(text, str):
        raise ValueError(f"Wire object tagged {tag!r} must hold exactly a string 'value', got {obj!r}")
    try:
        return reader(text)
    except ValueError:
        raise ValueError(f"Wire value {text!r} is not a valid {tag}") from None


def _convert(value: Any, scalar: Callable[[Any], Any], direction: str) -> Any:
    """Apply ``scalar`` to a scalar, a row or a block, enforcing the row/block shape."""
    if not isinstance(value, (list, tuple)):
        return scalar(value)
    nested = [isinstance(item, (list, tuple)) for item in value]
    if not any(nested):
        return [scalar(item) for item in value]
    if not all(nested):
        raise TypeError(f"Cannot {direction} a list that mixes scalars and lists: {_SUPPORTED}")
    block = []
    for row in value:
        if any(isinstance(item, (list, tuple)) for item in row):
            raise TypeError(f"Cannot {direction} lists nested deeper than 2 levels: {_SUPPORTED}")
        block.append([scalar(item) for item in row])
    return block


class Serializer:
    """Python values to and from the spreadsheet wire format (see the module docstring)."""

    @staticmethod
    def to_wire(value: Any) -> Any:
        """The JSON-ready form of ``value``; raises ``TypeError``/``ValueError`` if it has none."""
        return _convert(value, _scalar_to_wire, "send")

    @staticmethod
    def from_wire(value: Any) -> Any:
        """The Python value for a wire value produced by ``to_wire`` (or plain JSON)."""
        return _convert(value, _scalar_from_wire, "read")
