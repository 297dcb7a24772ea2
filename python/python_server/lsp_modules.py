"""A private folder that mirrors the workbook's in-memory modules as files, for the analyser.

The analyser resolves imports by searching folders on its path; the workbook's modules live
only in the kernel's memory. ``ModuleMirror`` writes each one as ``<name>.py`` (a dotted name
as nested folders) into a folder of its own, so that ``import sales`` finds the module whether
or not user code imported it yet. Files are rewritten only when their text changed, with a
modification time that always moves forward, so the analyser's parse cache notices every
change. The folder is removed when the mirror is collected or the process exits (a kernel
that ends with ``os._exit`` calls ``remove_all``). A folder left by a process that was killed
is removed by the next mirror made on the machine, and when a hub starts (``remove_stale``):
each folder's name holds its process id.

Not thread-safe: its owner calls it from one thread at a time.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import weakref
from pathlib import Path
from typing import Dict, Iterable, Mapping, Optional

__all__ = ["ModuleMirror", "remove_all", "remove_stale"]

PREFIX = "quorvel-modules-"
_mirrors: "weakref.WeakSet[ModuleMirror]" = weakref.WeakSet()


class ModuleMirror:
    def __init__(self) -> None:
        remove_stale()
        self.root = Path(tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-"))
        self._written: Dict[str, str] = {}  # module name -> text on disk
        self._last_mtime_ns = 0
        self._cleanup = weakref.finalize(self, shutil.rmtree, str(self.root), True)
        _mirrors.add(self)

    def file_of(self, module_name: str) -> Optional[Path]:
        """The file that holds `module_name`, or None for a name that cannot be imported."""
        parts = module_name.split(".")
        if not all(part.isidentifier() for part in parts):
            return None  # also keeps "..", "/" and the like out of the folder
        return self.root.joinpath(*parts[:-1], parts[-1] + ".py")

    def sync(self, modules: Mapping[str, str]) -> None:
        """Makes the folder hold exactly `modules` (name to text)."""
        for name in [name for name in self._written if name not in modules]:
            self.remove(name)
        for name, text in modules.items():
            if self._written.get(name) != text:
                self._write(name, text)

    def remove(self, module_name: str) -> None:
        self._written.pop(module_name, None)
        path = self.file_of(module_name)
        if path is not None:
            try:
                path.unlink()
            except FileNotFoundError:
                pass

    def remove_all(self, names: Iterable[str]) -> None:
        for name in list(names):
            self.remove(name)

    def close(self) -> None:
        self._cleanup()

    def _write(self, name: str, text: str) -> None:
        path = self.file_of(name)
        if path is None:
            return
        path.parent.mkdir(parents=True, exist_ok=True)
        # Text the kernel accepted may hold lone surrogates; the analyser reads UTF-8.
        path.write_bytes(text.encode("utf-8", "replace"))
        self._last_mtime_ns = max(self._last_mtime_ns + 1_000_000, os.stat(path).st_mtime_ns)
        os.utime(path, ns=(self._last_mtime_ns, self._last_mtime_ns))
        self._written[name] = text


def remove_all() -> None:
    """Removes the folders of the process's mirrors, for an exit that runs no exit handlers."""
    for mirror in list(_mirrors):
        mirror.close()


def remove_stale() -> None:
    """Removes the folders of mirrors whose process is gone (killed, or ended without exit
    handlers); a folder whose name holds no process id is left as it is."""
    for folder in Path(tempfile.gettempdir()).glob(PREFIX + "*"):
        pid = folder.name[len(PREFIX):].split("-", 1)[0]
        if pid.isdigit() and int(pid) != os.getpid() and not _alive(int(pid)):
            shutil.rmtree(folder, ignore_errors=True)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's: alive
        return True
    return True
