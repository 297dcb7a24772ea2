"""The line debugger for user code run in the kernel.

Not built yet: constructing it refuses with ``NotImplementedError``, so a debug
request fails with that message rather than running undebugged.
"""

from __future__ import annotations

from typing import Any

__all__ = ["QuorvelDebugger"]


class QuorvelDebugger:
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise NotImplementedError("The line debugger is not built yet")
