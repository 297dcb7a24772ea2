"""BackgroundHub: a DevHub running on its own thread and event loop.

For programs whose main thread belongs to something else, such as a Qt application: the
scripted IDE session of `make demo` and the end-to-end tests drive the IDE on the main thread
while the hub and the kernels it launched run here.
"""

from __future__ import annotations

import asyncio
import threading
from typing import Any, Awaitable, Optional, TypeVar

from .hub import DevHub

T = TypeVar("T")


class BackgroundHub:
    """Starts a DevHub on a daemon thread; `call` runs a coroutine on its loop and waits."""

    def __init__(self, **hub_options: Any) -> None:
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="devhub", daemon=True)
        self._thread.start()
        self.hub: DevHub = self.call(DevHub(**hub_options).start())

    @property
    def port(self) -> int:
        return self.hub.port

    def call(self, awaitable: Awaitable[T], timeout: Optional[float] = 60.0) -> T:
        return asyncio.run_coroutine_threadsafe(awaitable, self._loop).result(timeout)  # type: ignore[arg-type]

    def stop(self) -> None:
        self.call(self.hub.stop())
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)
        self._loop.close()
