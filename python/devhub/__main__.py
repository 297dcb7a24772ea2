"""``python -m devhub [--port 8000] [--data-dir DIR] [--kernel NAME ...] [--package-settings
FILE] [FILE.xlsx ...]``: run the development hub until interrupted (Ctrl+C or SIGTERM, which
save every workbook), opening each workbook file given and launching its kernel. A file that
does not exist yet is created with one empty sheet; ``--kernel NAME`` opens the file NAME in the
data folder's "workbooks" folder. The data folder holds the package cache, that folder and
``hub.json`` (default: ``$XDG_DATA_HOME/quorvel-devhub``, else
``~/.local/share/quorvel-devhub``); the settings file is a JSON object of the package keys of
``business_layer.settings_manager`` (indexes, ``packages.no_index``, ``packages.find_links``).

Each start makes a new token that every connection must present; the hub writes it with its
address to ``hub.json`` in the data folder (readable by its owner only), where the IDE finds it.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import signal
import sys
from typing import Any, List, Optional

from business_layer.settings_manager import SettingsManager

from .hub import DevHub
from .workbook_file import WorkbookFileError


def default_data_dir() -> str:
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "quorvel-devhub")


async def serve(port: int, files: List[str], names: List[str], data_dir: Optional[str] = None,
                package_settings: Any = None) -> None:
    async with DevHub(port=port, keep_frames=False, data_dir=data_dir or default_data_dir(),
                      package_settings=package_settings) as hub:
        print(next_steps(hub), flush=True)
        paths = files + [hub.workbooks.default_path(name) for name in names]
        for path in paths:
            try:
                workbook = await hub.open_workbook(path)
            except WorkbookFileError as error:
                print(f"not opened: {error}", file=sys.stderr, flush=True)
            else:
                print(f"opened {workbook.path}; its kernel is starting", flush=True)
        # SIGTERM and Ctrl+C end the hub the same way: every workbook saved, its kernels
        # stopped, hub.json removed.
        stopping = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signal_number, stopping.set)
        await stopping.wait()


def next_steps(hub: DevHub) -> str:
    """What the hub prints at start: where it is, where its token is, what to run next."""
    plain = "" if hub.secured else " --plain"
    return "\n".join([
        f"development hub listening on {hub.url}",
        f"its address and token are in {hub.hub_file} (readable by you only)",
        f"  the IDE:  {sys.executable} -m ide.gui{plain}",
        f"  a kernel: QUORVEL_HUB_TOKEN={hub.token} QUORVEL_SECURED={int(hub.secured)} "
        f"{sys.executable} -m python_server WORKBOOK.xlsx {hub.port}",
    ])


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m devhub", description=__doc__)
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--kernel", action="append", default=[], metavar="NAME",
                        help="open the workbook NAME of the data folder's workbooks folder")
    parser.add_argument("--data-dir", metavar="DIR", help="package cache, workbooks, hub.json")
    parser.add_argument("--package-settings", metavar="FILE", help="JSON settings of the packages")
    parser.add_argument("files", nargs="*", metavar="FILE.xlsx", help="workbook files to open")
    args = parser.parse_args()
    settings = SettingsManager.from_file(args.package_settings) if args.package_settings else None
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s")
    try:
        asyncio.run(serve(args.port, args.files, args.kernel, args.data_dir, settings))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
