"""SimulatedWorkbook: an in-memory workbook that answers a kernel's spreadsheet requests.

It understands the host bridge's request vocabulary (``range.get``, ``range.set``,
``range.clear``, ``sheet.names``, ``sheet.active``) over A1 addresses such as ``"B2"`` or
``"A1:C3"``, keeping values in the wire format the bridge sends. Unknown actions and bad
addresses are answered with ``{"error": text}``, as a real add-in would refuse them.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Tuple

Cell = Tuple[int, int]  # (row, column), both from 1

_CELL = re.compile(r"^\$?([A-Za-z]{1,3})\$?([1-9][0-9]{0,6})$")


def parse_cell(text: str) -> Cell:
    match = _CELL.match(text.strip())
    if not match:
        raise ValueError(f"not a cell address: {text!r}")
    column = 0
    for letter in match.group(1).upper():
        column = column * 26 + (ord(letter) - ord("A") + 1)
    return int(match.group(2)), column


def parse_range(address: str) -> Tuple[Cell, Cell]:
    """The top-left and bottom-right cells of "A1" or "A1:C3"."""
    first, _, last = address.partition(":")
    top_left = parse_cell(first)
    bottom_right = parse_cell(last) if last else top_left
    return ((min(top_left[0], bottom_right[0]), min(top_left[1], bottom_right[1])),
            (max(top_left[0], bottom_right[0]), max(top_left[1], bottom_right[1])))


class SimulatedWorkbook:
    """Sheets of cells in memory; answers request payloads as the add-in would."""

    def __init__(self, sheets: Optional[List[str]] = None) -> None:
        self.sheets: Dict[str, Dict[Cell, Any]] = {name: {} for name in (sheets or ["Sheet1"])}
        self.active = next(iter(self.sheets))
        self.requests: List[Dict[str, Any]] = []

    def answer(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """The answer payload for a request payload (without its requestId)."""
        self.requests.append(request)
        action = request.get("action")
        try:
            if action == "sheet.names":
                return {"value": list(self.sheets)}
            if action == "sheet.active":
                return {"value": self.active}
            if action in ("range.get", "range.set", "range.clear"):
                cells = self._sheet(request.get("sheet"))
                (top, left), (bottom, right) = parse_range(str(request.get("address", "")))
                if action == "range.get":
                    rows = [[cells.get((r, c)) for c in range(left, right + 1)]
                            for r in range(top, bottom + 1)]
                    return {"value": rows[0][0] if len(rows) == 1 and len(rows[0]) == 1 else rows}
                if action == "range.clear":
                    for r in range(top, bottom + 1):
                        for c in range(left, right + 1):
                            cells.pop((r, c), None)
                    return {"value": None}
                self._write(cells, top, left, bottom, right, request.get("value"))
                return {"value": None}
            return {"error": f"Unknown action: {action!r}"}
        except (KeyError, ValueError) as error:
            return {"error": str(error)}

    def _sheet(self, name: Optional[str]) -> Dict[Cell, Any]:
        name = name or self.active
        if name not in self.sheets:
            raise KeyError(f"No sheet named {name!r}")
        return self.sheets[name]

    @staticmethod
    def _write(cells: Dict[Cell, Any], top: int, left: int, bottom: int, right: int,
               value: Any) -> None:
        if not isinstance(value, list):  # one value fills the whole range
            for r in range(top, bottom + 1):
                for c in range(left, right + 1):
                    cells[(r, c)] = value
            return
        rows = value if value and isinstance(value[0], list) else [value]
        if len(rows) != bottom - top + 1 and not (top == bottom and left == right):
            raise ValueError(f"{len(rows)} rows do not fit the range")
        for i, row in enumerate(rows):
            for j, item in enumerate(row):
                cells[(top + i, left + j)] = item
