"""The console under heavy output: enormous lines, floods of lines, and the IDE answering the
keyboard meanwhile."""
import time

import pytest
from PySide6.QtCore import Qt, QTimer

from devhub.demo import ide_driver as do
from ide.gui.console import LINE_CUT_MARKER, MAX_LINE_CHARS, ConsoleView

from .conftest import CTRL, seconds


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
