"""The two threads never wait for each other: a busy or modal GUI thread does not stop the
connection thread, and the network never blocks the GUI thread."""
import threading
import time

from PySide6.QtCore import QTimer
from PySide6.QtWidgets import QApplication, QMessageBox

from .conftest import Spy, console_texts


class TestBusyGuiThread:
    def test_pings_and_frames_are_handled_while_the_gui_thread_is_blocked(self, connected, hub,
                                                                          window, qtbot):
        spy = Spy().watch(window, "log_to_console")
        hub_side = {}

        def hub_work_while_gui_blocked():
            for n in range(20):
                hub.send({"type": "log_to_console", "content": f"queued {n}"})
            hub_side["pong"] = hub.ping()
            connected.send_message({"type": "from_gui_thread_before_block"})

        worker = threading.Thread(target=hub_work_while_gui_blocked)
        worker.start()
        time.sleep(0.5)  # the GUI thread is blocked; Qt events are not processed
        worker.join(5)
        assert hub_side["pong"] < 0.5
        assert spy.calls == []  # nothing ran on the GUI thread yet...
        qtbot.waitUntil(lambda: len(spy.calls) == 20)  # ...and all of it, in order, afterwards
        assert [c.args[0] for c in spy.calls] == [f"queued {n}" for n in range(20)]

    def test_a_modal_dialog_does_not_stop_receiving_or_pings(self, connected, hub, window,
                                                            qtbot):
        results = {}

        def while_modal():
            box = QApplication.activeModalWidget()
            results["modal"] = box is not None
            results["pong"] = hub.ping()
            hub.send({"type": "log_to_console", "content": "during the dialog"})
            qtbot.waitUntil(lambda: "during the dialog" in window.console.texts())
            box.done(0)

        QTimer.singleShot(100, while_modal)
        QMessageBox.information(window, "Modal", "The GUI thread waits here.")
        assert results["modal"] and results["pong"] < 1.0
        assert "during the dialog" in console_texts(window)


class TestNetworkNeverBlocksGui:
    def test_sends_and_requests_return_at_once_even_when_the_hub_is_stuck(self, connected, hub,
                                                                         qtbot):
        # The hub's loop is made unresponsive; the client's writes pile up in its buffers.
        hub._loop.call_soon_threadsafe(time.sleep, 1.0)
        started = time.monotonic()
        for n in range(200):
            connected.send_message({"type": "bulk", "n": n, "pad": "x" * 1000})
            connected.send_and_wait_response({"type": "ask"}, lambda data: None, timeout=5)
        assert time.monotonic() - started < 0.5
        qtbot.waitUntil(lambda: len(hub.received) == 400, timeout=5000)
