"""The GUI-thread marker: bodies run on the GUI thread, in order, and the poster never waits."""
import sys
import threading
import time

import pytest

from ide.gui import qt_thread, run_in_qt_thread


class TestRunInQtThread:
    def test_a_call_from_a_plain_thread_runs_on_the_gui_thread(self, qtbot):
        ran = []

        @run_in_qt_thread
        def body(value):
            ran.append((value, threading.current_thread() is threading.main_thread()))

        thread = threading.Thread(target=body, args=(1,))
        thread.start()
        thread.join()
        qtbot.waitUntil(lambda: ran == [(1, True)])

    def test_the_poster_never_waits_not_even_on_the_gui_thread(self, qtbot):
        ran = []

        @run_in_qt_thread
        def slow():
            time.sleep(0.3)
            ran.append(True)

        started = time.monotonic()
        assert slow() is None
        assert time.monotonic() - started < 0.1 and ran == []
        qtbot.waitUntil(lambda: ran == [True])

    def test_calls_from_many_threads_keep_each_threads_order(self, qtbot):
        seen = []

        @run_in_qt_thread
        def record(thread_number, n):
            seen.append((thread_number, n))

        threads = [threading.Thread(target=lambda t=t: [record(t, n) for n in range(500)])
                   for t in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        qtbot.waitUntil(lambda: len(seen) == 2000, timeout=5000)
        for t in range(4):
            assert [n for tn, n in seen if tn == t] == list(range(500))

    def test_a_raising_body_does_not_stop_the_next_one(self, qtbot):
        ran = []

        @run_in_qt_thread
        def failing():
            raise ValueError("boom")

        @run_in_qt_thread
        def after():
            ran.append(True)

        with qtbot.captureExceptions() as exceptions:
            failing()
            after()
            qtbot.waitUntil(lambda: ran == [True])
        assert [type(e[1]) for e in exceptions] == [ValueError]

    def test_a_burst_lets_the_event_loop_breathe(self, qtbot, monkeypatch):
        monkeypatch.setattr(qt_thread, "DRAIN_BUDGET_SECONDS", 0.005)
        ran, timer_fired_during_burst = [], []

        @run_in_qt_thread
        def busy(n):
            time.sleep(0.001)
            ran.append(n)

        from PySide6.QtCore import QTimer
        QTimer.singleShot(0, lambda: timer_fired_during_burst.append(len(ran)))
        for n in range(100):
            busy(n)
        qtbot.waitUntil(lambda: len(ran) == 100, timeout=5000)
        assert timer_fired_during_burst and timer_fired_during_burst[0] < 100


class TestNoApplication:
    def test_a_clear_error_without_a_qt_application(self, monkeypatch):
        monkeypatch.setattr(qt_thread, "_queue", None)
        monkeypatch.setattr(qt_thread.QCoreApplication, "instance", staticmethod(lambda: None))
        with pytest.raises(RuntimeError, match="needs a QApplication"):
            run_in_qt_thread(print)("x")


class TestQtBindingSanity:
    def test_posting_keeps_the_reference_counts_of_the_singletons(self, qapp):
        """A binding release that drops a reference to None or True on its calls crashes a
        long-running IDE; posting makes such calls for every message."""
        ran = []

        @run_in_qt_thread
        def body():
            ran.append(True)

        qapp.processEvents()
        before = sys.getrefcount(None), sys.getrefcount(True)
        for _ in range(500):
            body()  # one wake-up each: the previous call has been drained
            qapp.processEvents()
        assert len(ran) == 500
        ran.clear()
        after = sys.getrefcount(None), sys.getrefcount(True)
        assert after[0] > before[0] - 100 and after[1] > before[1] - 100
