"""``UnsavedBuffers``: the text of editor tabs with unsaved edits, kept on disk while it is typed,
so that an IDE that crashes (or is killed) loses none of it.

A tab's text is written `DELAY_MS` after the last keystroke (one file per tab in the folder
given, replaced atomically), and its file is removed once the edit is saved or deliberately
dropped. At the next start the files left behind are offered back (see ``MainWindow``): each
names its workbook and module and holds the text.
"""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from PySide6.QtCore import QObject, QTimer

from .atomic_write import write_atomically

__all__ = ["DELAY_MS", "KeptBuffer", "UnsavedBuffers"]

DELAY_MS = 1000
_SUFFIX = ".unsaved.json"

Key = Tuple[str, str]  # (workbook id, module name)


@dataclass(frozen=True)
class KeptBuffer:
    workbook_id: str
    module_name: str
    text: str


class UnsavedBuffers(QObject):
    def __init__(self, folder: Optional[str], parent: Optional[QObject] = None) -> None:
        super().__init__(parent)
        # None keeps nothing (tests and scripted sessions without settings).
        self.folder = folder
        self._pending: Dict[Key, str] = {}
        self._timer = QTimer(self)
        self._timer.setSingleShot(True)
        self._timer.setInterval(DELAY_MS)
        self._timer.timeout.connect(self.flush)

    def changed(self, workbook_id: str, module_name: str, text: str) -> None:
        """An edit that is not saved yet: kept within DELAY_MS."""
        if self.folder is None:
            return
        self._pending[(workbook_id, module_name)] = text
        self._timer.start()

    def forget(self, workbook_id: str, module_name: str) -> None:
        """The edit was saved, or dropped on purpose: nothing to offer back."""
        self._pending.pop((workbook_id, module_name), None)
        if self.folder is not None:
            try:
                os.unlink(self._path((workbook_id, module_name)))
            except FileNotFoundError:
                pass

    def flush(self) -> None:
        """Writes what is pending now (also when the window closes)."""
        pending, self._pending = self._pending, {}
        for key, text in pending.items():
            try:
                self._write(key, text)
            except OSError:
                self._pending.setdefault(key, text)  # tried again at the next edit

    def kept(self) -> List[KeptBuffer]:
        """The edits left by an earlier run (oldest first)."""
        if self.folder is None or not os.path.isdir(self.folder):
            return []
        found = []
        for name in os.listdir(self.folder):
            if not name.endswith(_SUFFIX):
                continue
            path = os.path.join(self.folder, name)
            try:
                with open(path, encoding="utf-8") as file:
                    data = json.load(file)
                found.append((os.path.getmtime(path), KeptBuffer(
                    str(data["workbook_id"]), str(data["module_name"]), str(data["text"]))))
            except (OSError, ValueError, KeyError, TypeError):
                continue  # a file cut short by the crash itself holds nothing to offer
        return [buffer for _mtime, buffer in sorted(found, key=lambda pair: pair[0])]

    def _path(self, key: Key) -> str:
        digest = hashlib.sha256("\0".join(key).encode("utf-8", "surrogatepass")).hexdigest()
        return os.path.join(self.folder or "", digest[:32] + _SUFFIX)

    def _write(self, key: Key, text: str) -> None:
        assert self.folder is not None
        os.makedirs(self.folder, exist_ok=True)
        data = json.dumps({"workbook_id": key[0], "module_name": key[1], "text": text})
        write_atomically(self._path(key), data)
