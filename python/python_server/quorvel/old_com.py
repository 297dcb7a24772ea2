"""Preparation of the Windows spreadsheet host, which the kernel reaches through COM.

Only Windows has that host; the kernel calls ``init_excel_host`` there and nowhere
else. Here it records which workbook this process serves (``host``), the identity
the COM layer needs to find the right workbook; attaching to the host itself is
the COM watcher's job. Other platforms are refused with ``RuntimeError``.
"""

from __future__ import annotations

import sys
from typing import Dict, Optional

__all__ = ["host", "init_excel_host"]

# {"tag": ..., "workbook_id": ...} once prepared.
host: Optional[Dict[str, str]] = None


def init_excel_host(tag: str, workbook_id: str) -> None:
    global host
    # Read at call time so the platform check follows sys.platform as it is now.
    if sys.platform != "win32":
        raise RuntimeError("The Windows spreadsheet host is not available on this platform")
    if not isinstance(tag, str) or not isinstance(workbook_id, str):
        raise TypeError("init_excel_host needs a string tag and a string workbook id")
    host = {"tag": tag, "workbook_id": workbook_id}
