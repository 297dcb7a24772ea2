"""`python -m ide.gui`: the window opens, connects to the hub and shows it."""
import os
import subprocess
import sys

from PySide6.QtGui import QImage


class TestLauncher:
    def test_opens_the_window_connected_to_the_hub(self, hub, tmp_path):
        picture = tmp_path / "ide.png"
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", QUORVEL_LOG_LEVEL="INFO")
        done = subprocess.run(
            [sys.executable, "-m", "ide.gui", "--host", "127.0.0.1", "--port", str(hub.port),
             "--plain", "--screenshot", str(picture), "--screenshot-after", "1.5"],
            env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert hub.paths == ["/ws/ide/main_ide"]
        assert "[IdeLink] Connected to Business Layer" in done.stderr
        assert "[IdeLink] Stopped" in done.stderr
        image = QImage(str(picture))
        assert image.width() >= 800 and image.height() >= 500
