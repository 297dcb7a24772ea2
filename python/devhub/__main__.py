"""``python -m devhub [--port 8000] [--data-dir DIR] [--kernel NAME ...] [--package-settings
FILE] [--open-browser] [--open-ide] [FILE.xlsx ...]``: run the development hub until
interrupted (Ctrl+C or SIGTERM, which save every workbook), opening each workbook file given and
launching its kernel. A file that does not exist yet is created with one empty sheet;
``--kernel NAME`` opens the file NAME in the data folder's "workbooks" folder. The data folder
holds the package cache, that folder and ``hub.json`` (default: ``$XDG_DATA_HOME/quorvel-devhub``,
else ``~/.local/share/quorvel-devhub``); the settings file is a JSON object of the package keys
of ``business_layer.settings_manager`` (indexes, ``packages.no_index``,
``packages.find_links``).

Each start makes a new token that every connection must present; the hub writes it with its
address to ``hub.json`` in the data folder (readable by its owner only), where the IDE finds it.
Once the workbooks are open the hub prints the address of each one's page, and of the page
listing them all; these addresses carry the token, which the browser keeps as a cookie.

``--open-browser`` opens each workbook's page in the desktop's web browser, and
``--open-ide`` starts the IDE window (``python -m ide.gui --hub-file <hub.json>``) as a child
process, closed again when the hub stops. Both need a display (``DISPLAY`` or
``WAYLAND_DISPLAY``, or macOS or Windows); without one the hub says so and runs on.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import signal
import subprocess
import sys
import webbrowser
from typing import Any, List, Optional

from business_layer.settings_manager import SettingsManager

from .hub import DevHub
from .workbook_file import WorkbookFileError

# Seconds the IDE window is given to close when the hub stops, before it is killed.
IDE_CLOSE_TIMEOUT = 5.0


def default_data_dir() -> str:
    base = (os.environ.get("XDG_DATA_HOME")
            or os.path.join(os.path.expanduser("~"), ".local", "share"))
    return os.path.join(base, "quorvel-devhub")


def has_display() -> bool:
    """Whether windows can be shown here: an X or Wayland display, or a desktop system whose
    programs always have one."""
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")) \
        or sys.platform in ("darwin", "win32")


async def serve(port: int, files: List[str], names: List[str], data_dir: Optional[str] = None,
                package_settings: Any = None, open_browser: bool = False,
                open_ide: bool = False) -> None:
    async with DevHub(port=port, keep_frames=False, data_dir=data_dir or default_data_dir(),
                      package_settings=package_settings) as hub:
        # SIGTERM and Ctrl+C end the hub the same way: every workbook saved, its kernels
        # stopped, hub.json removed. Listened for before anything is printed, so that a
        # signal sent by whoever reads the first lines finds them.
        stopping = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signal_number, stopping.set)
        print(next_steps(hub), flush=True)
        paths = files + [hub.workbooks.default_path(name) for name in names]
        pages = []
        for path in paths:
            try:
                workbook = await hub.open_workbook(path)
            except WorkbookFileError as error:
                print(f"not opened: {error}", file=sys.stderr, flush=True)
            else:
                pages.append(hub.workbook_url(workbook.name))
                print(f"opened {workbook.path}; its kernel is starting", flush=True)
                print(f"  its page: {pages[-1]}", flush=True)
        print(f"the open workbooks: {hub.page_url}", flush=True)
        ide = None
        try:
            if open_browser and not stopping.is_set():
                await show_pages(pages or [hub.page_url])
            if open_ide and not stopping.is_set():
                ide = start_ide(hub)
            await stopping.wait()
        finally:
            if ide is not None:
                await asyncio.to_thread(close_ide, ide)


async def show_pages(urls: List[str]) -> None:
    if not has_display():
        print("no display (DISPLAY and WAYLAND_DISPLAY are unset): no browser opened; open the "
              "page's address above in one", flush=True)
        return
    for url in urls:
        # Some browsers' launchers wait for the window: off the loop, which serves the page.
        if not await asyncio.to_thread(webbrowser.open, url):
            print(f"no web browser found to open {url}", flush=True)
            return
    print(f"opened {len(urls)} page{'s' if len(urls) != 1 else ''} in the web browser",
          flush=True)


def start_ide(hub: DevHub) -> Optional[subprocess.Popen]:
    """The IDE window as a child process, pointed at this hub's hub.json."""
    if not has_display():
        print("no display (DISPLAY and WAYLAND_DISPLAY are unset): the IDE window was not "
              "started", flush=True)
        return None
    command = [sys.executable, "-m", "ide.gui", "--hub-file", str(hub.hub_file)]
    # In a session of its own, so that Ctrl+C reaches the hub only, which then closes it.
    ide = subprocess.Popen(command, stdin=subprocess.DEVNULL, start_new_session=True)
    print(f"started the IDE window (pid {ide.pid})", flush=True)
    return ide


def close_ide(ide: subprocess.Popen) -> None:
    if ide.poll() is not None:
        return
    ide.terminate()
    try:
        ide.wait(IDE_CLOSE_TIMEOUT)
    except subprocess.TimeoutExpired:
        ide.kill()
        ide.wait()


def next_steps(hub: DevHub) -> str:
    """What the hub prints at start: where it is, where its token is, what to run next."""
    plain = "" if hub.secured else " --plain"
    return "\n".join([
        f"development hub listening on {hub.url}",
        f"its address and token are in {hub.hub_file} (readable by you only)",
        f"  the IDE:  {sys.executable} -m ide.gui{plain} --hub-file {hub.hub_file}",
        f"  a kernel: QUORVEL_HUB_TOKEN={hub.token} QUORVEL_SECURED={int(hub.secured)} "
        f"{sys.executable} -m python_server WORKBOOK.xlsx {hub.port}",
    ])


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m devhub", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--kernel", action="append", default=[], metavar="NAME",
                        help="open the workbook NAME of the data folder's workbooks folder")
    parser.add_argument("--data-dir", metavar="DIR", help="package cache, workbooks, hub.json")
    parser.add_argument("--package-settings", metavar="FILE", help="JSON settings of the packages")
    parser.add_argument("--open-browser", action="store_true",
                        help="open each workbook's page in the web browser (needs a display)")
    parser.add_argument("--open-ide", action="store_true",
                        help="start the IDE window, closed when the hub stops (needs a display)")
    parser.add_argument("files", nargs="*", metavar="FILE.xlsx", help="workbook files to open")
    args = parser.parse_args()
    settings = SettingsManager.from_file(args.package_settings) if args.package_settings else None
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s")
    try:
        asyncio.run(serve(args.port, args.files, args.kernel, args.data_dir, settings,
                          args.open_browser, args.open_ide))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
