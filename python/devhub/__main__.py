"""``python -m devhub [--port 8000] [--kernel WORKBOOK ...] [--data-dir DIR] [--package-settings
FILE]``: run the development hub until interrupted, optionally launching a kernel for each named
workbook. The data folder holds the package cache and each workbook's package list (default:
``$XDG_DATA_HOME/quorvel-devhub``, else ``~/.local/share/quorvel-devhub``); the settings file
is a JSON object of the package keys of ``business_layer.settings_manager`` (indexes,
``packages.no_index``, ``packages.find_links``).

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
        print(next_steps(hub), flush=True)
        processes = [await hub.launch_kernel(name) for name in workbooks]
        # SIGTERM and Ctrl+C end the hub the same way: its kernels stopped, hub.json removed.
        stopping = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signal_number, stopping.set)
        try:
            await stopping.wait()
        finally:
            for process in processes:
                await process.kill()


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
