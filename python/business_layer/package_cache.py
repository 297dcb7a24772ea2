"""The record of cached package installations.

Stands in for the hub's package cache. Each installation lives in its own folder, named by
a fresh UUID, inside the hidden cache directory ``.quorvel_packages`` under the base
directory; an SQLite database in that directory (``packages.db``) records which package,
version and extras each folder holds, for which platform and Python version.

Promises:

* Nothing is created until the first installation is recorded or a path is generated; a
  lookup in a cache that does not exist yet is a miss.
* A record whose folder has vanished is a miss, and is dropped.
* Several installations may record and look up at once, from one process or several:
  every call opens its own connection, and SQLite serialises the writers (a writer waits
  up to ``BUSY_TIMEOUT`` seconds for another).
* Package names are compared as pip compares them (``Foo_Bar`` is ``foo-bar``); versions
  and extras keys are compared as given. Only installations made for the running
  platform and Python version are found.
"""

from __future__ import annotations

import os
import sqlite3
import sys
import sysconfig
import time
import uuid
from typing import Optional, Tuple

from packaging.utils import canonicalize_name

__all__ = ["CACHE_DIR_NAME", "DATABASE_NAME", "PackageCache"]

CACHE_DIR_NAME = ".quorvel_packages"
DATABASE_NAME = "packages.db"
BUSY_TIMEOUT = 30.0

_SCHEMA = """
CREATE TABLE IF NOT EXISTS installations (
    install_id     TEXT PRIMARY KEY,
    package_name   TEXT NOT NULL,
    version        TEXT NOT NULL,
    extras         TEXT NOT NULL,
    platform       TEXT NOT NULL,
    python_version TEXT NOT NULL,
    install_path   TEXT NOT NULL,
    installed_at   REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS installations_by_package
    ON installations (package_name, version, extras, platform, python_version);
"""


class PackageCache:
    def __init__(self, cache_dir: "str | os.PathLike[str] | None" = None) -> None:
        # The base directory; resolved at each use, as the manager resolves its own.
        self.base_dir = os.fspath(cache_dir) if cache_dir else os.getcwd()

    @property
    def directory(self) -> str:
        """The hidden cache directory, absolute."""
        return os.path.join(os.path.abspath(self.base_dir), CACHE_DIR_NAME)

    @property
    def database_path(self) -> str:
        return os.path.join(self.directory, DATABASE_NAME)

    def _connect(self) -> sqlite3.Connection:
        os.makedirs(self.directory, exist_ok=True)
        connection = sqlite3.connect(self.database_path, timeout=BUSY_TIMEOUT)
        try:
            # Switching a new database to WAL takes a lock that SQLite does not wait for: writers
            # starting together retry the set-up instead of failing.
            deadline = time.monotonic() + BUSY_TIMEOUT
            while True:
                try:
                    connection.execute("PRAGMA journal_mode=WAL")
                    connection.executescript(_SCHEMA)
                    break
                except sqlite3.OperationalError as error:
                    if "locked" not in str(error) or time.monotonic() > deadline:
                        raise
                    time.sleep(0.01)
        except BaseException:
            connection.close()
            raise
        return connection

    @staticmethod
    def get_current_platform() -> str:
        """The platform tag installations are made for, e.g. ``linux_x86_64``."""
        return sysconfig.get_platform().replace("-", "_").replace(".", "_")

    @staticmethod
    def get_python_version() -> str:
        """The running Python's major and minor version, e.g. ``3.11``."""
        return f"{sys.version_info.major}.{sys.version_info.minor}"

    def generate_install_path(self) -> Tuple[str, str]:
        """A fresh (installation UUID, folder inside the cache directory); the folder is not
        made."""
        install_id = str(uuid.uuid4())
        return install_id, os.path.join(self.directory, install_id)

    def get_cached_package(self, package_name: str, version: str,
                           extras: str = "") -> Optional[str]:
        """The folder of the newest matching installation that still exists, else None."""
        if not os.path.exists(self.database_path):
            return None
        key = (canonicalize_name(package_name), version, extras,
               self.get_current_platform(), self.get_python_version())
        connection = self._connect()
        try:
            with connection:
                rows = connection.execute(
                    "SELECT install_id, install_path FROM installations"
                    " WHERE package_name = ? AND version = ? AND extras = ?"
                    " AND platform = ? AND python_version = ?"
                    " ORDER BY installed_at DESC", key).fetchall()
                vanished = [(install_id,) for install_id, path in rows if not os.path.isdir(path)]
                if vanished:
                    connection.executemany("DELETE FROM installations WHERE install_id = ?",
                                           vanished)
            for _, path in rows:
                if os.path.isdir(path):
                    return path
            return None
        finally:
            connection.close()

    def add_cached_package(self, install_id: str, package_name: str, version: str, extras: str,
                           platform: str, python_version: str, install_path: str) -> None:
        """Records a finished installation."""
        connection = self._connect()
        try:
            with connection:
                connection.execute(
                    "INSERT OR REPLACE INTO installations VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    (install_id, canonicalize_name(package_name), version, extras, platform,
                     python_version, os.path.abspath(install_path), time.time()))
        finally:
            connection.close()
