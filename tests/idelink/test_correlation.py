"""Requests that wait for their response: matching, time-outs, and the thread of the callback."""
import asyncio
import json
import random
import re
import threading

import pytest

from ide.gui.idelink import IdeLink

from .conftest import console_texts, log_lines
from .fake_hub import FakeHub


class Callbacks:
    """Collects what callbacks receive, and whether they ran on the GUI thread."""

    def __init__(self):
        self.received = []
        self.on_gui_thread = []

    def __call__(self, data):
        self.received.append(data)
        self.on_gui_thread.append(threading.current_thread() is threading.main_thread())


def echo(message):
    yield {"type": message["type"] + "_response", "request_id": message.get("request_id"),
           "echo": message.get("payload")}


@pytest.fixture
def echo_hub():
    hub = FakeHub(responder=echo).start()
    yield hub
    hub.shutdown()


@pytest.fixture
def echo_link(window, echo_hub, plain_ws, qtbot):
    link = IdeLink(window, "127.0.0.1", echo_hub.port)
    link.start()
    qtbot.waitUntil(link.is_connected)
    yield link
    link.stop()


class TestResponses:
    def test_the_response_reaches_the_callback_on_the_gui_thread(self, echo_link, qtbot):
        callback = Callbacks()
        request_id = echo_link.send_and_wait_response({"type": "ask", "payload": 7}, callback)
        assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                            request_id)
        qtbot.waitUntil(lambda: bool(callback.received))
        assert callback.received == [
            {"type": "ask_response", "request_id": request_id, "echo": 7}]
        assert callback.on_gui_thread == [True]
        assert echo_link._pending_requests == {}

    def test_a_callers_own_request_id_is_kept_and_written_into_the_message(self, echo_link,
                                                                           echo_hub, qtbot):
        callback = Callbacks()
        message = {"type": "ask", "request_id": "mine-1"}
        assert echo_link.send_and_wait_response(message, callback) == "mine-1"
        assert message["request_id"] == "mine-1"
        qtbot.waitUntil(lambda: bool(callback.received))
        assert echo_hub.messages()[0]["request_id"] == "mine-1"

    def test_an_empty_request_id_gets_a_fresh_one(self, echo_link, qtbot):
        message = {"type": "ask", "request_id": ""}
        request_id = echo_link.send_and_wait_response(message, Callbacks())
        assert len(request_id) == 36 and message["request_id"] == request_id

    def test_bad_arguments_are_refused_at_once(self, echo_link):
        with pytest.raises(TypeError, match="request_id must be a string, not int"):
            echo_link.send_and_wait_response({"type": "ask", "request_id": 5}, Callbacks())
        with pytest.raises(TypeError, match="callback must be callable"):
            echo_link.send_and_wait_response({"type": "ask"}, "not callable")
        assert echo_link._pending_requests == {}

    def test_a_consumed_response_is_not_dispatched_by_type(self, connected, hub, window,
                                                           qtbot):
        callback = Callbacks()
        connected.send_and_wait_response({"type": "ask", "request_id": "r2"}, callback)
        reply = {"type": "log_to_console", "request_id": "r2", "content": "consumed"}
        hub.send(reply)
        # The same id again: no longer pending, so this one goes to its handler.
        hub.send({"type": "log_to_console", "request_id": "r2", "content": "dispatched"})
        qtbot.waitUntil(lambda: "dispatched" in console_texts(window))
        assert callback.received == [reply]
        assert "consumed" not in console_texts(window)


class TestResponseType:
    def test_a_response_of_another_type_is_dispatched_and_the_request_stays(self, connected,
                                                                            hub, window, qtbot):
        callback = Callbacks()
        request_id = connected.send_and_wait_response(
            {"type": "get_settings"}, callback, response_type="settings_response")
        hub.send({"type": "log_to_console", "request_id": request_id, "content": "not yet"})
        qtbot.waitUntil(lambda: "not yet" in console_texts(window))
        assert request_id in connected._pending_requests and callback.received == []
        hub.send({"type": "settings_response", "request_id": request_id, "value": 1})
        qtbot.waitUntil(lambda: bool(callback.received))
        assert callback.received == [
            {"type": "settings_response", "request_id": request_id, "value": 1}]
        assert connected._pending_requests == {}


