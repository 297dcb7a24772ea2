"""An IDE that exits with messages still queued for its window frees its connection client:
nanobind reports none of our objects leaked."""
import os
import subprocess
import sys

EXITING = """
from PySide6.QtWidgets import QApplication
app = QApplication([])
from ide.gui import MainWindow
from ide.gui.idelink import IdeLink
window = MainWindow()
link = IdeLink(window, "127.0.0.1", 9, token="t")
window.attach_link(link)
for _ in range(3):
    link._on_disconnected_qt()  # queued for the GUI thread, whose loop never runs again
print("queued")
"""


def test_calls_queued_for_the_window_at_exit_leave_nothing_alive():
    run = subprocess.run([sys.executable, "-c", EXITING], capture_output=True, text=True,
                         env=dict(os.environ, QT_QPA_PLATFORM="offscreen"), timeout=60)
    assert run.returncode == 0 and "queued" in run.stdout, run.stderr[-2000:]
    assert "nanobind: leaked" not in run.stderr, run.stderr[-2000:]
