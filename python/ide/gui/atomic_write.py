"""``write_atomically(path, text)``: replaces a file with new text, or leaves it as it was.

The text goes to a temporary file in the same folder, is flushed to the disk, and takes the
file's place in one rename: a crash or a full disk midway leaves the old file whole and no
temporary behind (it is removed when the write fails).
"""

from __future__ import annotations

import os
import tempfile

__all__ = ["write_atomically"]


def write_atomically(path: str, text: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".writing.")
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
