"""Workbooks: the workbook files the hub has open, by workbook id (the file's name).

A workbook is opened from a path (the command line, the IDE's Open and New), or by the name
alone, which means the file of that name in the hub's own folder of workbooks (``--kernel``, a
kernel that connects for a workbook the hub has not opened). Two files of the same name cannot
be open at once: the name is the workbook's id, which names its kernel's endpoint.
"""

from __future__ import annotations

import asyncio
import logging
import os
from typing import Awaitable, Callable, Dict, List, Optional

from .ide_protocol import workbook_name_problem
from .workbook_file import WorkbookFile, WorkbookFileError

__all__ = ["DISK_CHECK_INTERVAL", "Workbooks"]

logger = logging.getLogger(__name__)

# Seconds between looks at whether another program changed an open workbook's file.
DISK_CHECK_INTERVAL = 2.0


class Workbooks:
    def __init__(self, folder: str, on_problem: Callable[[str, str], None],
                 on_close: Optional[Callable[[str], Awaitable[None]]] = None) -> None:
        # The hub's own folder of workbooks (data folder / "workbooks").
        self.folder = folder
        # Called with (workbook id, text) when a workbook's file cannot be saved, or another
        # program changed it.
        self._on_problem = on_problem
        self.files: Dict[str, WorkbookFile] = {}
        # Called with a workbook's id before its file is closed.
        self._on_close = on_close
        self._opening = asyncio.Lock()

    def get(self, workbook_id: object) -> Optional[WorkbookFile]:
        return self.files.get(workbook_id) if isinstance(workbook_id, str) else None

    def ids(self) -> List[str]:
        return list(self.files)

    def default_path(self, name: str) -> str:
        return os.path.join(self.folder, name)

    async def open(self, path: str, create: bool = True) -> WorkbookFile:
        """The open workbook of that file, opening it first if need be; WorkbookFileError
        when it cannot be opened."""
        path = os.path.abspath(os.path.expanduser(path))
        name = os.path.basename(path)
        problem = workbook_name_problem(name)
        if problem is not None:
            raise WorkbookFileError(f"{path}: {problem}")
        async with self._opening:
            known = self.files.get(name)
            if known is not None:
                if os.path.normcase(known.path) != os.path.normcase(path):
                    raise WorkbookFileError(
                        f"{path}: a workbook named {name} is open already, from "
                        f"{os.path.dirname(known.path)}; close it first (a workbook is known "
                        "by its file's name)")
                return known
            if path.startswith(self.folder + os.sep):
                os.makedirs(self.folder, exist_ok=True)
            workbook = await WorkbookFile.open(path, create=create)
            workbook.on_problem = lambda text, wid=name: self._on_problem(wid, text)
            self.files[name] = workbook
            logger.info("Opened workbook %s (%s)", name, path)
            return workbook

    async def open_name(self, name: str) -> WorkbookFile:
        """The workbook of that name, opened from the hub's folder when it is not open."""
        known = self.files.get(name)
        return known if known is not None else await self.open(self.default_path(name))

    async def close(self, workbook_id: str) -> None:
        """Saves the workbook's file and lets go of it."""
        workbook = self.files.get(workbook_id)
        if workbook is None:
            return
        if self._on_close is not None:
            await self._on_close(workbook_id)
        self.files.pop(workbook_id, None)
        await workbook.close()

    async def close_all(self) -> None:
        for workbook_id in list(self.files):
            try:
                await self.close(workbook_id)
            except Exception:  # one workbook's failure must not keep the others unsaved
                logger.exception("Closing workbook %s failed", workbook_id)

    async def check_disks(self) -> None:
        for workbook in list(self.files.values()):
            await workbook.check_disk()

    async def watch_disks(self) -> None:
        """Looks at every open file every DISK_CHECK_INTERVAL seconds, until cancelled."""
        while True:
            await asyncio.sleep(DISK_CHECK_INTERVAL)
            try:
                await self.check_disks()
            except OSError as error:
                logger.warning("Looking at the workbook files failed: %s", error)
