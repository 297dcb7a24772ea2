"""The kernel's assistant component.

It acts on the spreadsheet only through the two objects it is given: the workbook
(``excel``, the ``quorvel.excel`` object model) and the calling ``context``. For now
it only holds them; the kernel may construct it unconditionally.
"""

from __future__ import annotations

from typing import Any

__all__ = ["Agent"]


class Agent:
    def __init__(self, excel: Any, context: Any) -> None:
        self.excel = excel
        self.context = context
