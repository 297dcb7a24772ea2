"""Event, timer, publication and object handlers, and the forwards of language, event, debug
and settings answers."""
import logging

import pytest

from ide.gui import OutputLevel

from .conftest import Spy, log_lines


class TestPanelCalls:
    @pytest.mark.parametrize("message_type, panel, method, field, log", [
        ("event_manager_state", "event_manager", "update_state", None,
         "[IDE] Updated event manager state for workbook: wb1"),
        ("ontime_event_manager_state", "timer_manager", "update_ontime_config", "ontime_events",
         "[IDE] Updated on-time event manager state for workbook: wb1"),
        ("published_functions_state", "function_publisher", "update_publications_from_server",
         "functions", "[IDE] Updated published functions for workbook: wb1"),
        ("object_registry_response", "object_inspector", "handle_registry_response", "objects",
         "[IDE] Handled object_registry_response for wb1"),
    ])
    def test_a_workbook_state_goes_to_its_panel(self, client_log, feed, window, message_type,
                                                panel, method, field, log):
        spy = Spy().watch(getattr(window, panel), method)
        message = {"type": message_type, "workbook_id": "wb1"}
        if field:
            message[field] = [{"name": "first"}, "second"]
        feed(message, {"type": message_type, "workbook_id": "wb1"},
             {"type": message_type, field or "x": []})
        expected_first = message if field is None else [{"name": "first"}, "second"]
        expected_second = {"type": message_type, "workbook_id": "wb1"} if field is None else []
        assert [c.args for c in spy.calls] == [("wb1", expected_first), ("wb1", expected_second)]
        assert log_lines(client_log, logging.DEBUG).count(log) == 2

    def test_a_default_list_is_new_for_every_message(self, feed, window):
        spy = Spy().watch(window.timer_manager, "update_ontime_config")
        feed({"type": "ontime_event_manager_state", "workbook_id": "a"},
             {"type": "ontime_event_manager_state", "workbook_id": "b"})
        first, second = (c.args[1] for c in spy.calls)
        assert first == second == [] and first is not second

    def test_registry_updates_need_a_workbook_and_an_action(self, client_log, feed, window):
        spy = Spy().watch(window.object_inspector, "handle_registry_update")
        added = {"type": "object_registry_update", "workbook_id": "wb1", "action": "update",
                 "key": "df", "object_type": "DataFrame", "repr": "   a\n0  1"}
        feed(added, {"type": "object_registry_update", "workbook_id": "wb1"},
             {"type": "object_registry_update", "action": "update"})
        assert [c.args for c in spy.calls] == [("wb1", "update", added)]
        assert window.object_inspector.keys_of("wb1") == ["df"]
        assert "[IDE] Handled object_registry_update: update for wb1" in log_lines(
            client_log, logging.DEBUG)


class TestHandlerRegistration:
    @pytest.mark.parametrize("message, line, color", [
        ({"type": "register_handler_result", "object_id": "Sheet1", "event_name": "Change",
          "success": True}, "Handler registered: Sheet1.Change", None),
        ({"type": "register_handler_result", "object_id": "Sheet1", "event_name": "Change",
          "error": "secret detail"}, "Failed to register handler: Sheet1.Change", "#ff6b6b"),
        ({"type": "unregister_handler_result", "object_id": "Book", "event_name": "Open",
          "success": True}, "Handler unregistered: Book.Open", None),
        ({"type": "unregister_handler_result", "object_id": "Book", "event_name": "Open"},
         "Failed to unregister handler: Book.Open", "#ff6b6b"),
        ({"type": "register_handler_result", "event_name": "Change", "success": True},
         "Handler registered: None.Change", None),
    ])
    def test_result_lines_show_only_the_ids(self, feed, message, line, color):
        feed(message)
        entry = feed.console()[-1]
        assert (entry.text, entry.color, entry.level) == (line, color, OutputLevel.SIMPLE)


class TestForwards:
    @pytest.mark.parametrize("message_type", [
        "completion_response", "signature_help_response", "hover_response",
        "diagnostic_response", "save_event_config_response", "validate_handler_response",
        "debug_exception", "debug_resumed", "debug_terminated", "debug_evaluate_result",
        "all_settings_response", "settings_response"])
    def test_the_whole_message_goes_to_the_window_method_of_that_name(self, feed, window,
                                                                      message_type):
        method = "_handle_" + message_type
        spy = Spy().watch(window, method)
        message = {"type": message_type, "workbook_id": "wb1", "payload": {"k": [1]}}
        feed(message)
        assert [(c.args, c.on_gui_thread) for c in spy.calls] == [((message,), True)]

    def test_settings_answers_reach_the_window(self, feed, window):
        feed({"type": "all_settings_response", "settings": {"theme": "dark"}},
             {"type": "settings_response", "key": "font", "value": 12})
        assert window.settings == {"theme": "dark", "font": 12}
