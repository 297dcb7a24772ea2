"""Windows COM integration: spreadsheet events forwarded to the kernel, and the workbook tree.

Only Windows has COM. The kernel constructs the watcher and the registrar on every
platform, so construction, ``stop()``, ``apply_config()`` and ``deliver_com_response()``
work everywhere; ``start()`` and the workbook tree refuse with ``RuntimeError`` off
Windows, and with ``NotImplementedError`` on Windows until the COM side is built.
"""

from __future__ import annotations

import sys
from typing import Any, Callable, Dict, NoReturn

__all__ = [
    "Win32ComEventRegistrar",
    "Win32ComWatcher",
    "get_win32_events_dictionary",
    "get_win32_workbook_tree",
]

# The events a Windows connection announces, with what each one means.
_EVENTS: Dict[str, str] = {
    "SheetChange": "a cell's value changed",
    "SheetActivate": "another sheet became the active sheet",
    "SheetSelectionChange": "the selected cells changed",
    "WorkbookBeforeSave": "the workbook is about to be saved",
}


def _require_windows(what: str) -> NoReturn:
    # sys.platform is read at call time so the check follows the current value.
    if sys.platform != "win32":
        raise RuntimeError(f"{what} are not available on this platform")
    raise NotImplementedError(f"{what} are not built yet")


def get_win32_events_dictionary() -> Dict[str, str]:
    """Event name -> description; a fresh dict, so callers may change it."""
    return dict(_EVENTS)


def get_win32_workbook_tree() -> Dict[str, Any]:
    """The open workbooks and their sheets as COM sees them."""
    _require_windows("Windows workbook trees")


class Win32ComWatcher:
    """Watches the COM connection to the spreadsheet host for the kernel."""

    def __init__(self, kernel: Any) -> None:
        self.kernel = kernel
        self.running = False

    def start(self, win32_tools_func: Callable[[], Any]) -> None:
        _require_windows("Windows COM events")

    def stop(self) -> None:
        self.running = False


class Win32ComEventRegistrar:
    """Subscribes to spreadsheet COM events and forwards the configured ones to the kernel.

    ``config`` (set by ``apply_config``) says which events are forwarded. A COM call
    waiting on Windows for an answer from the spreadsheet is released by
    ``deliver_com_response``; the answers are kept in ``responses`` by request id.
    """

    def __init__(self, kernel: Any) -> None:
        self.kernel = kernel
        self.running = False
        self.config: Dict[str, Any] = {}
        self.responses: Dict[str, dict] = {}

    def start(self, win32_tools_func: Callable[[], Any]) -> None:
        _require_windows("Windows COM events")

    def stop(self) -> None:
        self.running = False

    def apply_config(self, com_config: dict) -> None:
        if not isinstance(com_config, dict):
            raise TypeError(f"COM event configuration must be a dict, "
                            f"got {type(com_config).__name__!r}")
        self.config = dict(com_config)

    def deliver_com_response(self, request_id: str, response: dict) -> None:
        if not isinstance(response, dict):
            raise TypeError(f"A COM response must be a dict, got {type(response).__name__!r}")
        self.responses[request_id] = response
