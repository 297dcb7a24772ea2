"""The pip command line of a package installation.

Stands in for the hub's pip runner. :class:`PipCommandBuilder` builds the argument list
that the package manager starts as a child process (never through a shell):
``[sys.executable, "-m", "pip", "install", ...]`` with the target directory, the options
asked for and the index options of the settings (see ``business_layer.settings_manager``).

Promises:

* The spec is the last argument and follows ``--``, so even a spec that slipped past
  validation cannot be read as an option.
* ``--upgrade``: pip's ``--target`` otherwise keeps what is already in the target folder
  and reports success, so a new version installed into a shared folder would silently
  leave the old one in place. Installations into fresh folders are unaffected.
* pip never prompts (``--no-input``; its standard input is the hub's), never checks for
  its own updates, and writes no progress bar: its output is read line by line.
"""

from __future__ import annotations

import os
import sys
from typing import Any, List

from business_layer.settings_manager import read_setting

__all__ = ["PipCommandBuilder"]


def _as_list(value: Any) -> List[str]:
    if value is None:
        return []
    if isinstance(value, (str, os.PathLike)):
        return [os.fspath(value)]
    return [os.fspath(item) for item in value]


class PipCommandBuilder:
    def __init__(self, settings_manager: Any = None) -> None:
        self.settings_manager = settings_manager

    def index_options(self) -> List[str]:
        """pip's index options from the settings, in a fixed order."""
        def setting(key, default=None):
            return read_setting(self.settings_manager, key, default)

        options: List[str] = []
        index_url = setting("packages.index_url")
        if index_url:
            options += ["--index-url", str(index_url)]
        for url in _as_list(setting("packages.extra_index_urls")):
            options += ["--extra-index-url", url]
        if setting("packages.no_index", False):
            options.append("--no-index")
        for location in _as_list(setting("packages.find_links")):
            options += ["--find-links", location]
        return options

    def build_install_command(
        self,
        package_spec: str,
        target_dir: "str | os.PathLike[str]",
        *,
        no_deps: bool = False,
        prefer_binary: bool = False,
    ) -> List[str]:
        """The argument list of ``pip install`` into ``target_dir``; the program comes first."""
        command: List[str] = [
            sys.executable, "-m", "pip", "install",
            "--disable-pip-version-check", "--no-input", "--progress-bar", "off",
            "--upgrade", "--target", os.fspath(target_dir),
        ]
        command += self.index_options()
        if no_deps:
            command.append("--no-deps")
        if prefer_binary:
            command.append("--prefer-binary")
        command += ["--", package_spec]
        return command
