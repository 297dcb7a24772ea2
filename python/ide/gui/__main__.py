"""``python -m ide.gui [--host localhost] [--port 8000] [--plain]``: the IDE main window,
connected to a hub.

The status bar and the console show the connection's state as it changes: connecting,
connected, disconnected, and each reconnection attempt with its wait. ``--plain`` connects over
plain ``ws`` (the development hub's default); without it the scheme follows QUORVEL_SECURED
(default: TLS). ``--screenshot FILE`` saves a picture of the window after ``--screenshot-after``
seconds and quits, which also works without a display (QT_QPA_PLATFORM=offscreen).

The window remembers its layout, the console's line limit and prompt history, and the workbook
last worked in (reopened at the next start) in the user's Quorvel IDE settings file.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys

from PySide6.QtCore import QTimer
from PySide6.QtWidgets import QApplication


def parse_args(argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m ide.gui", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="localhost", help="hub host (default: localhost)")
    parser.add_argument("--port", type=int, default=8000, help="hub port (default: 8000)")
    parser.add_argument("--plain", action="store_true", help="connect with ws instead of wss")
    parser.add_argument("--screenshot", metavar="FILE", help="save the window as an image, quit")
    parser.add_argument("--screenshot-after", type=float, default=3.0, metavar="SECONDS")
    return parser.parse_args(argv)


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.plain:
        os.environ["QUORVEL_SECURED"] = "0"
    os.environ.setdefault("QUORVEL_LOG_LEVEL", "INFO")

    from quorvel_logging import setup_logging_subprocess

    from . import MainWindow
    from .idelink import IdeLink
    from .window_settings import default_settings

    setup_logging_subprocess()
    app = QApplication.instance() or QApplication(sys.argv[:1])
    window = MainWindow(settings=None if args.screenshot else default_settings())
    link = IdeLink(window, args.host, args.port)
    window.setWindowTitle(f"Quorvel IDE - {args.host}:{args.port}")
    window.statusBar().showMessage(f"Connecting to {link.url} ...")
    window.attach_link(link)
    app.aboutToQuit.connect(link.stop)
    # Ctrl+C in the terminal closes the window: the timer lets Python see the signal.
    signal.signal(signal.SIGINT, lambda *_: app.quit())
    heartbeat = QTimer(window)
    heartbeat.timeout.connect(lambda: None)
    heartbeat.start(200)

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
