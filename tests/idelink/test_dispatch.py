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


class TestBadFields:
    def test_a_field_of_the_wrong_type_fails_only_its_own_handler(self, feed, window, qtbot):
        with qtbot.captureExceptions() as exceptions:
            feed({"type": "workbook_list", "workbooks": 5},
                 {"type": "stdout", "content": "next frame"})
        assert [type(e[1]) for e in exceptions] == [TypeError]
        assert "next frame" in [e.text for e in feed.console()]


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


TABLE = """watchdog_info workbook_connected workbook_disconnected workbook_name_changed
workbook_list module_content module_deleted module_saved module_list all_modules pip_output
get_package_versions_response:package_versions_response
get_package_extras_response:package_extras_response
get_package_info_response:package_info_response workbook_packages_update
package_install_progress package_installation_complete resolved_deps_response
package_paths_updated stdout stderr result_output execution_result interrupt_result
completion_response signature_help_response hover_response diagnostic_response event_manager_state
ontime_event_manager_state register_handler_result unregister_handler_result
save_event_config_response validate_handler_response published_functions_state
object_registry_update object_registry_response debug_paused debug_exception debug_resumed
debug_terminated debug_evaluate_result all_settings_response settings_response setting_saved
show_ide message_ide log_to_console"""


class TestTable:
    def test_has_the_48_types_in_order_with_their_handlers(self, link):
        expected = [(t.split(":")[0], "_handle_" + t.split(":")[-1]) for t in TABLE.split()]
        assert len(expected) == 48
        assert [(t, h.__name__) for t, h in link.MESSAGE_HANDLERS.items()] == expected
