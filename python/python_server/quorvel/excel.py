"""The spreadsheet as user code sees it: a thin object model over blocking requests.

Every operation is one request sent through ``messaging.send_request_sync`` (looked
up on each call, because the kernel installs its own sender after import).

Request vocabulary. A request is a dict ``{"action": <name>, **params}``; the answer
is a dict holding either ``"value"`` (in the ``Serializer`` wire format) or
``"error"`` (a text, raised here as ``ExcelError``). ``sheet`` may be ``None``,
meaning the active sheet.

=================  ==========================================  =========================
action             params                                      value of the answer
=================  ==========================================  =========================
``range.get``      ``sheet``, ``address``                      a scalar for one cell, a
                                                               2-D list for a block
``range.set``      ``sheet``, ``address``, ``value`` (wire)    ``None``
``range.clear``    ``sheet``, ``address``                      ``None``
``sheet.names``    (none)                                      list of sheet names
``sheet.active``   (none)                                      name of the active sheet
=================  ==========================================  =========================
"""

from __future__ import annotations

from typing import Any, List, Optional

from . import messaging
from .serializer import Serializer

__all__ = ["Context", "Excel", "ExcelError", "Range"]


class ExcelError(Exception):
    """The spreadsheet refused or failed a request; the text is its explanation."""


class Excel:
    """Entry point to the connected workbook."""

    def request(self, action: str, **params: Any) -> Any:
        """Send ``{"action": action, **params}`` and return the answer's value, read from the wire.

        ``params`` go out as given: callers convert values with ``Serializer.to_wire``.
        """
        answer = messaging.send_request_sync({"action": action, **params})
        if not isinstance(answer, dict):
            raise ExcelError(f"The spreadsheet gave a malformed answer to {action!r}: {answer!r}")
        if "error" in answer:
            raise ExcelError(str(answer["error"]))
        return Serializer.from_wire(answer.get("value"))

    def range(self, address: str, sheet: Optional[str] = None) -> Range:
        """The cells at ``address`` (such as ``"A1"`` or ``"B2:D5"``) on ``sheet`` (default:
        active)."""
        return Range(self, address, sheet)

    def sheet_names(self) -> List[str]:
        names = self.request("sheet.names")
        if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
            raise ExcelError(f"The spreadsheet answered 'sheet.names' with {names!r}, "
                             f"not a list of names")
        return names

    def active_sheet(self) -> str:
        name = self.request("sheet.active")
        if not isinstance(name, str):
            raise ExcelError(f"The spreadsheet answered 'sheet.active' with {name!r}, not a name")
        return name


class Range:
    """A block of cells; reading or writing ``value`` is a request each time (nothing is cached)."""

    def __init__(self, excel: Excel, address: str, sheet: Optional[str] = None) -> None:
        if not isinstance(address, str) or not address.strip():
            raise ValueError(f"A range address must be a non-empty string, got {address!r}")
        if sheet is not None and not isinstance(sheet, str):
            raise TypeError(f"A sheet name must be a string or None, got {type(sheet).__name__!r}")
        if sheet is None and "!" in address:  # "Sheet1!A1", as event handlers are given
            sheet, address = address.rsplit("!", 1)
            if len(sheet) > 1 and sheet[0] == sheet[-1] == "'":
                sheet = sheet[1:-1].replace("''", "'")
        self._excel = excel
        self.address = address
        self.sheet = sheet

    @property
    def value(self) -> Any:
        return self._excel.request("range.get", sheet=self.sheet, address=self.address)

    @value.setter
    def value(self, new_value: Any) -> None:
        # Convert before sending so an unsupported value fails here, not in the spreadsheet.
        wire = Serializer.to_wire(new_value)
        self._excel.request("range.set", sheet=self.sheet, address=self.address, value=wire)

    def clear(self) -> None:
        self._excel.request("range.clear", sheet=self.sheet, address=self.address)

    def __repr__(self) -> str:
        return f"Range(address={self.address!r}, sheet={self.sheet!r})"


class Context:
    """Where the running code was called from; the kernel fills it in, user code reads it.

    ``workbook_id`` -- the workbook this kernel serves; ``caller`` -- the cell address of
    the calling formula, when known; ``source`` -- what started the run (as the kernel
    names it). Plain attributes: reading them sends nothing.
    """

    def __init__(
        self,
        workbook_id: Optional[str] = None,
        caller: Optional[str] = None,
        source: Optional[str] = None,
    ) -> None:
        self.workbook_id = workbook_id
        self.caller = caller
        self.source = source

    def __repr__(self) -> str:
        return (f"Context(workbook_id={self.workbook_id!r}, caller={self.caller!r}, "
                f"source={self.source!r})")
