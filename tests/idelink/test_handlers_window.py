"""Window-level handlers: watchdog details, bringing the IDE forward, the add-in's message box,
the debugger's pause and saved settings."""
import logging

from PySide6.QtCore import QTimer
from PySide6.QtWidgets import QApplication, QMessageBox

from .conftest import Spy, log_lines


class TestWatchdog:
    def test_port_and_token_are_stored_and_the_token_never_logged(self, client_log, feed,
                                                                  window):
        feed({"type": "watchdog_info", "watchdog_port": 9123, "auth_token": "s3cr3t"})
        assert (window.watchdog_port, window.auth_token) == (9123, "s3cr3t")
        assert "[IDE] Received watchdog info: port=9123" in log_lines(client_log, logging.INFO)
        assert not any("s3cr3t" in line for line in log_lines(client_log))

    def test_defaults(self, feed, window):
        window.watchdog_port, window.auth_token = 1, "old"
        feed({"type": "watchdog_info"})
        assert (window.watchdog_port, window.auth_token) == (0, "")


class TestShowIde:
    def test_brings_the_window_forward(self, client_log, feed, window):
        window.showMinimized()
        spy = Spy().watch(window, "show_and_focus")
        feed({"type": "show_ide"})
        assert len(spy.calls) == 1 and window.isVisible() and not window.isMinimized()
        assert "[IDE] Received show_ide message" in log_lines(client_log, logging.INFO)

    def test_setting_saved_is_only_logged(self, client_log, feed):
        feed({"type": "setting_saved", "key": "x"})
        assert "[IDE] Setting saved successfully" in log_lines(client_log, logging.DEBUG)
        assert feed.console() == []


class TestMessageIde:
    def close_box_when_shown(self, qtbot, seen):
        def close():
            box = QApplication.activeModalWidget()
            if box is None:
                QTimer.singleShot(20, close)
                return
            seen.append((box.windowTitle(), box.text(), box.icon(), box.parent(),
                         box.standardButtons()))
            box.accept()

        QTimer.singleShot(20, close)

    def test_shows_a_modal_box_from_the_addin(self, client_log, feed, window, hub, qtbot):
        seen = []
        self.close_box_when_shown(qtbot, seen)
        feed({"type": "message_ide", "message": "Refresh done", "from_client": "Excel"})
        assert seen == [("Message from Addin", "Refresh done", QMessageBox.Icon.Information,
                         window, QMessageBox.StandardButton.Ok)]
        assert "[IDE] Received message_ide from Excel: Refresh done..." in log_lines(
            client_log, logging.INFO)

    def test_the_log_shows_the_first_50_characters(self, client_log, feed, qtbot):
        self.close_box_when_shown(qtbot, [])
        feed({"type": "message_ide", "message": "x" * 80})
        assert f"[IDE] Received message_ide from Unknown: {'x' * 50}..." in log_lines(client_log)

    def test_a_null_message_gives_an_empty_box(self, feed, qtbot):
        seen = []
        self.close_box_when_shown(qtbot, seen)
        feed({"type": "message_ide", "message": None})
        assert seen[0][:2] == ("Message from Addin", "")

    def test_the_connection_keeps_receiving_while_the_box_is_open(self, feed, hub, window,
                                                                  qtbot):
        seen = []

        def while_open():
            box = QApplication.activeModalWidget()
            if box is None:
                QTimer.singleShot(20, while_open)
                return
            seen.append(hub.ping())
            hub.send({"type": "stdout", "content": "arrived meanwhile"})
            qtbot.waitUntil(lambda: "arrived meanwhile" in window.console.texts())
            box.accept()

        QTimer.singleShot(20, while_open)
        feed({"type": "message_ide", "message": "blocking"})
        assert seen and seen[0] < 1.0


class TestDebugPaused:
    def test_forwards_then_enters_the_debug_state(self, feed, window):
        spy = Spy().watch(window, "_handle_debug_paused", "_set_debug_state")
        message = {"type": "debug_paused", "workbook_id": "wb1", "module_name": "m", "line": 3}
        feed(message)
        assert [(c.name, c.args) for c in spy.calls] == [
            ("_handle_debug_paused", (message,)), ("_set_debug_state", (True, "wb1"))]
        assert window._debug_active and window._pending_debug_line == {
            "workbook_id": "wb1", "module_name": "m", "line": 3}

    def test_only_forwards_while_already_debugging(self, feed, window):
        window._set_debug_state(True, "wb1")
        spy = Spy().watch(window, "_handle_debug_paused", "_set_debug_state")
        feed({"type": "debug_paused", "workbook_id": "wb2"})
        assert spy.names() == ["_handle_debug_paused"]

    def test_a_pause_in_an_open_module_marks_its_line(self, feed, window):
        editor = window.add_editor_tab("m", "a = 1\nb = 2\n", "wb1")
        feed({"type": "debug_paused", "workbook_id": "wb1", "module_name": "m", "line": 2})
        assert editor.debug_line == 2 and window._current_debug_editor is editor
