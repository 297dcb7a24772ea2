"""Construction, start and stop, the connection thread, and what the window shows of the state."""
import logging
import ssl
import threading
import time

import pytest
import trustme

from ide.gui import OutputLevel
from ide.gui.idelink import IdeLink

from .conftest import console_texts, log_lines
from .fake_hub import FakeHub


class TestConstruction:
    @pytest.mark.parametrize("value, scheme", [(None, "wss"), ("1", "wss"), ("true", "wss"),
                                                ("", "wss"), ("0", "ws")])
    def test_scheme_follows_quorvel_secured(self, monkeypatch, window, value, scheme):
        if value is None:
            monkeypatch.delenv("QUORVEL_SECURED", raising=False)
        else:
            monkeypatch.setenv("QUORVEL_SECURED", value)
        assert IdeLink(window, "example", 1234).url == f"{scheme}://example:1234/ws/ide/main_ide"

    def test_defaults(self, monkeypatch, window):
        monkeypatch.delenv("QUORVEL_SECURED", raising=False)
        link = IdeLink(window)
        assert (link.url, link.host, link.port) == (
            "wss://localhost:8000/ws/ide/main_ide", "localhost", 8000)
        assert link.main_window is window
        assert (link.ws, link._thread, link._loop, link._pending_requests) == (None, None, None, {})
        assert (link._reconnect_delay, link._max_reconnect_delay, link._reconnect_attempts) == (
            1.0, 30.0, 0)
        assert link._running is False and link.connected is False
        assert link.is_connected() is False

    def test_port_is_formatted_as_a_decimal_integer(self, window, plain_ws):
        assert IdeLink(window, "h", "0800").url == "ws://h:800/ws/ide/main_ide"


class TestStartStop:
    def test_connects_to_the_ide_endpoint_and_shows_it(self, client_log, connected, hub, window,
                                                       qtbot):
        assert hub.paths == ["/ws/ide/main_ide"]
        qtbot.waitUntil(lambda: "Connected to Quorvel Server" in console_texts(window))
        assert window.statusBar().currentMessage() == "Connected to Quorvel Server"
        entry = window.console.entries[-1]
        assert (entry.color, entry.level, entry.from_std) == (None, OutputLevel.DETAILED, False)
        assert connected.connected is True
        assert connected.ws is not None
        lines = log_lines(client_log, logging.INFO)
        # The thread may connect before start() has logged that it started.
        assert sorted(lines[:2]) == ["[IdeLink] Connected to Business Layer",
                                     f"[IdeLink] Started, connecting to {connected.url}"]

    def test_a_second_start_makes_no_second_thread(self, connected, hub):
        thread = connected._thread
        connected.start()
        assert connected._thread is thread
        time.sleep(0.2)
        assert hub.accepted == 1

    def test_the_connection_runs_on_a_daemon_thread_with_its_own_loop(self, connected):
        assert connected._thread.daemon and connected._thread.is_alive()
        assert connected._thread is not threading.main_thread()
        assert connected._loop.is_running()

    def test_stop_ends_the_thread_and_closes_the_loop(self, connected, client_log):
        thread, loop = connected._thread, connected._loop
        connected.stop()
        assert not thread.is_alive()
        assert loop.is_closed()
        assert connected._loop is None
        assert connected.is_connected() is False
        assert log_lines(client_log)[-1] == "[IdeLink] Stopped"

    def test_stop_drops_the_connection(self, connected, hub, qtbot):
        connected.stop()
        # The hub sees the socket go away without waiting for any time-out.
        qtbot.waitUntil(lambda: hub._connection.state.name == "CLOSED", timeout=3000)

    def test_stop_twice_and_stop_before_start_are_harmless(self, link, connected):
        connected.stop()
        connected.stop()
        IdeLink(link.main_window).stop()

    def test_start_after_stop_connects_again(self, connected, hub, qtbot):
        first = connected._thread
        connected.stop()
        connected.start()
        qtbot.waitUntil(lambda: connected.is_connected() and hub.accepted == 2, timeout=5000)
        assert connected._thread is not first

    def test_stop_during_the_back_off_wait_is_prompt(self, window, plain_ws, qtbot, client_log):
        hub = FakeHub().start()
        port = hub.port
        hub.shutdown()  # nothing listens there any more
        link = IdeLink(window, "127.0.0.1", port)
        link._reconnect_delay = 20.0
        link.start()
        qtbot.waitUntil(lambda: link._reconnect_attempts == 1, timeout=5000)
        started = time.monotonic()
        link.stop()
        assert time.monotonic() - started < 1.0
        assert not link._thread.is_alive()
        assert log_lines(client_log)[-1] == "[IdeLink] Stopped"


