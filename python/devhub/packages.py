"""Packages for workbooks: the development hub's answers to the IDE's package requests.

The hub owns one ``PackageManager`` whose base directory is the hub's data folder; the
messages are documented in ``devhub.ide_protocol`` (section "Packages"). What this promises:

* A spec is checked by the package manager before anything runs: a refused spec reaches the
  IDE as the manager's own message and starts no process.
* An installation first lets pip resolve the spec and its dependencies without installing
  anything (a dry run whose report names exact versions), then installs each of them through
  the manager into its own cache folder (a version already cached is reused). pip's lines
  reach the IDE as they come. The workbook's list and its kernel's import paths change only
  when every step succeeded, so a failed installation leaves the earlier packages importable.
* Each workbook's list is kept in its file (``workbook_file``), durable before the IDE hears of
  the change; its package folders are kept relative to the package cache, so that the file
  names no folder of this machine's. The list survives kernel and hub restarts, and a kernel
  that connects is given its workbook's package folders at once.
* Changes to one workbook's packages happen one at a time; workbooks install side by side.
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import sys
import tempfile
from typing import Any, Awaitable, Callable, Dict, List

from packaging.requirements import InvalidRequirement, Requirement
from packaging.utils import canonicalize_name

from business_layer.packages.manager import PackageManager, validate_package_spec

from . import ide_protocol as protocol
from .workbook_file import WorkbookFileError

__all__ = ["HubPackages"]

logger = logging.getLogger(__name__)

# How long an installation waits for the kernel to confirm its new import paths.
PATHS_REPLY_TIMEOUT = 30.0
# Longest line read from pip's pipes (its lines are short; a longer one is an error of pip's).
PIP_LINE_LIMIT = 1024 * 1024

Send = Callable[[Dict[str, Any]], Awaitable[None]]


class InstallFailed(Exception):
    """An installation step failed; the text is what the IDE shows."""


class HubPackages:
    def __init__(self, data_dir: str, settings_manager: Any, *, to_ide: Send,
                 kernel_of: Callable[[str], Any], workbooks: Any) -> None:
        self.data_dir = data_dir
        self.manager = PackageManager(self.data_dir, settings_manager)
        self._to_ide = to_ide
        self._kernel_of = kernel_of
        # The open workbooks (``Workbooks``), whose files keep their package lists.
        self._workbooks = workbooks
        self._errors: Dict[str, Dict[str, str]] = {}
        self._locks: Dict[str, asyncio.Lock] = {}
        self._paths_waiters: Dict[str, "asyncio.Future[Dict[str, Any]]"] = {}
        self._tasks: "set[asyncio.Task]" = set()

    def configure(self, settings_manager: Any) -> None:
        """Installs from now on with these settings (indexes, find-links) instead."""
        self.manager = PackageManager(self.data_dir, settings_manager)

    # --- hooks of the hub -------------------------------------------------------------------

    async def handle_ide_message(self, message: Dict[str, Any]) -> bool:
        """Takes the IDE's package requests (answered in the background); False for others."""
        kind = message.get("type")
        if not isinstance(kind, str) or kind not in protocol.PACKAGE_REQUESTS:
            return False
        workbook_id = message.get("workbook_id")
        needs_workbook = kind in (protocol.INSTALL_PACKAGE, protocol.REMOVE_PACKAGE,
                                  protocol.GET_WORKBOOK_PACKAGES)
        if needs_workbook and not (isinstance(workbook_id, str) and workbook_id):
            text = f"{kind} needs the workbook_id of a workbook"
            request_id = message.get("request_id")
            await self._to_ide(protocol.refusal(message, text) if isinstance(request_id, str)
                               and request_id else
                               {"type": "log_to_console", "color": "#ff6b6b", "content": text})
            return True
        handler = {
            protocol.INSTALL_PACKAGE: self._install,
            protocol.REMOVE_PACKAGE: self._remove,
            protocol.GET_WORKBOOK_PACKAGES: self._list,
            protocol.GET_PACKAGE_VERSIONS: self._versions,
            protocol.GET_PACKAGE_EXTRAS: self._extras,
            protocol.GET_PACKAGE_INFO: self._info,
        }[kind]
        self._start(handler(message))
        return True

    def kernel_connected(self, workbook_id: str) -> None:
        """Gives the workbook's kernel its package folders as soon as its session is up."""
        if self.paths_of(workbook_id):
            self._start(self._paths_to_new_kernel(workbook_id))

    async def from_kernel(self, workbook_id: str, message: Dict[str, Any]) -> bool:
        """Sees the kernels' messages on their way to the IDE; True when it passed one on."""
        if message.get("type") != "package_paths_updated":
            return False
        waiter = self._paths_waiters.get(workbook_id)
        if waiter is not None and not waiter.done():
            waiter.set_result(message)
        await self._to_ide(message)
        return True

    async def close(self) -> None:
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    # --- the workbooks' lists ---------------------------------------------------------------

    def packages_of(self, workbook_id: str) -> List[Dict[str, Any]]:
        """The workbook's packages, their folders made absolute again."""
        workbook = self._workbooks.get(workbook_id)
        stored = workbook.packages if workbook is not None else []
        return [{**entry, "paths": [os.path.join(self.data_dir, p) for p in entry["paths"]]}
                for entry in stored if _is_entry(entry)]

    async def _keep(self, workbook_id: str, entries: List[Dict[str, Any]]) -> None:
        """Writes the workbook's list into its file (folders relative to the data folder)."""
        workbook = self._workbooks.get(workbook_id)
        if workbook is None:
            raise InstallFailed(f"Workbook {workbook_id} is not open: its package list cannot "
                                "be kept.")
        stored = [{**entry, "paths": [os.path.relpath(p, self.data_dir) for p in entry["paths"]]}
                  for entry in entries]
        try:
            await workbook.set_packages(stored)
        except WorkbookFileError as error:
            raise InstallFailed(str(error)) from None

    def paths_of(self, workbook_id: str) -> List[str]:
        """The workbook's package folders: each package's own first, then its dependencies'."""
        paths: List[str] = []
        for entry in self.packages_of(workbook_id):
            paths += [p for p in entry["paths"] if p not in paths]
        return paths

    def _lock(self, workbook_id: str) -> asyncio.Lock:
        return self._locks.setdefault(workbook_id, asyncio.Lock())

    def _start(self, work: Awaitable[None]) -> None:
        task = asyncio.ensure_future(work)
        self._tasks.add(task)
        task.add_done_callback(self._finished)

    def _finished(self, task: "asyncio.Task") -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            logger.error("Package request failed", exc_info=task.exception())

    # --- requests ---------------------------------------------------------------------------

    async def _install(self, message: Dict[str, Any]) -> None:
        workbook_id = message["workbook_id"]
        spec = message.get("package_spec")
        label = spec if isinstance(spec, str) and spec else "package spec"
        if not isinstance(spec, str):
            await self._progress(workbook_id, label, "error",
                                 "Invalid package spec: the spec must be a string")
            return
        valid, reason = validate_package_spec(spec)
        if not valid:
            await self._progress(workbook_id, label, "error", f"Invalid package spec: {reason}")
            return
        try:
            requirement = Requirement(spec)
        except InvalidRequirement as error:
            await self._progress(workbook_id, label, "error", f"Invalid package spec: {error}")
            return

        name = requirement.name
        async with self._lock(workbook_id):
            await self._progress(workbook_id, name, "installing")
            try:
                resolved = await self._resolve(workbook_id, name, spec)
                paths = [await self._install_one(workbook_id, name, *dist) for dist in resolved]
            except Exception as failure:  # the IDE is told of every failure, expected or not
                reason = str(failure) if isinstance(failure, InstallFailed) else \
                    f"Installation failed: {type(failure).__name__}: {failure}"
                if not isinstance(failure, InstallFailed):
                    logger.exception("Installing %s for %s failed", spec, workbook_id)
                self._errors.setdefault(workbook_id, {})[name] = reason
                await self._progress(workbook_id, name, "error", reason)
                return
            top_name, version, extras = resolved[0]
            entry = {"name": top_name, "version": version, "extras": extras, "spec": spec,
                     "dependencies": [f"{n}=={v}" for n, v, _ in resolved[1:]], "paths": paths}
            old_paths = self.paths_of(workbook_id)
            try:
                await self._put(workbook_id, entry)
            except InstallFailed as failure:
                self._errors.setdefault(workbook_id, {})[name] = str(failure)
                await self._progress(workbook_id, name, "error", str(failure))
                return
            self._errors.get(workbook_id, {}).pop(name, None)
            await self._progress(workbook_id, name, "installed")
            await self._to_ide({"type": "package_installation_complete",
                                "workbook_id": workbook_id,
                                "message": f"Installed {top_name} {version} for {workbook_id}"})
            await self._update_kernel(workbook_id, old_paths)
            await self._send_list(workbook_id)

    async def _remove(self, message: Dict[str, Any]) -> None:
        workbook_id = message["workbook_id"]
        name = message.get("package_name")
        async with self._lock(workbook_id):
            old_paths = self.paths_of(workbook_id)
            entries = self.packages_of(workbook_id)
            if isinstance(name, str) and name:
                kept = [e for e in entries
                        if canonicalize_name(e["name"]) != canonicalize_name(name)]
                self._errors.get(workbook_id, {}).pop(name, None)
                if len(kept) != len(entries):
                    try:
                        await self._keep(workbook_id, kept)
                    except InstallFailed as error:
                        await self._to_ide({"type": "log_to_console", "color": "#ff6b6b",
                                            "content": str(error)})
            await self._update_kernel(workbook_id, old_paths)
            await self._send_list(workbook_id, message.get("request_id"))

    async def _list(self, message: Dict[str, Any]) -> None:
        await self._send_list(message["workbook_id"], message.get("request_id"))

    async def _versions(self, message: Dict[str, Any]) -> None:
        name = message.get("package_name")
        await self._answer_query(message, "get_package_versions_response", "versions",
                                 lambda: self.manager.get_available_versions(name))

    async def _extras(self, message: Dict[str, Any]) -> None:
        name, version = message.get("package_name"), message.get("version")
        await self._answer_query(message, "get_package_extras_response", "extras",
                                 lambda: self.manager.get_package_extras(name, version),
                                 version=version)

    async def _info(self, message: Dict[str, Any]) -> None:
        name = message.get("package_name")
        await self._answer_query(message, "get_package_info_response", "info",
                                 lambda: self.manager.get_package_info(name))

    async def _answer_query(self, message: Dict[str, Any], reply_type: str, key: str,
                            query: Callable[[], Awaitable[Any]], **fields: Any) -> None:
        name = message.get("package_name")
        reply: Dict[str, Any] = {"type": reply_type, "package_name": name, **fields}
        if not isinstance(name, str) or not name:
            reply.update({key: None, "error": "package_name must be a non-empty string"})
        else:
            try:
                reply[key] = await query()
            except Exception as error:  # the IDE gets the failure as the answer
                reply.update({key: None, "error": f"{type(error).__name__}: {error}"})
        if message.get("request_id") is not None:
            reply["request_id"] = message["request_id"]
        await self._to_ide(reply)

    # --- installation steps -----------------------------------------------------------------

    async def _resolve(self, workbook_id: str, name: str, spec: str) -> List[tuple]:
        """(name, version, extras) of the spec's package, then of each dependency, from pip."""
        with tempfile.TemporaryDirectory(dir=self.data_dir) as scratch:
            report_path = os.path.join(scratch, "report.json")
            command = [sys.executable, "-m", "pip", "install", "--dry-run", "--ignore-installed",
                       "--disable-pip-version-check", "--no-input", "--progress-bar", "off",
                       "--report", report_path,
                       *self.manager.pip_command_builder.index_options(), "--", spec]
            code = await self._run_pip(workbook_id, name, command)
            if code != 0:
                raise InstallFailed(f"pip could not resolve {spec} (exit code {code})")
            with open(report_path, encoding="utf-8") as handle:
                report = json.load(handle)
        resolved = []
        for item in report.get("install", []):
            metadata = item.get("metadata", {})
            extras = sorted(item.get("requested_extras") or []) if item.get("requested") else []
            dist = (metadata.get("name"), metadata.get("version"), extras)
            if item.get("requested"):
                resolved.insert(0, dist)
            else:
                resolved.append(dist)
        if not resolved or not resolved[0][0] or not resolved[0][1]:
            raise InstallFailed(f"pip resolved nothing to install for {spec}")
        return resolved

    async def _install_one(self, workbook_id: str, name: str, dist_name: str, version: str,
                           extras: List[str]) -> str:
        """Installs one exact version into its cache folder (or finds it there); the folder."""
        folder = None
        async for kind, content in self.manager.install_package_to_cache(dist_name, version,
                                                                         extras or None):
            if kind in ("path", "cached"):
                folder = content
            elif kind == "error":
                await self._pip_line(workbook_id, name, "stderr", content)
                raise InstallFailed(content)
            else:
                await self._pip_line(workbook_id, name, "stderr" if kind == "stderr" else "stdout",
                                     content)
        if folder is None:
            raise InstallFailed(f"The package manager named no folder for {dist_name} {version}")
        return folder

    async def _run_pip(self, workbook_id: str, name: str, command: List[str]) -> int:
        process = await asyncio.create_subprocess_exec(
            *command, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE,
            limit=PIP_LINE_LIMIT)

        async def relay(stream: asyncio.StreamReader, output_type: str) -> None:
            async for raw in stream:
                await self._pip_line(workbook_id, name, output_type,
                                     raw.decode("utf-8", "replace").rstrip())

        try:
            await asyncio.gather(relay(process.stdout, "stdout"), relay(process.stderr, "stderr"))
            return await process.wait()
        finally:
            if process.returncode is None:
                process.kill()
                await process.wait()

    async def _put(self, workbook_id: str, entry: Dict[str, Any]) -> None:
        key = canonicalize_name(entry["name"])
        entries = [e for e in self.packages_of(workbook_id) if canonicalize_name(e["name"]) != key]
        await self._keep(workbook_id, entries + [entry])

    # --- the kernel's import paths ----------------------------------------------------------

    async def _update_kernel(self, workbook_id: str, old_paths: List[str]) -> None:
        """Gives the kernel the workbook's package folders; folders it loses are unloaded."""
        session = self._kernel_of(workbook_id)
        if session is None or not session.connected.is_set():
            return  # it gets them when it connects
        new_paths = self.paths_of(workbook_id)
        await self._set_package_paths(session, [p for p in old_paths if p not in new_paths],
                                      new_paths)

    async def _paths_to_new_kernel(self, workbook_id: str) -> None:
        session = self._kernel_of(workbook_id)
        await asyncio.wait_for(session.connected.wait(), PATHS_REPLY_TIMEOUT)
        async with self._lock(workbook_id):
            await self._set_package_paths(session, [], self.paths_of(workbook_id))

    async def _set_package_paths(self, session: Any, old_paths: List[str],
                                 new_paths: List[str]) -> None:
        """Sends "set_package_paths" and waits for the kernel's "package_paths_updated"."""
        workbook_id = session.workbook_id
        waiter = asyncio.get_running_loop().create_future()
        self._paths_waiters[workbook_id] = waiter
        try:
            await session.send({"type": "set_package_paths", "old_paths": old_paths,
                                "new_paths": new_paths})
            await asyncio.wait_for(waiter, PATHS_REPLY_TIMEOUT)
        except asyncio.TimeoutError:
            logger.warning("Kernel %s did not confirm its package paths", workbook_id)
        except Exception as error:  # the kernel left meanwhile: it gets them when it connects
            logger.warning("Could not give kernel %s its package paths: %s", workbook_id, error)
        finally:
            if self._paths_waiters.get(workbook_id) is waiter:
                del self._paths_waiters[workbook_id]

    # --- messages to the IDE ----------------------------------------------------------------

    async def _progress(self, workbook_id: str, name: str, status: str, error: str = "") -> None:
        message = {"type": "package_install_progress", "workbook_id": workbook_id,
                   "package_name": name, "status": status}
        if error:
            message["error"] = error
        await self._to_ide(message)

    async def _pip_line(self, workbook_id: str, name: str, output_type: str, line: str) -> None:
        await self._to_ide({"type": "pip_output", "workbook_id": workbook_id,
                            "package_name": name, "output_type": output_type, "content": line})

    async def _send_list(self, workbook_id: str, request_id: Any = None) -> None:
        listed = [{k: v for k, v in entry.items() if k != "paths"}
                  for entry in self.packages_of(workbook_id)]
        message = {"type": "workbook_packages_update", "workbook_id": workbook_id,
                   "packages": listed, "package_errors": dict(self._errors.get(workbook_id, {})),
                   "python_paths": self.paths_of(workbook_id)}
        if request_id is not None:
            message["request_id"] = request_id
        await self._to_ide(message)


def _is_entry(entry: Any) -> bool:
    return (isinstance(entry, dict) and isinstance(entry.get("name"), str)
            and isinstance(entry.get("paths"), list)
            and all(isinstance(p, str) for p in entry["paths"]))
