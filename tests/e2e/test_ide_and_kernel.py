"""The whole chain on one machine: the IDE client and its window, the development hub, and a
kernel process. What the user sees in the IDE console after syncing a module and running it."""
import os

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import pytest  # noqa: E402

from devhub.background import BackgroundHub  # noqa: E402
from ide.gui import MainWindow  # noqa: E402
from ide.gui.idelink import IdeLink  # noqa: E402

WORKBOOK = "E2E.xlsx"
MODULE = "def double(x):\n    print('doubling', x)\n    return x * 2\n"


@pytest.fixture
def system(qtbot, monkeypatch):
    """A hub with a kernel process for WORKBOOK, and an IDE window connected to the hub."""
    monkeypatch.setenv("QUORVEL_SECURED", "0")
    background = BackgroundHub()
    process = background.call(background.hub.launch_kernel(WORKBOOK))
    window = MainWindow()
    qtbot.addWidget(window)
    link = IdeLink(window, "127.0.0.1", background.port, token=background.hub.token)
    try:
        background.call(background.hub.wait_for_kernel(WORKBOOK, timeout=30))
        link.start()
        qtbot.waitUntil(lambda: WORKBOOK in window.project_explorer._workbook_items, timeout=15000)
        yield window, link
    finally:
        link.stop()
        background.call(process.kill())
        background.stop()


def console_text(window):
    return "".join(entry.text if entry.from_std else entry.text + "\n"
                   for entry in window.console.entries)


def test_a_synced_module_run_from_the_ide_shows_its_output_and_result(system, qtbot):
    window, link = system
    link.send_message({"type": "update_module", "workbook_id": WORKBOOK, "module_name": "calc",
                       "code": MODULE})
    link.send_message({"type": "run_module", "workbook_id": WORKBOOK, "module_name": "calc",
                       "function_name": "double", "args": [21], "request_id": "run-1"})
    qtbot.waitUntil(lambda: "Execution completed successfully for double()" in console_text(window),
                    timeout=15000)
    assert window.project_explorer.modules_of(WORKBOOK) == ["calc"]
    text = console_text(window)
    assert "doubling 21\n" in text
    assert text.index("doubling 21") < text.index("Out: 42") < text.index("Execution completed")


def test_a_failing_cell_shows_its_traceback(system, qtbot):
    window, link = system
    link.send_message({"type": "execution_request", "workbook_id": WORKBOOK, "code": "1 / 0",
                       "request_id": "cell-1"})
    qtbot.waitUntil(lambda: "Execution failed" in console_text(window), timeout=15000)
    assert "ZeroDivisionError: division by zero" in console_text(window)
