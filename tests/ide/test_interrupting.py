"""Interrupting what runs from the IDE: cells, runs of a function, and code inside a call that
cannot be interrupted."""
import time

from PySide6.QtCore import Qt
from PySide6.QtGui import QGuiApplication, QTextCursor
from PySide6.QtTest import QTest
from PySide6.QtWidgets import QMessageBox, QToolBar

from devhub.demo import ide_driver as do
from ide.gui.dialogs import RunDialog

from .conftest import CTRL, WORKBOOK, seconds

WAITING = f"The interrupt of the cell in {WORKBOOK} is waiting"
SPIN = "def spin():\n    n = 0\n    while True:\n        n += 1\n"


def toolbar(window) -> QToolBar:
    return window.findChild(QToolBar, "main toolbar")


def places(window):
    return [toolbar(window).widgetForAction(a).geometry() for a in toolbar(window).actions()]


def start_cell(ide, code: str) -> int:
    """Runs `code` at the prompt without waiting for its end; where its console text starts."""
    before = len(ide.console())
    do.type_text(ide.window.console.prompt, code)
    do.key(ide.window.console.prompt, Qt.Key.Key_Return, CTRL)
    ide.wait(ide.window.run_actions.interrupt_action.isEnabled, "Interrupt to be enabled")
    return before


def wait_for_end(ide) -> None:
    ide.wait(lambda: not ide.window.run_actions.interrupt_action.isEnabled(), "the run to end")


def press(box: QMessageBox, text: str) -> None:
    QTest.mouseClick(next(b for b in box.buttons() if b.text() == text),
                     Qt.MouseButton.LeftButton)


def debug_spin(ide) -> None:
    editor = ide.window.editor_for(WORKBOOK, "paused")
    do.key(editor, Qt.Key.Key_Home, CTRL)
    do.key(editor, Qt.Key.Key_F9)
    do.key(do.dialog(ide.window, RunDialog).args_edit, Qt.Key.Key_Return)
    ide.wait(ide.window.run_actions.interrupt_action.isEnabled, "the debug run to start")


def end_debug_run(ide, before: int) -> None:
    """Interrupts the debug run and continues it through its pauses until it has ended."""
    debugger = ide.window.debug_actions
    ide.window.run_actions.interrupt_action.trigger()

    def ended():
        if debugger.paused:
            debugger.continue_action.trigger()
        return "Execution failed for spin()" in ide.console()[before:]

    ide.wait(ended, "the debug run to end")
    wait_for_end(ide)


class TestDebugRun:
    def test_a_paused_run_is_not_offered_a_restart_and_ends_once_it_goes_on(self, used):
        do.click_gutter(used.new_module(WORKBOOK, "paused", SPIN), 4)
        debug_spin(used)
        used.wait(lambda: used.window.debug_actions.paused, "the breakpoint")
        before = len(used.console())
        used.window.run_actions.interrupt_action.trigger()
        used.wait_for_console("spin() is paused in the debugger: it stops with KeyboardInterrupt")
        assert not used.window.run_actions.waiting_boxes
        end_debug_run(used, before)
        assert "KeyboardInterrupt" in used.console()[before:]


class TestInterrupt:
    def test_the_button_stops_a_loop_once_and_the_namespace_stays(self, used):
        button = toolbar(used.window).widgetForAction(used.window.run_actions.interrupt_action)
        assert not button.isEnabled()
        used.run_cell("kept = 41")
        before = start_cell(used, "while True: pass")
        assert button.isEnabled()
        QTest.mouseClick(button, Qt.MouseButton.LeftButton)
        wait_for_end(used)
        QTest.qWait(int(seconds(2.5) * 1000))  # past the wait for a stuck call: nothing comes
        text = used.console()[before:]
        assert text.count(f"Interrupting the cell in {WORKBOOK}") == 1
        assert text.count("Execution failed") == 1 and "KeyboardInterrupt" in text
        assert "waiting" not in text and not used.window.run_actions.waiting_boxes
        assert "Out: 42" in used.run_cell("kept + 1")

    def test_ctrl_c_in_the_console_copies_a_selection_and_interrupts_without_one(self, used):
        console = used.window.console
        before = start_cell(used, "while True: pass")
        console.view.selectAll()
        do.key(console.view, Qt.Key.Key_C, CTRL)
        assert "while True: pass" in QGuiApplication.clipboard().text()
        QTest.qWait(300)
        assert used.window.run_actions.interrupt_action.isEnabled()
        console.view.moveCursor(QTextCursor.MoveOperation.End)
        do.key(console.prompt, Qt.Key.Key_C, CTRL)
        wait_for_end(used)
        assert "KeyboardInterrupt" in used.console()[before:]

    def test_a_function_run_stops_from_the_menu_and_no_button_moves(self, used):
        idle = places(used.window)
        editor = used.new_module(WORKBOOK, "spinning", SPIN)
        before = len(used.console())
        do.key(editor, Qt.Key.Key_F5)
        do.key(do.dialog(used.window, RunDialog).args_edit, Qt.Key.Key_Return)
        used.wait(used.window.run_actions.interrupt_action.isEnabled, "the run to start")
        assert places(used.window) == idle
        do.key(editor, Qt.Key.Key_F2, CTRL)
        used.wait(lambda: "Execution failed for spin(): " in used.console()[before:], "the end")
        assert "KeyboardInterrupt" in used.console()[before:]
        wait_for_end(used)
        assert places(used.window) == idle

    def test_an_interrupt_the_hub_could_not_deliver_is_shown_in_red(self, used):
        used.link.MESSAGE_HANDLERS["interrupt_result"](
            {"type": "interrupt_result", "request_id": "gone", "workbook_id": WORKBOOK,
             "interrupted": [], "error": "No kernel is connected for workbook 'Book.xlsx'."})
        line = f"Could not interrupt the run in {WORKBOOK}: No kernel is connected"
        used.wait_for_console(line)
        assert used.window.console.entries[-1].color == "#ff6b6b"


