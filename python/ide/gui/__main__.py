"""``python -m ide.gui [--host HOST] [--port PORT] [--plain] [--hub-file FILE] [--token TOKEN]``:
the IDE main window, connected to a hub.

The hub lets in only connections that present its token. The IDE reads it, with the hub's
address, from the ``hub.json`` the hub writes in its data folder (``--hub-file``; by default the
development hub's default data folder), so that ``python -m ide.gui`` finds a hub started with
``python -m devhub``; ``--token`` (or QUORVEL_HUB_TOKEN) gives it by hand. While the IDE is not
connected it reads the file again, so a restarted hub (with a new token) is found by itself.

The status bar and the console show the connection's state as it changes: connecting,
connected, disconnected, and each reconnection attempt with its wait. ``--plain`` connects over
plain ``ws`` (the development hub's default); without it the scheme follows QUORVEL_SECURED
(default: TLS). ``--screenshot FILE`` saves a picture of the window after ``--screenshot-after``
seconds and quits, which also works without a display (QT_QPA_PLATFORM=offscreen).

On X, a desktop missing one of the libraries Qt loads is told which ones and how to install
them, and the IDE exits with status 1 before Qt tries.

The window remembers its layout, the console's line limit and prompt history, and the workbook
last worked in (reopened at the next start) in the user's Quorvel IDE settings file.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import Optional, Tuple

from PySide6.QtCore import QTimer
from PySide6.QtWidgets import QApplication

from .hub_file import HubAddress, default_hub_file, read_hub_file
from .x_libraries import x_libraries_problem

# How often a disconnected IDE reads the hub file again, in milliseconds.
HUB_FILE_CHECK_MS = 2000


def parse_args(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m ide.gui", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", help="hub host (default: the hub file's, else localhost)")
    parser.add_argument("--port", type=int, help="hub port (default: the hub file's, else 8000)")
    parser.add_argument("--plain", action="store_true", help="connect with ws instead of wss")
    parser.add_argument("--hub-file", metavar="FILE",
                        help=f"the hub's hub.json (default: {default_hub_file()})")
    parser.add_argument("--token", help="the hub's token (default: the hub file's, else "
                                        "QUORVEL_HUB_TOKEN)")
    parser.add_argument("--screenshot", metavar="FILE", help="save the window as an image, quit")
    parser.add_argument("--screenshot-after", type=float, default=3.0, metavar="SECONDS")
    return parser.parse_args(argv)


def hub_of(args: argparse.Namespace) -> Tuple[str, int, Optional[HubAddress]]:
    """The host and port to connect to, and the hub file's hub when it is that one."""
    hub = read_hub_file(args.hub_file or default_hub_file())
    if hub is not None and args.port not in (None, hub.port):
        hub = None  # the file names another hub than the one asked for
    host = args.host or (hub.host if hub else "localhost")
    port = args.port or (hub.port if hub else 8000)
    return host, port, hub


def main(argv=None) -> int:
    args = parse_args(argv)
    host, port, hub = hub_of(args)
    if args.plain:
        os.environ["QUORVEL_SECURED"] = "0"
    elif hub is not None:
        os.environ["QUORVEL_SECURED"] = "1" if hub.secured else "0"
    os.environ.setdefault("QUORVEL_LOG_LEVEL", "INFO")
    problem = x_libraries_problem()
    if problem:
        print(problem, file=sys.stderr)
        return 1

    from quorvel_logging import setup_logging_subprocess

    from . import MainWindow
    from .idelink import IdeLink
    from .window_settings import default_settings

    setup_logging_subprocess()
    app = QApplication.instance() or QApplication(sys.argv[:1])
    window = MainWindow(settings=None if args.screenshot else default_settings())
    token = args.token or (hub.token if hub else None)
    link = IdeLink(window, host, port, token=token)
    window.setWindowTitle(f"Quorvel IDE - {host}:{port}")
    window.statusBar().showMessage(f"Connecting to {link.url} ...")
    window.attach_link(link)
    app.aboutToQuit.connect(link.stop)
    # Ctrl+C in the terminal closes the window: the timer lets Python see the signal.
    signal.signal(signal.SIGINT, lambda *_: app.quit())
    heartbeat = QTimer(window)
    heartbeat.timeout.connect(lambda: None)
    heartbeat.start(200)
    if not args.token:
        # A hub started later, or restarted with a new token, on this port: take its token
        # while disconnected.
        hub_file = args.hub_file or default_hub_file()

        def follow_hub_file() -> None:
            latest = read_hub_file(hub_file)
            if not link.connected and latest is not None and latest.port == port:
                link.token = latest.token

        follow = QTimer(window)
        follow.timeout.connect(follow_hub_file)
        follow.start(HUB_FILE_CHECK_MS)

    if args.screenshot:
        def save_and_quit() -> None:
            window.grab().save(args.screenshot)
            print(f"saved {args.screenshot}", flush=True)
            app.quit()

        QTimer.singleShot(int(args.screenshot_after * 1000), save_and_quit)

    window.show()
    link.start()
    return app.exec()


if __name__ == "__main__":
    sys.exit(main())
