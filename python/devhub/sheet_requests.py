"""Answering a kernel's spreadsheet requests, as the add-in would, over any store of cells.

The host bridge's request vocabulary (``range.get``, ``range.set``, ``range.clear``,
``sheet.names``, ``sheet.active``) over A1 addresses such as ``"B2"`` or ``"A1:C3"``, with
values in the wire format the bridge sends. Unknown actions and bad addresses are answered with
``{"error": text}``, as a real add-in would refuse them. ``SheetRequests`` holds the vocabulary;
a store says how cells are kept: ``SimulatedWorkbook`` in dictionaries, ``WorkbookFile``'s cells
in an openpyxl workbook.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["SheetRequests", "SimulatedWorkbook", "parse_cell", "parse_range"]

Cell = Tuple[int, int]  # (row, column), both from 1

_CELL = re.compile(r"^\$?([A-Za-z]{1,3})\$?([1-9][0-9]{0,6})$")
# Most cells one request may read or write (a block of 1,000 x 1,000): beyond it a request
# would make the hub build a reply it cannot send in one frame anyway.
MAX_REQUEST_CELLS = 1_000_000


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


class SheetRequests:
    """The request vocabulary; subclasses keep the cells (the five methods at the end)."""

    def __init__(self) -> None:
        self.requests: List[Dict[str, Any]] = []

    def answer(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """The answer payload for a request payload (without its requestId)."""
        self.requests.append(request)
        action = request.get("action")
        try:
            if action == "sheet.names":
                return {"value": self.sheet_names()}
            if action == "sheet.active":
                return {"value": self.active_sheet()}
            if action in ("range.get", "range.set", "range.clear"):
                sheet = self._sheet(request.get("sheet"))
                (top, left), (bottom, right) = parse_range(str(request.get("address", "")))
                if (bottom - top + 1) * (right - left + 1) > MAX_REQUEST_CELLS:
                    raise ValueError(f"a request may touch at most {MAX_REQUEST_CELLS:,} cells")
                if action == "range.get":
                    rows = [[self.get_cell(sheet, r, c) for c in range(left, right + 1)]
                            for r in range(top, bottom + 1)]
                    return {"value": rows[0][0] if len(rows) == 1 and len(rows[0]) == 1 else rows}
                if action == "range.clear":
                    for r in range(top, bottom + 1):
                        for c in range(left, right + 1):
                            self.clear_cell(sheet, r, c)
                    self.changed(request)
                    return {"value": None}
                self._write(sheet, top, left, bottom, right, request.get("value"))
                self.changed(request)
                return {"value": None}
            return {"error": f"Unknown action: {action!r}"}
        except (KeyError, ValueError, TypeError) as error:
            return {"error": str(error)}

    async def answer_request(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """`answer`, for callers on the hub's loop (a file's cells may still be loading)."""
        return self.answer(request)

    def _sheet(self, name: Optional[str]) -> str:
        name = name or self.active_sheet()
        if name not in self.sheet_names():
            raise KeyError(f"No sheet named {name!r}")
        return name

    def _write(self, sheet: str, top: int, left: int, bottom: int, right: int,
               value: Any) -> None:
        if not isinstance(value, list):  # one value fills the whole range
            for r in range(top, bottom + 1):
                for c in range(left, right + 1):
                    self.set_cell(sheet, r, c, value)
            return
        rows = value if value and isinstance(value[0], list) else [value]
        if len(rows) != bottom - top + 1 and not (top == bottom and left == right):
            raise ValueError(f"{len(rows)} rows do not fit the range")
        if sum(len(row) if isinstance(row, list) else 1 for row in rows) > MAX_REQUEST_CELLS:
            raise ValueError(f"a request may touch at most {MAX_REQUEST_CELLS:,} cells")
        for i, row in enumerate(rows):
            for j, item in enumerate(row if isinstance(row, list) else [row]):
                self.set_cell(sheet, top + i, left + j, item)

    # --- the store --------------------------------------------------------------------------

    def sheet_names(self) -> List[str]:
        raise NotImplementedError

    def active_sheet(self) -> str:
        raise NotImplementedError

    def get_cell(self, sheet: str, row: int, column: int) -> Any:
        raise NotImplementedError

    def set_cell(self, sheet: str, row: int, column: int, value: Any) -> None:
        raise NotImplementedError

    def clear_cell(self, sheet: str, row: int, column: int) -> None:
        raise NotImplementedError

    def changed(self, request: Dict[str, Any]) -> None:
        """Called after a request that changed cells (a store that saves them listens here)."""


class SimulatedWorkbook(SheetRequests):
    """Sheets of cells in dictionaries, for scripts and tests that need no file."""

    def __init__(self, sheets: Optional[List[str]] = None) -> None:
        super().__init__()
        self.sheets: Dict[str, Dict[Cell, Any]] = {name: {} for name in (sheets or ["Sheet1"])}
        self.active = next(iter(self.sheets))

    def sheet_names(self) -> List[str]:
        return list(self.sheets)

    def active_sheet(self) -> str:
        return self.active

    def get_cell(self, sheet: str, row: int, column: int) -> Any:
        return self.sheets[sheet].get((row, column))

    def set_cell(self, sheet: str, row: int, column: int, value: Any) -> None:
        self.sheets[sheet][(row, column)] = value

    def clear_cell(self, sheet: str, row: int, column: int) -> None:
        self.sheets[sheet].pop((row, column), None)
