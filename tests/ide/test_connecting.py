"""Connecting the IDE window to the hub as a person does: with the hub's token, and with a second
IDE window that takes the first one's place."""
import os
import subprocess
import sys

from .conftest import Ide, seconds


class TestASecondIdeWindow:
    def test_the_first_window_says_why_it_lost_its_place_and_takes_it_back(self, background):
        first = Ide(background)
        second = None
        try:
            second = Ide(background)
            first.wait(lambda: "Another IDE" in first.window.statusBar().currentMessage(),
                       "the first window to say it was replaced")
            assert first.window.statusBar().currentMessage() == (
                "Disconnected: Another IDE connected to this hub")
            assert not first.link._running and second.link.is_connected()
            first.window.reconnect_action.trigger()  # File > Reconnect to Hub
            first.wait(first.link.is_connected, "the first window to reconnect")
            second.wait(lambda: not second.link._running, "the second window to give way")
            assert background.call(_ide_connection_is(background.hub, first))
        finally:
            first.close()
            if second is not None:
                second.close()


async def _ide_connection_is(hub, ide) -> bool:
    """Whether the hub's IDE connection is the one `ide`'s link holds (the same local port)."""
    connection = hub.ide.connection
    return connection is not None and connection.remote_address[1] == (
        ide.link.ws.local_address[1])


class TestTheCommandLine:
    def test_the_window_finds_the_hub_and_its_token_in_hub_json(self, background, tmp_path):
        """`python -m ide.gui --hub-file FILE`, offscreen: it connects and pictures the window."""
        picture = tmp_path / "window.png"
        completed = subprocess.run(
            [sys.executable, "-m", "ide.gui", "--hub-file", background.hub.hub_file,
             "--screenshot", str(picture), "--screenshot-after", "4"],
            env={**os.environ, "QT_QPA_PLATFORM": "offscreen", "QUORVEL_SECURED": "1"},
            capture_output=True, text=True, timeout=seconds(60))
        assert completed.returncode == 0, completed.stderr
        assert "[IdeLink] Connected to Business Layer" in completed.stderr
        assert picture.stat().st_size > 0
