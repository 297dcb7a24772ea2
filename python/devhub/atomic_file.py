"""Replacing a file so that it holds the old contents or the new ones, never a mix or nothing.

The new contents are written to a temporary file in the same folder, flushed to the disk, and
renamed over the old file; the folder is then flushed too, so that the rename itself survives a
crash. A failure on the way leaves the old file as it was and removes the temporary one.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from typing import BinaryIO, Iterator

__all__ = ["replace_file", "replacing", "sync_folder"]


@contextlib.contextmanager
def replacing(path: str, mode: int = 0o600) -> Iterator[BinaryIO]:
    """A file to write the new contents of `path` to; it replaces `path` (with permission bits
    `mode`) when the block ends without an exception, and is removed when it raises."""
    folder = os.path.dirname(os.path.abspath(path))
    # mkstemp creates the file readable by its owner only: nothing else can read it before the
    # permission bits below are set.
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.")
    try:
        with os.fdopen(handle, "wb") as file:
            yield file
            file.flush()
            os.fchmod(file.fileno(), mode)
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    sync_folder(folder)


def replace_file(path: str, data: bytes, mode: int = 0o600) -> None:
    """Puts `data` at `path` atomically and durably."""
    with replacing(path, mode) as file:
        file.write(data)


def sync_folder(folder: str) -> None:
    """Flushes a folder's entries (a rename or an unlink in it) to the disk."""
    descriptor = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
