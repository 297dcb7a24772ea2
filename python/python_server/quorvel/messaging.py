"""The link between user code and the kernel's connection to the spreadsheet.

The kernel fills in this module when it connects:

* ``loop`` -- the kernel's asyncio event loop; ``loop_thread`` -- the thread running it.
* ``send_request_sync`` -- replaced by the kernel (``messaging.send_request_sync = fn``)
  with a function that sends one request dict to the spreadsheet and blocks until
  the answer dict arrives. Until then the default refuses with ``RuntimeError``,
  so user code run without a kernel fails with a readable message instead of hanging.

It also keeps the callable registry: objects that the spreadsheet may call back
later (handlers, functions behind cells) are registered here and referred to on the
wire by an opaque id. The registry is safe to use from any thread.
"""

from __future__ import annotations

import asyncio
import threading
import uuid
from typing import Any, Callable, Dict, Optional

__all__ = [
    "get_callable",
    "loop",
    "loop_thread",
    "register_callable",
    "reset",
    "send_request_sync",
    "unregister_callable",
]

loop: Optional[asyncio.AbstractEventLoop] = None
loop_thread: Optional[threading.Thread] = None


def _send_request_without_kernel(req: dict, timeout: float = 30.0) -> dict:
    raise RuntimeError("No kernel is connected: spreadsheet requests are unavailable")


send_request_sync: Callable[..., dict] = _send_request_without_kernel

_callables: Dict[str, Any] = {}
_callables_lock = threading.Lock()


def register_callable(obj: Any) -> str:
    """Remember ``obj`` and return its new id (32 lowercase hex digits)."""
    if not callable(obj):
        raise TypeError(f"Only callables can be registered, not a value of type "
                        f"{type(obj).__name__!r}")
    callable_id = uuid.uuid4().hex
    with _callables_lock:
        _callables[callable_id] = obj
    return callable_id


def get_callable(callable_id: str) -> Optional[Any]:
    """The object registered under ``callable_id``, or ``None``."""
    with _callables_lock:
        return _callables.get(callable_id)


def unregister_callable(callable_id: str) -> bool:
    """Forget ``callable_id``; ``True`` if it was registered."""
    with _callables_lock:
        return _callables.pop(callable_id, None) is not None


def reset() -> None:
    """Return to the unconnected state: empty registry, no loop, default sender."""
    global loop, loop_thread, send_request_sync
    with _callables_lock:
        _callables.clear()
    loop = None
    loop_thread = None
    send_request_sync = _send_request_without_kernel