class TestSecuredConnection:
    def test_wss_accepts_a_self_signed_certificate(self, monkeypatch, window, qtbot):
        monkeypatch.delenv("QUORVEL_SECURED", raising=False)
        authority = trustme.CA()
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        authority.issue_cert("127.0.0.1").configure_cert(context)
        hub = FakeHub(ssl_context=context).start()
        link = IdeLink(window, "127.0.0.1", hub.port)
        try:
            assert link.url.startswith("wss://")
            link.start()
            qtbot.waitUntil(link.is_connected, timeout=5000)
            link.send_message({"type": "hello", "over": "tls"})
            qtbot.waitUntil(lambda: hub.messages() == [{"type": "hello", "over": "tls"}])
        finally:
            link.stop()
            hub.shutdown()

    def test_plain_ws_to_a_tls_hub_fails_and_retries(self, monkeypatch, window, qtbot,
                                                     client_log):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        trustme.CA().issue_cert("127.0.0.1").configure_cert(context)
        hub = FakeHub(ssl_context=context).start()
        monkeypatch.setenv("QUORVEL_SECURED", "0")
        link = IdeLink(window, "127.0.0.1", hub.port)
        link._reconnect_delay = 0.01
        try:
            link.start()
            qtbot.waitUntil(lambda: link._reconnect_attempts >= 2, timeout=5000)
            assert not link.is_connected()
            assert any(line.startswith("[IdeLink] Connection error: ")
                       for line in log_lines(client_log, logging.ERROR))
        finally:
            link.stop()
            hub.shutdown()


def refused_link(window, hub, token):
    """A started link to a hub that refuses its token, retrying at once."""
    hub.refusal = (403, "The token is not this hub's.\n")
    link = IdeLink(window, "127.0.0.1", hub.port, token=token)
    link._reconnect_delay = 0.01
    link.start()
    return link


class TestTheHubsToken:
    @pytest.mark.parametrize("keyword, environment, sent", [
        ("given", "from-env", "Bearer given"),  # the keyword wins
        (None, "from-env", "Bearer from-env"),
        (None, None, None),                     # no token: the handshake carries none
        (None, "", None),
    ])
    def test_the_handshake_presents_the_token(self, monkeypatch, window, hub, plain_ws, qtbot,
                                              keyword, environment, sent):
        if environment is None:
            monkeypatch.delenv("QUORVEL_HUB_TOKEN", raising=False)
        else:
            monkeypatch.setenv("QUORVEL_HUB_TOKEN", environment)
        link = IdeLink(window, "127.0.0.1", hub.port, token=keyword)
        try:
            link.start()
            qtbot.waitUntil(link.is_connected, timeout=5000)
            assert hub.authorizations == [sent]
            assert hub.paths == ["/ws/ide/main_ide"]
        finally:
            link.stop()

    def test_a_token_set_later_is_sent_at_the_next_attempt(self, window, hub, plain_ws, qtbot):
        link = refused_link(window, hub, "old")
        try:
            qtbot.waitUntil(lambda: len(hub.authorizations) >= 2, timeout=5000)
            link.token = "new"  # what the IDE does when a restarted hub names a new one
            hub.refusal = None  # after: an attempt in between would get in with the old one
            qtbot.waitUntil(link.is_connected, timeout=5000)
            assert hub.authorizations[-1] == "Bearer new"
        finally:
            link.stop()

    def test_a_token_that_is_not_text_is_refused_at_construction(self, window):
        with pytest.raises(TypeError):
            IdeLink(window, token=1234)


class TestWhatTheHubSaysWhenItRefusesOrReplaces:
    def test_a_refusal_is_shown_once_with_the_hubs_reason(self, window, hub, plain_ws, qtbot):
        link = refused_link(window, hub, "wrong")
        try:
            qtbot.waitUntil(lambda: len(hub.authorizations) >= 4, timeout=5000)
            shown = "The hub refused the connection: HTTP 403: The token is not this hub's."
            qtbot.waitUntil(lambda: shown in console_texts(window), timeout=5000)
            assert console_texts(window).count(shown) == 1
            assert link._running and not link.is_connected()  # it keeps trying
        finally:
            link.stop()

    def test_an_ide_replaced_by_another_says_why_and_stays_away(self, connected, hub, window,
                                                                qtbot, client_log):
        connected._reconnect_delay = 0.01
        hub.close_connection(4001, "Another IDE connected to this hub")
        qtbot.waitUntil(lambda: not connected._running, timeout=5000)
        qtbot.waitUntil(lambda: "Another IDE" in window.statusBar().currentMessage(),
                        timeout=5000)
        assert window.statusBar().currentMessage() == (
            "Disconnected: Another IDE connected to this hub")
        assert any("File > Reconnect to Hub" in text for text in console_texts(window))
        qtbot.waitUntil(lambda: not connected._thread.is_alive(), timeout=5000)
        assert hub.accepted == 1 and not connected.is_connected()

        # File > Reconnect to Hub takes the place back.
        window.attach_link(connected)
        window.reconnect_action.trigger()
        qtbot.waitUntil(lambda: connected.is_connected() and hub.accepted == 2, timeout=5000)

    def test_another_close_code_is_an_ordinary_loss(self, connected, hub, qtbot):
        connected._reconnect_delay = 0.01
        hub.close_connection(1011, "internal error")
        qtbot.waitUntil(lambda: hub.accepted == 2 and connected.is_connected(), timeout=5000)
