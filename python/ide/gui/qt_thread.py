"""The GUI-thread marker: ``run_in_qt_thread`` makes a function's body run on the Qt GUI thread.

Stands in for the IDE's own decorator. What it promises:

* Calling a decorated function from any thread -- the GUI thread, a ``threading.Thread``, an
  asyncio loop's thread -- queues the call for the GUI thread and returns ``None`` at once. The
  caller never waits for the GUI thread, not even when it is the GUI thread itself.
* Queued calls run in the order they were made, each exactly once, while the GUI thread's event
  loop (or a nested one, such as a modal dialog's) runs.
* A body that raises does not stop the calls queued after it: the exception goes to
  ``sys.excepthook`` and the next call runs.
* A burst of calls does not freeze the window: the GUI thread runs queued calls for at most
  ``DRAIN_BUDGET_SECONDS`` before it lets Qt paint and handle input, then carries on.
* Calls still queued when the interpreter exits are dropped then (no event loop will run
  them), so that what they hold (a connection client and its window) is freed with the rest.

A ``QApplication`` (or ``QCoreApplication``) must exist before the first call.
"""

from __future__ import annotations

import atexit
import collections
import sys
import threading
import time
from typing import Any, Callable, Deque, Optional, Tuple, TypeVar

from PySide6.QtCore import QCoreApplication, QObject, Qt, Signal

__all__ = ["DRAIN_BUDGET_SECONDS", "run_in_qt_thread"]

# Longest stretch the GUI thread spends on queued calls before it returns to its event loop.
DRAIN_BUDGET_SECONDS = 0.02

_Call = Tuple[Callable[..., Any], tuple, dict]
F = TypeVar("F", bound=Callable[..., Any])


class _GuiThreadQueue(QObject):
    """A queue of calls drained on the thread this object lives in (the GUI thread).

    Posting wakes the GUI thread once per batch rather than once per call: one queued Qt event
    is outstanding at a time, and it drains every call posted before it runs.
    """

    _wake = Signal()

    def __init__(self) -> None:
        super().__init__()
        self._calls: Deque[_Call] = collections.deque()
        # Guards _wake_pending together with the append, so that a wake-up is never lost.
        self._lock = threading.Lock()
        self._wake_pending = False
        self._wake.connect(self._drain, Qt.ConnectionType.QueuedConnection)

    def post(self, call: _Call) -> None:
        with self._lock:
            self._calls.append(call)
            if self._wake_pending:
                return
            self._wake_pending = True
        self._wake.emit()

    def _drain(self) -> None:
        # Cleared before taking calls: a call posted from now on emits a new wake-up, which a
        # nested event loop (a modal dialog opened by a body below) delivers at once.
        with self._lock:
            self._wake_pending = False
        deadline = time.monotonic() + DRAIN_BUDGET_SECONDS
        calls = self._calls
        while calls:
            if time.monotonic() > deadline:
                with self._lock:
                    if not self._wake_pending:
                        self._wake_pending = True
                        self._wake.emit()
                return
            function, args, kwargs = calls.popleft()
            try:
                function(*args, **kwargs)
            except Exception:
                sys.excepthook(*sys.exc_info())


_queue: Optional[_GuiThreadQueue] = None
_queue_lock = threading.Lock()


def _gui_queue() -> _GuiThreadQueue:
    global _queue
    queue = _queue
    if queue is not None:
        return queue
    with _queue_lock:
        if _queue is None:
            app = QCoreApplication.instance()
            if app is None:
                raise RuntimeError("run_in_qt_thread needs a QApplication; create one first")
            queue = _GuiThreadQueue()
            # Possibly created off the GUI thread: hand it over so that its slot runs there.
            queue.moveToThread(app.thread())
            _queue = queue
        return _queue


@atexit.register
def _drop_queued_calls() -> None:
    queue = _queue
    if queue is not None:
        with queue._lock:
            queue._calls.clear()


def run_in_qt_thread(function: F) -> F:
    """Decorates `function` so that calling it queues its body for the GUI thread."""

    def post_to_gui_thread(*args: Any, **kwargs: Any) -> None:
        _gui_queue().post((function, args, kwargs))

    # functools.wraps, minus the names that a compiled function may lack or hold as None.
    for name in ("__module__", "__name__", "__qualname__", "__doc__"):
        value = getattr(function, name, None)
        if isinstance(value, str):
            setattr(post_to_gui_thread, name, value)
    post_to_gui_thread.__wrapped__ = function  # type: ignore[attr-defined]
    post_to_gui_thread.runs_in_qt_thread = True  # type: ignore[attr-defined]
    return post_to_gui_thread  # type: ignore[return-value]