class TestTimeouts:
    def test_no_answer_gives_the_time_out_notice_on_the_gui_thread(self, connected, qtbot):
        callback = Callbacks()
        request_id = connected.send_and_wait_response({"type": "ask"}, callback, timeout=0.2)
        qtbot.waitUntil(lambda: bool(callback.received), timeout=3000)
        assert callback.received == [{"error": "timeout", "request_id": request_id,
                                      "message": "Request timed out after 0.2s"}]
        assert list(callback.received[0]) == ["error", "request_id", "message"]
        assert callback.on_gui_thread == [True]
        assert connected._pending_requests == {}

    @pytest.mark.parametrize("timeout, text", [(30.0, "30.0"), (30, "30.0"), (2.5, "2.5"),
                                               (0.00001, "0.00001")])
    def test_the_notice_names_the_time_out_with_a_fraction(self, window, monkeypatch, timeout,
                                                           text):
        async def no_wait(_delay):
            pass

        link = IdeLink(window)
        delivered = []
        link._invoke_callback_in_qt_thread = lambda callback, data: delivered.append(data)
        link._pending_requests["r"] = {"callback": print, "response_type": None}
        monkeypatch.setattr(asyncio, "sleep", no_wait)
        asyncio.run(link._check_timeout("r", timeout))
        assert delivered[0]["message"] == f"Request timed out after {text}s"

    def test_a_late_response_goes_to_the_dispatch_table(self, client_log, connected, hub,
                                                        window, qtbot):
        callback = Callbacks()
        request_id = connected.send_and_wait_response({"type": "ask"}, callback, timeout=0.1)
        qtbot.waitUntil(lambda: bool(callback.received), timeout=3000)
        hub.send({"type": "log_to_console", "request_id": request_id, "content": "late"})
        hub.send({"type": "unknown_late", "request_id": request_id})
        qtbot.waitUntil(lambda: "late" in console_texts(window))
        qtbot.waitUntil(lambda: "[IdeLink] No handler for message type: unknown_late"
                        in log_lines(client_log))
        assert len(callback.received) == 1

    def test_reusing_a_pending_id_replaces_the_earlier_request(self, connected, hub, qtbot):
        first, second = Callbacks(), Callbacks()
        connected.send_and_wait_response({"type": "ask", "request_id": "same"}, first)
        connected.send_and_wait_response({"type": "ask", "request_id": "same"}, second,
                                         timeout=0.2)
        hub.send({"type": "answer", "request_id": "same"})
        qtbot.waitUntil(lambda: bool(second.received))
        qtbot.wait(100)
        assert first.received == []
        assert second.received == [{"type": "answer", "request_id": "same"}]

    def test_not_started_means_no_send_and_no_time_out(self, link, qtbot):
        callback = Callbacks()
        request_id = link.send_and_wait_response({"type": "ask"}, callback, timeout=0.05)
        qtbot.wait(200)
        assert callback.received == []
        assert request_id in link._pending_requests


class TestExactlyOnce:
    def test_every_request_gets_one_callback_when_answers_race_time_outs(self, window, plain_ws,
                                                                         qtbot):
        # The hub answers each request after a random delay around the request's time-out.
        async def answer_later(connection, message):
            await asyncio.sleep(random.uniform(0.0, 0.1))
            await connection.send(json.dumps({"type": "answer",
                                              "request_id": message["request_id"]}))

        hub = FakeHub().start()
        hub.responder = lambda message: ()

        async def serve(connection):
            hub._connection = connection
            hub.accepted += 1
            async for frame in connection:
                asyncio.ensure_future(answer_later(connection, json.loads(frame)))

        hub._serve = serve
        hub.stop_server()
        hub.start()
        link = IdeLink(window, "127.0.0.1", hub.port)
        try:
            link.start()
            qtbot.waitUntil(link.is_connected)
            results = {}

            def callback_for(n):
                return lambda data: results.setdefault(n, []).append(data)

            for n in range(300):
                link.send_and_wait_response({"type": "ask"}, callback_for(n), timeout=0.05)
            qtbot.waitUntil(lambda: len(results) == 300, timeout=5000)
            qtbot.wait(300)  # any second delivery would arrive by now
            assert all(len(delivered) == 1 for delivered in results.values())
            kinds = {"timeout" if "error" in d[0] else "answer" for d in results.values()}
            assert kinds == {"timeout", "answer"}  # both paths were exercised
            assert link._pending_requests == {}
        finally:
            link.stop()
            hub.shutdown()
