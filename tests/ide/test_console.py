"""The console under heavy output: enormous lines, floods of lines, and the IDE answering the
keyboard meanwhile."""
import time

import pytest
from PySide6.QtCore import Qt, QTimer

from devhub.demo import ide_driver as do
from ide.gui.dialogs import RunDialog
from ide.gui.console import CELL_SUCCESS, LINE_CUT_MARKER, MAX_LINE_CHARS, ConsoleView
from ide.gui.output_level import OutputLevel

from .conftest import CTRL, WORKBOOK, seconds


class TestBoundedConsole:
    def test_a_million_characters_without_a_line_feed_are_cut_at_once(self, qtbot):
        console = ConsoleView()
        qtbot.addWidget(console)
        console.show()
        started = time.perf_counter()
        console.append("y" * 1_000_000, "#4daafc", from_std=True)
        console.append("z" * 500 + " still the same line\nnext line\n", "#4daafc", from_std=True)
        lines = console.plain_text().split("\n")
        console.view.repaint()
        assert time.perf_counter() - started < seconds(1.0)
        assert lines == ["y" * MAX_LINE_CHARS + LINE_CUT_MARKER, "next line", ""]

    def test_the_newest_lines_are_kept_up_to_the_limit(self, qtbot):
        console = ConsoleView(max_lines=1000)
        qtbot.addWidget(console)
        for n in range(2500):
            console.append(f"line {n}\n", from_std=True)
        console.append("notice")
        lines = console.plain_text().split("\n")
        assert len(lines) - 1 == 1000 and len(console.entries) == 1000
        assert lines[0] == "line 1501" and lines[-2] == "notice"
        console.set_max_lines(10)
        assert console.plain_text().split("\n")[0] == "line 2491"


class TestQuietLines:
    def test_a_cells_success_is_a_mark_on_its_echo_and_a_failure_a_line(self, qtbot):
        console = ConsoleView()
        qtbot.addWidget(console)
        first = console.append_echo(">>> print('a')", "#9e9e9e")
        second = console.append_echo(">>> 1 / 0", "#9e9e9e")
        console.append("a\n", from_std=True)
        console.flush()  # the echoes are on screen before the ends come
        console.cell_ending(first)
        console.append(CELL_SUCCESS, "#4caf50")
        console.cell_ending(second)
        console.append("Execution failed: division by zero", "#ff6b6b")
        console.append(CELL_SUCCESS, "#4caf50")  # not a cell's end: a line as written
        assert console.plain_text().split("\n") == [
            ">>> print('a')  ✓", ">>> 1 / 0", "a", "Execution failed: division by zero",
            CELL_SUCCESS, ""]
        assert console.texts().count(CELL_SUCCESS) == 2  # entries keep what was written
        console.set_verbosity(OutputLevel.DETAILED)  # a redraw draws the mark again
        assert console.plain_text().startswith(">>> print('a')  ✓\n>>> 1 / 0\n")

    def test_the_success_of_a_cell_whose_echo_scrolled_out_is_a_line(self, qtbot):
        console = ConsoleView(max_lines=5)
        qtbot.addWidget(console)
        echo = console.append_echo(">>> loop()", "#9e9e9e")
        console.flush()
        for n in range(20):
            console.append(f"out {n}\n", from_std=True)
            console.flush()
        console.cell_ending(echo)
        console.append(CELL_SUCCESS, "#4caf50")
        assert "✓" not in console.plain_text()
        assert console.plain_text().split("\n")[-3:] == ["out 19", CELL_SUCCESS, ""]

    def test_a_repeated_notice_counts_on_its_line_until_another_comes(self, qtbot):
        console = ConsoleView()
        qtbot.addWidget(console)
        console.set_verbosity(OutputLevel.DETAILED)
        for _ in range(3):
            console.append("Disconnected from Quorvel Server", level=OutputLevel.DETAILED)
            console.flush()
        console.append("Disconnected from Quorvel Server", level=OutputLevel.DETAILED)
        console.append("Connected to Quorvel Server", level=OutputLevel.DETAILED)
        console.append("Disconnected from Quorvel Server", level=OutputLevel.DETAILED)
        assert console.plain_text().split("\n") == [
            "Disconnected from Quorvel Server (×4)", "Connected to Quorvel Server",
            "Disconnected from Quorvel Server", ""]
        console.append("same\n", from_std=True)
        console.append("same\n", from_std=True)  # program output is never folded
        assert console.plain_text().endswith("same\nsame\n")


def test_a_run_shows_its_error_once_and_a_cell_its_success_on_its_echo(used):
    editor = used.new_module(WORKBOOK, "failing", "def boom():\n    return 1 / 0\n")
    do.key(editor, Qt.Key.Key_Home, CTRL)
    do.key(editor, Qt.Key.Key_F5)
    do.key(do.dialog(used.window, RunDialog).args_edit, Qt.Key.Key_Return)
    used.wait_for_console("Execution failed for boom()")
    used.run_cell("x = 1")
    screen = used.window.console.plain_text()
    assert screen.count("ZeroDivisionError: division by zero") == 2  # traceback, then its line
    assert "Execution failed for boom(): ZeroDivisionError: division by zero\n" in screen
    assert screen.endswith(">>> x = 1  ✓\n")
    assert used.console().endswith("Execution completed successfully\n")  # as written


@pytest.mark.timeout(240)
def test_the_ide_takes_keys_while_a_cell_prints_100000_lines(used):
    gaps, last = [], [time.perf_counter()]

    def tick():
        now = time.perf_counter()
        gaps.append(now - last[0])
        last[0] = now

    timer = QTimer()
    timer.timeout.connect(tick)
    timer.start(10)
    prompt = used.window.console.prompt
    used.run_cell("import sys")
    do.type_text(prompt, "for i in range(100_000): sys.stdout.write(f'flood {i}\\n')")
    do.key(prompt, Qt.Key.Key_Return, CTRL)
    used.wait_for_console("\nflood ", 60)  # under way (it may outrun any one line)
    do.type_text(prompt, "typed meanwhile")
    assert prompt.toPlainText() == "typed meanwhile"
    used.wait(lambda: "Execution completed" in used.console().partition("flood 99999\n")[2],
              "the flood's last line and result", 180)
    timer.stop()
    prompt.clear()
    assert max(gaps) < seconds(1.0)
    assert "flood 99999\n" in used.console()
    assert used.window.console.view.document().blockCount() <= 10_001
    assert sum(e.text.count("\n") for e in used.window.console.entries) <= 10_000
