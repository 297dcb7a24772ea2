"""``quorvel``: the module user code imports to reach the spreadsheet.

The kernel registers this package as ``sys.modules["quorvel"]``, so ``import quorvel``
in a workbook's code gets it. It offers:

* ``excel`` -- the connected workbook (``excel.range("A1").value = 3``); ``context`` --
  where the running code was called from. Both are created once, at import.
* ``Excel``, ``Range``, ``Context``, ``ExcelError`` -- their classes and the error
  raised when the spreadsheet refuses a request.
* ``Serializer`` -- the value conversion to and from the wire.
* ``messaging`` -- the kernel's sender and the callable registry.
* ``old_com`` -- preparation of the Windows host.

The kernel also sets ``connection_args`` (how it was started) and ``_kernel_instance``
(itself); without a kernel they stay ``{}`` and ``None``, and every spreadsheet
request fails with a ``RuntimeError`` saying no kernel is connected.
"""

from __future__ import annotations

import sys
from typing import Any

from . import messaging, old_com
from .excel import Context, Excel, ExcelError, Range
from .serializer import Serializer

__all__ = [
    "Context",
    "Excel",
    "ExcelError",
    "Range",
    "Serializer",
    "connection_args",
    "context",
    "excel",
    "messaging",
    "old_com",
]

excel = Excel()
context = Context()

connection_args: dict = {}
_kernel_instance: Any = None


def _get_win32() -> Any:
    """The pywin32 COM client module, which the kernel hands to its COM watcher on Windows."""
    if sys.platform != "win32":
        raise RuntimeError("Windows COM access is not available on this platform")
    try:
        import win32com.client  # type: ignore[import-not-found]
    except ImportError as exc:
        raise RuntimeError("Windows COM access needs the pywin32 package") from exc
    return win32com.client
