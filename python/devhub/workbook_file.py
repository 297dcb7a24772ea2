"""WorkbookFile: one open .xlsx workbook, whose cells, Python modules, packages and settings
the hub holds, and keeps on disk so that nothing it acknowledged is lost.

What it promises:

* **Durable before acknowledged.** A change of a module, of the package list or of a setting
  returns only once it is on the disk: it is appended to the workbook's journal and flushed
  (``workbook_journal``), about 0.2 ms, where rewriting the file would take 0.1 s for 10,000
  cells and 2.5 s for 200,000. Cell values written by user code are journaled too, without
  waiting for the disk.
* **The file itself follows** once changes have paused for `SAVE_DELAY` seconds (and at most
  `MAX_SAVE_DELAY` seconds after the first change it lacks), and when the workbook is closed:
  openpyxl writes the cells (only when cells changed; otherwise every part of the file
  is copied as it is), our part is set (``workbook_part``), and the result replaces the file
  atomically (a temporary file in the same folder, flushed, ``os.replace``, the folder
  flushed). Then the journal goes. A hub killed at any moment leaves the file as it was before
  or after a save, and the journal beside it; opening applies what the file lacks.
* **Someone else's changes are not overwritten.** The file's size and modification time are
  remembered each time the hub reads or writes it; a save that finds them changed writes
  nothing, and the workbook is in `conflict` (with the reason) until `save_as` or `reload`.
  Changes meanwhile still go to the journal, durable as ever.
* **Bad files are refused with a reason** (`WorkbookFileError`, naming the file): not a zip,
  not a workbook, a damaged or foreign part, bad module names, larger than
  `MAX_WORKBOOK_BYTES`; the file's bytes are left as they are. A read-only file opens, but
  refuses changes.

All methods run on the hub's event loop; file work runs on worker threads.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import datetime
import io
import logging
import os
import zipfile
from typing import Any, Callable, Dict, List, Optional, Tuple

import openpyxl

from .atomic_file import replacing
from .sheet_requests import SheetRequests
from .workbook_journal import FileState, Journal, journal_path, read_journal
from .workbook_part import (PartContents, WorkbookFormatError, check_module_name, read_part,
                            with_part)

__all__ = ["MAX_WORKBOOK_BYTES", "SAVE_DELAY", "WorkbookFile", "WorkbookFileError"]

logger = logging.getLogger(__name__)

# Seconds of quiet after a change before the file is rewritten with it, and the longest the
# file lacks a change while changes keep coming. Rewriting copies the whole file: under a
# stream of saves it would compete with them for the machine (they are durable in the journal
# meanwhile).
SAVE_DELAY = 1.0
MAX_SAVE_DELAY = 10.0
# Largest workbook file opened: openpyxl holds every cell of a workbook in memory, some 50
# times the file's size.
MAX_WORKBOOK_BYTES = 64 * 1024 * 1024


class WorkbookFileError(Exception):
    """A workbook file cannot be opened or changed; the text names it and says why."""


class _Conflict(Exception):
    """The file on disk is not the one the hub last read or wrote."""


def _state(stat: os.stat_result) -> FileState:
    return (stat.st_size, stat.st_mtime_ns)


def _to_cell(value: Any) -> Any:
    if isinstance(value, dict) and value.get("__type__") in ("date", "datetime"):
        text = str(value.get("value"))
        if value["__type__"] == "date":
            return datetime.date.fromisoformat(text)
        return datetime.datetime.fromisoformat(text)
    if isinstance(value, (dict, list)):
        raise ValueError(f"a cell cannot hold {type(value).__name__} {value!r:.40}")
    return value


def _from_cell(value: Any) -> Any:
    if isinstance(value, datetime.datetime):
        return {"__type__": "datetime", "value": value.isoformat()}
    if isinstance(value, datetime.date):
        return {"__type__": "date", "value": value.isoformat()}
    if isinstance(value, (datetime.time, datetime.timedelta)):
        return str(value)
    return value


class WorkbookFile(SheetRequests):
    """An open workbook file. Use ``await WorkbookFile.open(path)``."""

    def __init__(self, path: str, contents: PartContents, disk: Optional[FileState],
                 read_only: bool) -> None:
        super().__init__()
        self.path = os.path.abspath(path)
        self.modules: Dict[str, str] = dict(contents.modules)
        self.packages: List[Any] = list(contents.packages)
        self.settings: Dict[str, Any] = dict(contents.settings)
        self.read_only = read_only
        # Why the file on disk is no longer the one the hub holds, or None.
        self.conflict: Optional[str] = None
        # Called (on the loop) when the workbook comes into conflict, and when its file could
        # not be saved: with the text to show.
        self.on_problem: Callable[[str], Any] = lambda text: None
        self._disk = disk
        self._journal = Journal(journal_path(self.path))
        self._cells: Optional[openpyxl.Workbook] = None
        self._cells_problem: Optional[str] = None
        self._cells_loaded = asyncio.Event()
        self._cells_lock = asyncio.Lock()
        self._save_lock = asyncio.Lock()
        self._cells_dirty = False
        self._part_dirty = False
        # Cell changes of a journal left by an earlier run, and cell changes made before the
        # cells were loaded: applied once they are.
        self._replay: List[Dict[str, Any]] = []
        # The cell changes of a journal left by an earlier run (the file lacks them).
        self.journal_cells: List[Dict[str, Any]] = []
        # Counts reloads: what was read from the file before one is stale.
        self.generation = 0
        self._replaying = False
        self._save_timer: Optional[asyncio.TimerHandle] = None
        self._unsaved_since: Optional[float] = None  # loop time of the first change unsaved
        self._loading: Optional["asyncio.Task[None]"] = None
        self._tasks: "set[asyncio.Task[Any]]" = set()
        # One thread flushes the journal, so flushes run in the order of the changes.
        self._syncer = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="journal")

    @property
    def name(self) -> str:
        return os.path.basename(self.path)

    # --- opening ----------------------------------------------------------------------------

    @classmethod
    async def open(cls, path: str, create: bool = True) -> "WorkbookFile":
        """Opens the workbook at `path` (creating it, with one empty sheet, when it does not
        exist and `create` is true). Its modules are known at once; its cells load in the
        background (`cells_ready`)."""
        path = os.path.abspath(path)
        contents, disk, read_only, journal = await asyncio.to_thread(cls._read, path, create)
        workbook = cls(path, contents, disk, read_only)
        if journal is not None:
            workbook._apply_journal(contents, journal)
        if disk is None:
            workbook._cells = _new_cells()
            workbook._cells_loaded.set()
            try:
                workbook._disk = await workbook._write_file(path, contents, check=None)
            except OSError as error:
                raise WorkbookFileError(f"{path}: could not be created "
                                        f"({error.strerror or error})") from None
        else:
            workbook._loading = asyncio.ensure_future(workbook._load_cells())
        return workbook

    @staticmethod
    def _read(path: str, create: bool) -> Tuple[PartContents, Optional[FileState], bool, Any]:
        folder = os.path.dirname(path)
        if not os.path.exists(path):
            if not create:
                raise WorkbookFileError(f"{path}: there is no such file")
            if not os.path.isdir(folder):
                raise WorkbookFileError(f"{path}: the folder {folder} does not exist")
            if not _writable(folder):
                raise WorkbookFileError(f"{path}: the folder {folder} is read-only")
            return PartContents(), None, False, None
        try:
            with open(path, "rb") as file:
                stat = os.fstat(file.fileno())
                if stat.st_size > MAX_WORKBOOK_BYTES:
                    raise WorkbookFileError(
                        f"{path}: {stat.st_size / 1e6:.1f} MB is larger than the hub opens "
                        f"({MAX_WORKBOOK_BYTES / 1e6:.0f} MB)")
                try:
                    archive = zipfile.ZipFile(file)
                except zipfile.BadZipFile:
                    raise WorkbookFileError(f"{path}: not an .xlsx workbook (not a zip file)")
                contents = read_part(archive)
        except WorkbookFormatError as error:
            raise WorkbookFileError(f"{path}: {error}") from None
        except OSError as error:
            raise WorkbookFileError(f"{path}: {error.strerror or error}") from None
        read_only = not (_writable(path) and _writable(folder))
        return contents, _state(stat), read_only, read_journal(journal_path(path))

    async def _load_cells(self) -> None:
        try:
            cells = await asyncio.to_thread(openpyxl.load_workbook, self.path)
        except Exception as error:  # openpyxl raises many kinds for files it cannot read
            self._cells_problem = f"{self.path}: its cells could not be read ({error})"
            logger.warning("%s", self._cells_problem)
        else:
            self._cells = cells
            # Cell changes of a journal left behind are applied before anyone reads a cell;
            # they are in the journal already.
            self._replaying = True
            try:
                for request in self._replay:
                    self.answer(request)
            finally:
                self._replaying = False
            self._replay.clear()
        finally:
            self._cells_loaded.set()

    async def cells_ready(self) -> None:
        await self._cells_loaded.wait()

    def _apply_journal(self, contents: PartContents, journal: Any) -> None:
        """Applies what a journal left by an earlier run holds and the file does not."""
        if journal.journal_id == contents.journal:
            pending = journal.records[contents.records:]
        else:
            pending = journal.records
            if journal.base != self._disk and self._disk is not None:
                self.conflict = (f"{self.name} was changed on disk after the hub last wrote "
                                 "it, and changes the hub had kept for it were not in it yet")
        if journal.damaged_at is not None:
            logger.warning("%s: its journal is damaged at line %d; the changes before it are "
                           "kept", self.path, journal.damaged_at)
        for record in pending:
            self._apply(record)
        if pending:
            logger.info("%s: %d changes kept in its journal were applied", self.path,
                        len(pending))
            # The journal is started anew with them, on the file as it is now.
            self._journal.start(self._disk, pending)
            self._part_dirty = True
            self._schedule_save()
        elif self.conflict is None:
            self._journal.remove()

    def _apply(self, record: Dict[str, Any]) -> None:
        op = record.get("op")
        if op == "module" and check_module_name(record.get("name")) is None:
            self.modules[record["name"]] = str(record.get("code", ""))
        elif op == "delete_module":
            self.modules.pop(str(record.get("name")), None)
        elif op == "packages" and isinstance(record.get("packages"), list):
            self.packages = record["packages"]
        elif op == "setting":
            self.settings[str(record.get("name"))] = record.get("value")
        elif op == "cells" and isinstance(record.get("request"), dict):
            self._cells_dirty = True
            self._replay.append(record["request"])
            self.journal_cells.append(record["request"])

    # --- changes, each durable before it returns -----------------------------------------

    async def set_module(self, name: str, code: str) -> None:
        await self._change(self.modules, name, code, {"op": "module", "name": name, "code": code})

    async def delete_module(self, name: str) -> None:
        await self._change(self.modules, name, _ABSENT, {"op": "delete_module", "name": name})

    async def set_packages(self, packages: List[Any]) -> None:
        previous = self.packages
        self.packages = list(packages)
        try:
            await self._record({"op": "packages", "packages": packages})
        except WorkbookFileError:
            if self.packages == packages:
                self.packages = previous
            raise

    async def set_setting(self, name: str, value: Any) -> None:
        await self._change(self.settings, name, value,
                           {"op": "setting", "name": name, "value": value})

    async def _change(self, table: Dict[str, Any], key: str, value: Any,
                      record: Dict[str, Any]) -> None:
        """Changes `table[key]` at once (what the hub holds is what it shows and sends) and
        returns once the change is durable; a change that cannot be saved is undone."""
        self._check_writable()
        previous = table.get(key, _ABSENT)
        _put(table, key, value)
        try:
            await self._record(record)
        except WorkbookFileError:
            if table.get(key, _ABSENT) is value:  # not changed again meanwhile
                _put(table, key, previous)
            raise

    async def _record(self, record: Dict[str, Any]) -> None:
        self._check_writable()
        try:
            self._journal_append(record)
            await asyncio.get_running_loop().run_in_executor(self._syncer, self._journal.sync)
        except OSError as error:
            raise WorkbookFileError(f"{self.path}: the change could not be saved "
                                    f"({error.strerror or error})") from None
        self._part_dirty = True
        self._schedule_save()

    def _journal_append(self, record: Dict[str, Any]) -> None:
        if not self._journal.started:
            self._journal.start(self._disk)
        self._journal.append(record)

    def _check_writable(self) -> None:
        if self.read_only:
            raise WorkbookFileError(f"{self.path}: the file is read-only; changes are not kept")

    # --- cells --------------------------------------------------------------------------------

    async def answer_request(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """The answer to a kernel's spreadsheet request, from the file's cells."""
        await self._cells_loaded.wait()
        if self._cells is None:
            return {"error": self._cells_problem or f"{self.path}: its cells are not loaded"}
        if self.read_only and request.get("action") in ("range.set", "range.clear"):
            return {"error": f"{self.name} is read-only: its cells cannot be changed"}
        async with self._cells_lock:
            return self.answer(request)

    @property
    def on_disk(self) -> bool:
        return self._disk is not None

    def write_cells(self, request: Dict[str, Any]) -> None:
        """Keeps a change of cells (a "range.set" or "range.clear" request): journaled at once,
        applied to the file's cells now or, while they load, once they are loaded."""
        self._check_writable()
        if self._cells is None:
            self._replay.append(request)
            self.changed(request)
            return
        self.answer(request)

    def changed(self, request: Dict[str, Any]) -> None:
        self._cells_dirty = True
        if self._replaying:
            return
        try:
            self._journal_append({"op": "cells", "request": request})
            self._syncer.submit(self._journal.sync)
        except OSError as error:
            logger.warning("%s: a cell change was not journaled (%s); it is saved with the file",
                           self.path, error)
        self._schedule_save()

    def formula_cells(self) -> Optional[Dict[str, List[Tuple[int, int, str]]]]:
        """Each sheet's formulas as the file and its journal hold them (row, column, text);
        None when the cells could not be read."""
        if self._cells is None:
            return None
        found: Dict[str, List[Tuple[int, int, str]]] = {}
        for sheet in self._cells.worksheets:
            formulas = found[sheet.title] = []
            for (row, column), cell in sheet._cells.items():
                value = cell.value
                text = getattr(value, "text", value)  # an array formula keeps its text
                if isinstance(text, str) and text.startswith("=") and cell.data_type == "f":
                    formulas.append((row, column, text))
        return found

    def sheet_names(self) -> List[str]:
        return list(self._cells.sheetnames)  # type: ignore[union-attr]

    def active_sheet(self) -> str:
        return self._cells.active.title  # type: ignore[union-attr]

    def get_cell(self, sheet: str, row: int, column: int) -> Any:
        # The worksheet's own table: reading through cell() would create every cell asked for.
        found = self._cells[sheet]._cells.get((row, column))  # type: ignore[index]
        return None if found is None else _from_cell(found.value)

    def set_cell(self, sheet: str, row: int, column: int, value: Any) -> None:
        self._cells[sheet].cell(row, column).value = _to_cell(value)  # type: ignore[index]

    def clear_cell(self, sheet: str, row: int, column: int) -> None:
        cells = self._cells[sheet]._cells  # type: ignore[index]
        cells.pop((row, column), None)

    # --- saving -------------------------------------------------------------------------------

    def _schedule_save(self) -> None:
        loop = asyncio.get_running_loop()
        now = loop.time()
        if self._unsaved_since is None:
            self._unsaved_since = now
        when = min(now + SAVE_DELAY, self._unsaved_since + MAX_SAVE_DELAY)
        if self._save_timer is not None:
            self._save_timer.cancel()
        self._save_timer = loop.call_at(when, self._save_soon)

    def _save_soon(self) -> None:
        self._save_timer = None
        self._start(self.save())

    def _start(self, coroutine: Any) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    @property
    def unsaved(self) -> bool:
        """Whether the file lacks changes the hub holds (they are in the journal)."""
        return self._part_dirty or self._cells_dirty

    async def save(self) -> None:
        """Writes what changed into the file now (nothing when the file is in conflict)."""
        async with self._save_lock:
            if self.conflict is not None or not self.unsaved:
                return
            contents = PartContents(dict(self.modules), list(self.packages),
                                    dict(self.settings), self._journal.journal_id,
                                    self._journal.records)
            journal = (self._journal.journal_id, self._journal.records)
            try:
                state = await self._write_file(self.path, contents, check=self._disk)
            except _Conflict as conflict:
                self.conflict = str(conflict)
                logger.warning("%s", self.conflict)
                self.on_problem(self.conflict)
                return
            except OSError as error:
                text = f"{self.path}: could not be saved ({error.strerror or error}); the " \
                       "changes are kept in its journal"
                logger.warning("%s", text)
                self.on_problem(text)
                return
            self._disk = state
            if (self._journal.journal_id, self._journal.records) == journal:
                self._part_dirty = False
                self._unsaved_since = None
                self._journal.remove()
            else:
                self._schedule_save()  # changes came in while it was written

    async def check_disk(self) -> None:
        """Looks whether another program changed or removed the file (the hub then keeps what
        it holds, and saves nothing there until `save_as` or `reload`)."""
        async with self._save_lock:  # not while the hub itself replaces the file
            if self.conflict is not None or self._disk is None:
                return
            try:
                state: Optional[FileState] = _state(await asyncio.to_thread(os.stat, self.path))
            except FileNotFoundError:
                state = None
            if state == self._disk:
                return
        self.conflict = (f"{self.name} was removed from disk" if state is None else
                         f"{self.name} was changed on disk by another program")
        logger.warning("%s: %s", self.path, self.conflict)
        self.on_problem(self.conflict)

    async def _write_file(self, path: str, contents: PartContents,
                          check: Optional[FileState]) -> FileState:
        """Writes the workbook to `path` atomically: the cells through openpyxl when they
        changed (or when there is no file to copy them from), else the file's own parts."""
        cells_data: Optional[bytes] = None
        if self._cells_dirty or check is None or path != self.path:
            await self._cells_loaded.wait()
            if self._cells is None:
                raise OSError(self._cells_problem or "its cells are not loaded")
            async with self._cells_lock:
                self._cells_dirty = False
                try:
                    cells_data = await asyncio.to_thread(_serialized, self._cells)
                except BaseException:
                    self._cells_dirty = True
                    raise
        try:
            return await asyncio.to_thread(self._replace, path, cells_data, contents, check)
        except BaseException:
            if cells_data is not None:
                self._cells_dirty = True
            raise

    def _replace(self, path: str, cells_data: Optional[bytes], contents: PartContents,
                 check: Optional[FileState]) -> FileState:
        """On a worker thread: the new file beside the old one, then renamed over it."""
        source: Any = None
        mode = 0o644
        try:
            if check is not None:
                try:
                    source = open(self.path, "rb")
                except FileNotFoundError:
                    raise _Conflict(f"{self.name} was removed from disk; the hub keeps what it "
                                    "holds until it is saved elsewhere") from None
                stat = os.fstat(source.fileno())
                mode = stat.st_mode & 0o777
                if _state(stat) != check:
                    raise _Conflict(f"{self.name} was changed on disk by another program; the "
                                    "hub keeps what it holds and does not overwrite it")
            archive = zipfile.ZipFile(io.BytesIO(cells_data) if cells_data else source)
            with replacing(path, mode) as output:
                with_part(archive, contents, output)
        finally:
            if source is not None:
                source.close()
        return _state(os.stat(path))

    # --- after a conflict ---------------------------------------------------------------------

    async def save_as(self, path: str) -> None:
        """Writes everything the hub holds to `path`, which becomes the workbook's file."""
        path = os.path.abspath(path)
        if not os.path.isdir(os.path.dirname(path)):
            raise WorkbookFileError(f"{path}: the folder does not exist")
        async with self._save_lock:
            contents = PartContents(dict(self.modules), list(self.packages),
                                    dict(self.settings))
            try:
                state = await self._write_file(path, contents, check=None)
            except OSError as error:
                raise WorkbookFileError(f"{path}: could not be saved "
                                        f"({error.strerror or error})") from None
            self._journal.remove()
            self.path, self._disk, self.conflict, self.read_only = path, state, None, False
            self._journal = Journal(journal_path(path))
            self._part_dirty = self._cells_dirty = False

    async def reload(self) -> None:
        """Reads the file again, dropping what the hub held that the file does not."""
        async with self._save_lock:
            contents, disk, read_only, _ = await asyncio.to_thread(self._read, self.path, False)
            self._journal.remove()
            self.modules, self.packages = dict(contents.modules), list(contents.packages)
            self.settings, self._disk, self.read_only = dict(contents.settings), disk, read_only
            self.conflict, self._part_dirty, self._cells_dirty = None, False, False
            self.journal_cells, self._replay = [], []
            self.generation += 1
            self._cells_loaded.clear()
            self._cells = None
            await self._load_cells()

    # --- closing ------------------------------------------------------------------------------

    async def close(self) -> None:
        """Saves what the file lacks and lets go of it (the journal stays when it could not
        be saved)."""
        if self._save_timer is not None:
            self._save_timer.cancel()
            self._save_timer = None
        if self._loading is not None:
            await self._loading
        for task in list(self._tasks):
            await asyncio.gather(task, return_exceptions=True)
        await self.save()
        self._journal.close()
        self._syncer.shutdown(wait=True)


_ABSENT = object()


def _writable(path: str) -> bool:
    """Whether the hub may write there: permitted, and not marked read-only by its owner (the
    marks count also for an administrator, whom the system would let write anyway)."""
    return os.access(path, os.W_OK) and bool(os.stat(path).st_mode & 0o222)


def _put(table: Dict[str, Any], key: str, value: Any) -> None:
    if value is _ABSENT:
        table.pop(key, None)
    else:
        table[key] = value


def _new_cells() -> openpyxl.Workbook:
    cells = openpyxl.Workbook()
    cells.active.title = "Sheet1"
    return cells


def _serialized(cells: openpyxl.Workbook) -> bytes:
    buffer = io.BytesIO()
    cells.save(buffer)
    return buffer.getvalue()
