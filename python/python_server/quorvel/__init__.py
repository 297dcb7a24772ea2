"""``quorvel``: the module user code imports to reach the spreadsheet.

The kernel registers this package as ``sys.modules["quorvel"]``, so ``import quorvel``
in a workbook's code gets it. It offers:

* ``excel`` -- the connected workbook (``excel.range("A1").value = 3``); ``context`` --
  where the running code was called from. Both are created once, at import.
* ``Excel``, ``Range``, ``Context``, ``ExcelError`` -- their classes and the error
  raised when the spreadsheet refuses a request.
* ``Serializer`` -- the value conversion to and from the wire; ``CellError`` -- a cell
  error value (``CellError("#N/A")``) that code can return.
* ``function`` -- the decorator marking a worksheet function (see ``worksheet_functions``);
  a generator function so marked is a streaming one: its cells take each value it yields.
* ``on`` -- the decorator binding a function to an event of the workbook (see
  ``workbook_events``).
* ``messaging`` -- the kernel's sender and the callable registry.
* ``old_com`` -- preparation of the Windows host.

The kernel also sets ``connection_args`` (how it was started) and ``_kernel_instance``
(itself); without a kernel they stay ``{}`` and ``None``, and every spreadsheet
request fails with a ``RuntimeError`` saying no kernel is connected.

Kept objects live in the kernel between calls, so that one cell can store what a later cell
or function reads: ``save_object(key, value)``, ``get_object(key)`` (``None`` when nothing is
kept under ``key``), ``clear_object(key)``, ``clear_all_objects()`` and
``get_object_registry()`` (one ``{"key", "type", "repr"}`` entry per object; a ``repr``
longer than the kernel's ``MAX_REPR_LENGTH`` is cut there). The IDE's object panel is told of
every change. ``set_enable_events(enable)`` and ``show_message_box(message, title, type)``
ask the spreadsheet to switch its event handling and to show a message. All of them call the
connected kernel and raise ``RuntimeError`` when there is none.
"""

from __future__ import annotations

import sys
from typing import Any, Dict, List

from . import messaging, old_com
from .excel import Context, Excel, ExcelError, Range
from .serializer import CellError, Serializer
from .workbook_events import on
from .worksheet_functions import function

__all__ = [
    "CellError",
    "Context",
    "Excel",
    "ExcelError",
    "Range",
    "Serializer",
    "clear_all_objects",
    "clear_object",
    "connection_args",
    "context",
    "excel",
    "function",
    "get_object",
    "get_object_registry",
    "messaging",
    "old_com",
    "on",
    "save_object",
    "set_enable_events",
    "show_message_box",
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


def _kernel() -> Any:
    kernel = _kernel_instance
    if kernel is None:
        raise RuntimeError("No kernel is connected: kept objects and spreadsheet messages "
                           "are unavailable")
    return kernel


def save_object(key: str, value: Any) -> None:
    """Keep ``value`` under ``key`` (a non-empty string), replacing what was kept there."""
    _kernel().save_object(key, value)


def get_object(key: str) -> Any:
    """The object kept under ``key``, or ``None``."""
    return _kernel().get_object(key)


def clear_object(key: str) -> None:
    """Forget the object kept under ``key``, if any."""
    _kernel().clear_object(key)


def clear_all_objects() -> None:
    """Forget every kept object."""
    _kernel().clear_all_objects()


def get_object_registry() -> List[Dict[str, str]]:
    """One ``{"key", "type", "repr"}`` entry per kept object, in the order they were saved."""
    return _kernel().get_object_registry()


def set_enable_events(enable: bool) -> None:
    """Ask the spreadsheet to turn its event handling on or off."""
    _kernel().set_enable_events(enable)


def show_message_box(message: str, title: str = "Quorvel", type: str = "Info") -> None:
    """Ask the spreadsheet to show ``message`` in a box ("Info", "Warning" or "Error")."""
    _kernel().show_message_box(message, title, type)
