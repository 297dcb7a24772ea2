"""``OutputLevel``: how much a console line matters.

Stands in for the IDE's enumeration. ``SIMPLE`` lines (program output, results, failures) are
always shown; ``DETAILED`` lines (connection state, workbook and module bookkeeping) are shown
when the console is set to detailed output, which is its default.
"""

from __future__ import annotations

import enum

__all__ = ["OutputLevel"]


class OutputLevel(enum.IntEnum):
    SIMPLE = 1
    DETAILED = 2