class TestRunningIndicator:
    def test_a_running_cell_shows_busy_and_running_until_its_interrupt_beside_the_prompt(
            self, used):
        console, item = used.window.console, used.explorer._workbook_items[WORKBOOK]
        used.wait(lambda: item.text(1) == "connected", "the runs of earlier tests to be over")
        assert console.running_label.isHidden()
        start_cell(used, "while True: pass")
        assert console.running_label.isVisible() and console.interrupt_button.isVisible()
        used.wait(lambda: item.text(1) == "busy", "the explorer to say busy")
        assert used.kernel_state(WORKBOOK) == "connected"  # busy is how it reads, not a state
        QTest.mouseClick(console.interrupt_button, Qt.MouseButton.LeftButton)
        wait_for_end(used)
        assert console.running_label.isHidden() and console.interrupt_button.isHidden()
        used.wait(lambda: item.text(1) == "connected", "the explorer to say connected again")

    def test_a_worksheet_call_from_the_hub_shows_busy_too(self, used):
        item = used.explorer._workbook_items[WORKBOOK]
        used.new_module(WORKBOOK, "slow", "import time\nimport quorvel\n\n@quorvel.function\n"
                        "def nap():\n    time.sleep(1.5)\n    return 1\n")

        async def type_call(hub):
            live = hub.live_workbook(WORKBOOK)
            await live.ready.wait()
            live.edit("Sheet1", 9, 9, [["=NAP()"]])

        used.background.call(type_call(used.background.hub))
        used.wait(lambda: item.text(1) == "busy", "the explorer to say busy")
        assert used.window.console.running_label.isHidden()  # not a cell of the prompt
        used.wait(lambda: item.text(1) == "connected", "the call to end")


class TestStuckCall:
    def test_the_notice_and_box_come_after_the_wait_and_wait_lets_the_call_end(self, used):
        used.run_cell("kept = 41")
        before = start_cell(used, "import time; time.sleep(5)")
        pressed = time.monotonic()
        used.window.run_actions.interrupt_action.trigger()
        box = do.dialog(used.window, QMessageBox)
        assert time.monotonic() - pressed >= 1.9  # a coarse timer fires up to 5 % early
        assert WAITING in used.console()[before:]
        press(box, "Wait")
        used.wait(lambda: "KeyboardInterrupt" in used.console()[before:], "the sleep's end")
        text = used.console()[before:]
        assert text.count(WAITING) == 1 and "Restarting the kernel" not in text
        assert "Out: 41" in used.run_cell("kept")

    def test_the_box_goes_with_the_run_and_restart_kernel_stops_the_next(self, used):
        actions = used.window.run_actions
        start_cell(used, "import time; time.sleep(3)")
        actions.interrupt_action.trigger()
        do.dialog(used.window, QMessageBox)
        used.wait(lambda: not actions.waiting_boxes, "the box to go with the run", 10)
        assert not [b for b in used.window.findChildren(QMessageBox) if b.isVisible()]

        start_cell(used, "import time; time.sleep(120)")
        actions.interrupt_action.trigger()
        press(do.dialog(used.window, QMessageBox), "Restart Kernel")
        used.wait_for_console(f"The kernel of {WORKBOOK} restarted", 60)
        wait_for_end(used)
        used.wait(lambda: used.kernel_state(WORKBOOK) == "connected", "the kernel", 60)
        assert "NameError" in used.run_cell("kept")
