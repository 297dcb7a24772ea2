"""Parse and dispatch of received frames: bad frames are contained, handlers run on the GUI
thread in arrival order."""
import logging

import pytest

from .conftest import Spy, console_texts, log_lines


def console_message(text):
    return {"type": "log_to_console", "content": text}


class TestBadFrames:
    @pytest.mark.parametrize("frame, level, line", [
        ("{not json", logging.ERROR,
         "[IdeLink] Failed to parse message: Expecting property name enclosed in double quotes: "
         "line 1 column 2 (char 1)"),
        ("[1, 2]", logging.ERROR,
         "[IdeLink] Error handling message: 'list' object has no attribute 'get'"),
        ('{"content": "no type"}', logging.WARNING,
         "[IdeLink] No handler for message type: None"),
        ('{"type": "nobody_handles_this"}', logging.WARNING,
         "[IdeLink] No handler for message type: nobody_handles_this"),
        ('{"type": ["unhashable"]}', logging.ERROR,
         "[IdeLink] Error handling message: unhashable type: 'list'"),
    ])
    def test_is_logged_and_the_next_frame_is_handled(self, client_log, connected, hub, window,
                                                     qtbot, frame, level, line):
        hub.send_raw(frame)
        hub.send(console_message("next frame"))
        qtbot.waitUntil(lambda: "next frame" in console_texts(window))
        assert log_lines(client_log, level) == [line]
        assert connected.is_connected()

    def test_a_handling_error_carries_its_stack_trace(self, client_log, connected, hub, window,
                                                      qtbot):
        hub.send_raw("[]")
        hub.send(console_message("after"))
        qtbot.waitUntil(lambda: "after" in console_texts(window))
        record = next(r for r in client_log.records if r.levelno == logging.ERROR)
        assert record.exc_info and record.exc_info[0] is AttributeError

    def test_a_request_id_of_another_type_does_not_break_dispatch(self, connected, hub, window,
                                                                  qtbot):
        hub.send({"type": "log_to_console", "request_id": ["odd"], "content": "still shown"})
        qtbot.waitUntil(lambda: "still shown" in console_texts(window))


class TestHandlerThread:
    def test_handler_bodies_run_on_the_gui_thread_in_arrival_order(self, connected, hub, window,
                                                                   qtbot):
        spy = Spy().watch(window, "log_to_console")
        for n in range(50):
            hub.send(console_message(f"line {n}"))
        qtbot.waitUntil(lambda: len(spy.calls) == 50)
        assert [call.args[0] for call in spy.calls] == [f"line {n}" for n in range(50)]
        assert all(call.on_gui_thread for call in spy.calls)

    def test_every_table_entry_is_a_gui_thread_method(self, link):
        for message_type, handler in link.MESSAGE_HANDLERS.items():
            assert handler.__self__ is link
            assert getattr(handler.__func__, "runs_in_qt_thread", False), message_type
