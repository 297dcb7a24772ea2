"""Losing the connection, the back-off between attempts, and reconnecting."""
import asyncio
import logging
import time

import pytest

from ide.gui import idelink
from ide.gui.idelink import IdeLink

from .conftest import console_texts, log_lines
from .fake_hub import FakeHub


def record_notices(link):
    """Replaces link._on_reconnecting with a recorder that still calls through."""
    notices = []
    original = link._on_reconnecting

    def recorder(attempt, delay):
        notices.append((attempt, delay, time.monotonic()))
        original(attempt, delay)

    link._on_reconnecting = recorder
    return notices


class TestBackoffArithmetic:
    def test_doubles_from_the_base_up_to_the_cap(self):
        assert [idelink.backoff_delay(1.0, 30.0, n) for n in range(1, 9)] == [
            1, 2, 4, 8, 16, 30, 30, 30]

    def test_any_number_of_rounds_gives_the_cap(self):
        # base * 2 ** 5000 overflows a float: the wait must still be the cap.
        assert idelink.backoff_delay(1.0, 30.0, 5000) == 30.0
        assert idelink.backoff_delay(1.0, 30.0, 2**62) == 30.0

    def test_reconnect_waits_and_reports_each_round(self, window, monkeypatch, client_log):
        slept = []

        async def fake_sleep(delay):
            slept.append(delay)

        monkeypatch.setattr(asyncio, "sleep", fake_sleep)
        link = IdeLink(window)
        notices = []
        link._on_reconnecting = lambda attempt, delay: notices.append((attempt, delay))
        for _ in range(7):
            asyncio.run(link._reconnect())
        assert slept == [1, 2, 4, 8, 16, 30, 30]
        assert notices == [(n, d) for n, d in zip(range(1, 8), slept)]
        assert link._reconnect_attempts == 7
        assert link._reconnect_delay == 1.0  # the base is never scaled
        assert "[IdeLink] Reconnecting in 4.0s (attempt 3)..." in log_lines(client_log,
                                                                           logging.INFO)

    @pytest.mark.parametrize("attempt, delay, text", [
        (2, 2.0, "Reconnecting... (attempt 2, next try in 2s)"),
        (6, 30.0, "Reconnecting... (attempt 6, next try in 30s)"),
        (1, 0.01, "Reconnecting... (attempt 1, next try in 0s)"),
    ])
    def test_status_bar_shows_attempt_and_whole_seconds(self, window, qtbot, attempt, delay,
                                                        text):
        IdeLink(window)._on_reconnecting(attempt, delay)
        qtbot.waitUntil(lambda: window.statusBar().currentMessage() == text)


class TestServerDown:
    @pytest.fixture
    def dead_port(self):
        hub = FakeHub().start()
        port = hub.port
        hub.shutdown()
        return port

    def test_attempts_are_spaced_by_the_doubling_delays(self, window, plain_ws, qtbot, dead_port,
                                                        client_log):
        link = IdeLink(window, "127.0.0.1", dead_port)
        link._reconnect_delay, link._max_reconnect_delay = 0.01, 0.08
        notices = record_notices(link)
        started = time.monotonic()
        link.start()
        try:
            qtbot.waitUntil(lambda: len(notices) >= 7, timeout=5000)
        finally:
            link.stop()
        assert [(n, d) for n, d, _ in notices[:7]] == [
            (1, 0.01), (2, 0.02), (3, 0.04), (4, 0.08), (5, 0.08), (6, 0.08), (7, 0.08)]
        # The first attempt is made at once; each later one only after the previous wait.
        assert notices[0][2] - started < 1.0
        for (_, delay, at), (_, _, next_at) in zip(notices, notices[1:7]):
            assert next_at - at >= delay * 0.9
        errors = log_lines(client_log, logging.ERROR)
        assert errors[0].startswith("[IdeLink] Connection error: ")
        assert link.is_connected() is False
        qtbot.waitUntil(lambda: window.statusBar().currentMessage().startswith(
            "Reconnecting... (attempt 7"))
        assert "Disconnected from Quorvel Server" in console_texts(window)

    def test_a_successful_connect_resets_the_back_off(self, window, plain_ws, qtbot):
        hub = FakeHub().start()
        hub.stop_server()
        link = IdeLink(window, "127.0.0.1", hub.port)
        link._reconnect_delay = 0.01
        notices = record_notices(link)
        try:
            link.start()
            qtbot.waitUntil(lambda: len(notices) >= 3, timeout=5000)
            hub.start()  # same port
            qtbot.waitUntil(link.is_connected, timeout=5000)
            assert (link._reconnect_attempts, link._reconnect_delay) == (0, 1.0)
            count = len(notices)
            hub.drop_connection()
            qtbot.waitUntil(lambda: len(notices) > count, timeout=5000)
            assert notices[count][:2] == (1, 1.0)  # the first wait after a later loss is 1 s
        finally:
            link.stop()
            hub.shutdown()


class TestConnectionLoss:
    def test_a_dropped_connection_is_reported_and_reconnected(self, client_log, connected, hub,
                                                              window, qtbot):
        connected._reconnect_delay = 0.01
        hub.drop_connection()

        def reconnected():
            # The console hears of each change on the GUI thread, after the client knows it.
            texts = console_texts(window)
            return (hub.accepted == 2 and connected.is_connected()
                    and "Disconnected from Quorvel Server" in texts
                    and texts[-1] == "Connected to Quorvel Server")
        qtbot.waitUntil(reconnected, timeout=5000)
        warnings = log_lines(client_log, logging.WARNING)
        assert warnings[0].startswith("[IdeLink] Connection closed: ")

    def test_a_close_with_an_error_status_is_a_closed_connection(self, client_log, connected,
                                                                 hub, qtbot):
        connected._reconnect_delay = 10.0
        hub.close_connection(1011, "broken")
        qtbot.waitUntil(lambda: not connected.is_connected(), timeout=5000)
        warnings = log_lines(client_log, logging.WARNING)
        assert warnings == ["[IdeLink] Connection closed: received 1011 (internal error) broken; "
                            "then sent 1011 (internal error) broken"]

    def test_a_normal_close_by_the_server_counts_as_a_disconnect(self, client_log, connected,
                                                                 hub, window, qtbot):
        connected._reconnect_delay = 10.0
        hub.close_connection(1000)
        qtbot.waitUntil(lambda: "Disconnected from Quorvel Server" in console_texts(window))
        assert connected.is_connected() is False
        qtbot.waitUntil(lambda: window.statusBar().currentMessage() ==
                        "Reconnecting... (attempt 1, next try in 10s)")
        assert "[IdeLink] Connection closed by server (code 1000)" in log_lines(client_log,
                                                                                logging.INFO)
        # Sends during the wait are refused as "not connected", not attempted on a dead socket.
        connected.send_message({"type": "lost"})
        assert log_lines(client_log)[-1] == "[IdeLink] Cannot send message: not connected"
        assert not any("Send error" in line for line in log_lines(client_log))

    def test_a_hub_restart_is_survived(self, connected, hub, window, qtbot):
        connected._reconnect_delay = 0.01
        hub.stop_server()
        qtbot.waitUntil(lambda: not connected.is_connected(), timeout=5000)
        hub.start()
        qtbot.waitUntil(lambda: connected.is_connected() and hub.accepted == 2, timeout=5000)
        connected.send_message({"type": "after_restart"})
        qtbot.waitUntil(lambda: hub.messages() == [{"type": "after_restart"}])
        qtbot.waitUntil(
            lambda: window.statusBar().currentMessage() == "Connected to Quorvel Server")
