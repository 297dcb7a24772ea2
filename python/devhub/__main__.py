"""``python -m devhub [--port 8000] [--kernel WORKBOOK ...] [--data-dir DIR] [--package-settings
FILE]``: run the development hub until interrupted, optionally launching a kernel for each named
workbook. The data folder holds the package cache and each workbook's package list (default:
``$XDG_DATA_HOME/quorvel-devhub``, else ``~/.local/share/quorvel-devhub``); the settings file
is a JSON object of the package keys of ``business_layer.settings_manager`` (indexes,
``packages.no_index``, ``packages.find_links``)."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
from typing import Any, Optional

from business_layer.settings_manager import SettingsManager

from .hub import DevHub


def default_data_dir() -> str:
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "quorvel-devhub")


async def serve(port: int, workbooks: list, data_dir: Optional[str] = None,
                package_settings: Any = None) -> None:
    async with DevHub(port=port, keep_frames=False, data_dir=data_dir or default_data_dir(),
                      package_settings=package_settings) as hub:
        print(f"development hub listening on {hub.url}", flush=True)
        processes = [await hub.launch_kernel(name) for name in workbooks]
        try:
            await asyncio.Event().wait()
        finally:
            for process in processes:
                await process.kill()


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m devhub", description=__doc__)
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--kernel", action="append", default=[], metavar="WORKBOOK")
    parser.add_argument("--data-dir", metavar="DIR", help="package cache and package lists")
    parser.add_argument("--package-settings", metavar="FILE", help="JSON settings of the packages")
    args = parser.parse_args()
    settings = SettingsManager.from_file(args.package_settings) if args.package_settings else None
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s")
    try:
        asyncio.run(serve(args.port, args.kernel, args.data_dir, settings))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
