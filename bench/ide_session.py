"""The set-up shared by the IDE benchmarks: the peer server in its own process, and a main
window whose IdeLink is connected to it."""
from __future__ import annotations

import contextlib
import logging
import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, Tuple

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
os.environ["QUORVEL_SECURED"] = "0"

from PySide6.QtWidgets import QApplication  # noqa: E402

from ide.gui import MainWindow  # noqa: E402
from ide.gui.idelink import IdeLink  # noqa: E402


@contextlib.contextmanager
def ide_session(show: bool = False) -> Iterator[Tuple[IdeLink, MainWindow, str]]:
    """Yields (link, window, the bare clients' URL); stops both ends afterwards."""
    # stop() reports the stopped loop at error level; the figures are all a benchmark prints.
    logging.getLogger("ide.gui.idelink").setLevel(logging.CRITICAL)
    peer = subprocess.Popen([sys.executable, str(Path(__file__).with_name("ide_hub_peer.py"))],
                            stdout=subprocess.PIPE, text=True)
    try:
        port = int(peer.stdout.readline())
        app = QApplication.instance() or QApplication([])
        window = MainWindow()
        if show:
            window.show()
        link = IdeLink(window, "127.0.0.1", port)
        link.start()
        while not link.is_connected():
            app.processEvents()
            time.sleep(0.01)
        try:
            yield link, window, f"ws://127.0.0.1:{port}/ws/ide/main_ide"
        finally:
            link.stop()
    finally:
        peer.kill()
        peer.wait()
