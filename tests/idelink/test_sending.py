"""Fire-and-forget sends: what reaches the hub, and what happens when it cannot."""
import json
import logging
import threading

from .conftest import log_lines


class TestSend:
    def test_a_message_goes_out_as_json_text_with_non_ascii_escaped(self, connected, hub, qtbot):
        message = {"type": "update_module", "code": "print('é ✓')", "n": [1, 2]}
        connected.send_message(message)
        qtbot.waitUntil(lambda: len(hub.received) == 1)
        assert hub.received[0] == json.dumps(message)
        assert "\\u00e9" in hub.received[0] and ", " in hub.received[0]

    def test_text_frames_go_out_unchanged(self, connected, hub, qtbot):
        connected.send_text_message('{"raw": true}')
        connected.sendTextMessage("not json at all")
        qtbot.waitUntil(lambda: len(hub.received) == 2)
        assert hub.received == ['{"raw": true}', "not json at all"]

    def test_send_text_message_alias_goes_through_the_method(self, connected):
        seen = []
        connected.send_text_message = seen.append
        connected.sendTextMessage("x")
        assert seen == ["x"]

    def test_sends_keep_their_order_across_threads(self, connected, hub, qtbot):
        def worker():
            for n in range(100):
                connected.send_message({"type": "worker", "n": n})

        thread = threading.Thread(target=worker)
        thread.start()
        thread.join()
        qtbot.waitUntil(lambda: len(hub.received) == 100)
        assert [m["n"] for m in hub.messages()] == list(range(100))


class TestSendRefused:
    def test_before_the_first_connect_nothing_is_queued(self, client_log, link, hub, qtbot):
        link.send_message({"type": "early"})
        link.send_text_message("early text")
        assert log_lines(client_log, logging.WARNING) == [
            "[IdeLink] Cannot send message: not connected"] * 2
        link.start()
        qtbot.waitUntil(lambda: link.is_connected() and hub.accepted == 1)
        link.send_message({"type": "late"})
        qtbot.waitUntil(lambda: len(hub.received) == 1)
        assert hub.messages() == [{"type": "late"}]

    def test_after_stop_a_send_is_refused_not_raised(self, client_log, connected):
        connected.stop()
        connected.send_message({"type": "after_stop"})
        assert log_lines(client_log)[-1] == "[IdeLink] Cannot send message: not connected"

    def test_an_unserialisable_message_is_logged_and_the_link_goes_on(self, client_log,
                                                                       connected, hub, qtbot):
        connected.send_message({"type": "bad", "value": object()})
        connected.send_message({"type": "good"})
        qtbot.waitUntil(lambda: len(hub.received) == 1)
        assert hub.messages() == [{"type": "good"}]
        assert log_lines(client_log, logging.ERROR) == [
            "[IdeLink] Send error: Object of type object is not JSON serializable"]
