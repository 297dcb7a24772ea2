"""Debugging a workbook function from the IDE: breakpoints set in the gutter, Debug (F9), the
paused line, variables and call stack, stepping, evaluation and the session's end, against a
real hub and kernel."""
from PySide6.QtCore import Qt
from PySide6.QtWidgets import QMessageBox

from devhub.demo import ide_driver as do
from ide.gui.breakpoints import shift_breakpoints
from ide.gui.dialogs import NameDialog, RunDialog

from .conftest import CTRL, WORKBOOK

SHIFT = Qt.KeyboardModifier.ShiftModifier

HELPERS = """\
def scale(value):
    factor = 3
    return value * factor
"""

CALC = """\
import helpers

def total(values):
    result = 0
    for value in values:
        result += helpers.scale(value)
    return result
"""

SPIN = """\
def spin(n):
    total = 0

    for i in range(n):
        total += i
    return total

def boom(x):
    return x / 0
"""


def debug(ide, editor, arguments: str) -> None:
    """Presses F9 in `editor` and runs the function under its cursor with `arguments`."""
    do.key(editor, Qt.Key.Key_F9)
    dialog = do.dialog(ide.window, RunDialog)
    assert dialog.windowTitle().startswith("Debug")
    do.type_text(dialog.args_edit, arguments)
    do.key(dialog.args_edit, Qt.Key.Key_Return)


def wait_paused(ide, module: str, line: int) -> dict:
    actions = ide.window.debug_actions
    ide.wait(lambda: actions.paused and actions.session.pause.get("module_name") == module
             and actions.session.pause.get("line") == line, f"a pause at {module}:{line}")
    return actions.session.pause


def assert_session_over(ide) -> None:
    window, actions = ide.window, ide.window.debug_actions
    assert not window._debug_active and window.debug_label.text() == ""
    assert all(editor.debug_line is None for _i, editor in window._editors())
    assert not any(a.isEnabled() for a in (actions.continue_action, actions.step_over_action,
                                           actions.stop_action))
    assert window.run_actions.run_action.shortcut().toString() == "F5"
    assert window.debug_panel.stack.topLevelItemCount() == 0


class TestAPersonDebugsAFunction:
    def test_breakpoint_from_the_gutter_pause_variables_stack_steps_evaluation_continue(
            self, used):
        window, panel = used.window, used.window.debug_panel
        used.new_module(WORKBOOK, "helpers", HELPERS)
        calc = used.new_module(WORKBOOK, "calc", CALC)
        do.click_gutter(calc, 4)
        assert window.breakpoints.records(WORKBOOK) == [{"module_name": "calc", "line": 4}]
        assert 4 in calc.gutter_markers["breakpoints"]

        do.key(calc, Qt.Key.Key_Home, CTRL)
        do.key(calc, Qt.Key.Key_Down, times=4)  # inside total()
        debug(used, calc, "[1, 2]")
        pause = wait_paused(used, "calc", 4)
        assert pause["reason"] == "breakpoint" and calc.debug_line == 4
        assert "Paused in Book.xlsx at calc.py:4, total() (breakpoint)" == window.debug_label.text()
        assert panel.variable_rows("Locals") == {"values": ["list", "[1, 2]"]}
        assert "helpers" in panel.variable_rows("Globals")
        assert panel.stack.topLevelItem(0).text(0) == "total()"
        assert window.debug_actions.continue_action.shortcut().toString() == "F5"
        assert window.run_actions.run_action.shortcut().isEmpty()

        do.key(calc, Qt.Key.Key_F10)
        wait_paused(used, "calc", 5)
        do.key(calc, Qt.Key.Key_F10)
        wait_paused(used, "calc", 6)
        assert panel.variable_rows("Locals")["value"] == ["int", "1"]

        do.key(calc, Qt.Key.Key_F11)
        pause = wait_paused(used, "helpers", 2)
        helpers = window.editor_for(WORKBOOK, "helpers")
        assert window.current_editor() is helpers and helpers.debug_line == 2
        assert [f["function"] for f in pause["call_stack"]] == ["scale", "total"]

        outer = panel.stack.topLevelItem(1)
        do.click_item(panel.stack, outer)
        assert window.current_editor() is calc and calc.cursor_line() == 6

        do.type_text(panel.expression_edit, "value * 10")
        do.key(panel.expression_edit, Qt.Key.Key_Return)
        used.wait_for_console("value * 10 = 10  (int)")
        do.type_text(panel.expression_edit, "undefined_name")
        do.key(panel.expression_edit, Qt.Key.Key_Return)
        used.wait_for_console("undefined_name: NameError")
        do.type_text(panel.expression_edit, "scaled = value * 3")
        do.key(panel.expression_edit, Qt.Key.Key_Return)
        used.wait_for_console("scaled = value * 3  (done)")
        assert "= None" not in used.console()

        do.key(calc, Qt.Key.Key_F5)
        used.wait_for_console("Execution completed successfully for total()")
        assert "Out: 9" in used.console()
        used.wait(lambda: window.debug_actions.session is None, "the session to end")
        assert_session_over(used)


class TestASessionMovesStopsAndEnds:
    def test_moved_and_added_breakpoints_then_stop(self, used):
        window = used.window
        spin = used.new_module(WORKBOOK, "spin", SPIN)
        do.click_gutter(spin, 3)  # a blank line: the run stops at the loop below it
        do.key(spin, Qt.Key.Key_Home, CTRL)
        debug(used, spin, "4")
        wait_paused(used, "spin", 4)
        used.wait_for_console("The breakpoint on line 3 of spin has no code there")
        assert "(breakpoint set on line 3)" in window.debug_label.text()

        # Breakpoints changed while paused reach the session's debugger: the loop's goes, a
        # conditional one comes from the gutter's menu.
        do.click_gutter(spin, 3)
        menu = do.gutter_menu(spin, 5)
        next(a for a in menu.actions() if a.text().startswith("Add Conditional")).trigger()
        condition = do.dialog(window, NameDialog)
        do.type_text(condition.name_edit, "i ==")
        assert "Not a Python expression" in condition.problem_label.text()
        do.type_text(condition.name_edit, " 2")
        do.key(condition.name_edit, Qt.Key.Key_Return)
        assert {"module_name": "spin", "line": 5, "condition": "i == 2"} in \
            window.breakpoints.records(WORKBOOK)
        do.key(spin, Qt.Key.Key_F5)
        pause = wait_paused(used, "spin", 5)
        assert pause["reason"] == "breakpoint"
        assert window.debug_panel.variable_rows("Locals")["i"] == ["int", "2"]

        do.key(spin, Qt.Key.Key_F5, SHIFT)
        used.wait_for_console("Debug session stopped")
        assert_session_over(used)
        used.wait_for_console("spin() was stopped in the debugger.")  # not a failure
        assert "Execution failed for spin()" not in used.console()
        used.wait(lambda: window.debug_actions.session is None, "the run to end")
        do.click_gutter(spin, 5)
        assert all(r["module_name"] != "spin" for r in window.breakpoints.records(WORKBOOK))

    def test_an_exception_pauses_where_it_is_raised_and_continuing_reports_it(self, used):
        window = used.window
        spin = window.editor_for(WORKBOOK, "spin") or used.new_module(WORKBOOK, "spin", SPIN)
        do.key(spin, Qt.Key.Key_End, CTRL)
        do.key(spin, Qt.Key.Key_Up)  # in boom()
        debug(used, spin, "1")
        wait_paused(used, "spin", 9)
        assert window.debug_label.text().endswith("boom(): ZeroDivisionError raised")
        used.wait_for_console("ZeroDivisionError: division by zero was raised at line 9")
        do.key(spin, Qt.Key.Key_F5)
        used.wait_for_console("Execution failed for boom(): ZeroDivisionError: division by zero")
        assert 'line 9, in boom' in used.console()
        used.wait(lambda: window.debug_actions.session is None, "the run to end")
        assert_session_over(used)

    def test_the_session_ends_when_the_kernel_goes_away(self, used):
        window = used.window
        spin = window.editor_for(WORKBOOK, "spin") or used.new_module(WORKBOOK, "spin", SPIN)
        do.click_gutter(spin, 5)
        do.key(spin, Qt.Key.Key_Home, CTRL)
        debug(used, spin, "2")
        wait_paused(used, "spin", 5)
        window.pick_workbook(WORKBOOK)
        window.workbook_actions.restart_action.trigger()
        used.answer(QMessageBox.StandardButton.Yes)
        # The hub's answer to the abandoned run, or the kernel's state, whichever comes first.
        used.wait(lambda: window.debug_actions.session is None, "the session to end")
        assert f"kernel of {WORKBOOK} went away" in used.console()
        assert_session_over(used)
        used.wait(lambda: used.kernel_state(WORKBOOK) == "connected", "the new kernel", 60)


class TestBreakpointsFollowTheirLines:
    CASES = [
        # lines, edit at line, at its start, lines added (-removed), expected
        ({3: None, 7: "x > 1"}, 5, False, 2, {3: None, 9: "x > 1"}),
        ({3: None}, 3, True, 1, {4: None}),      # Enter at the start of a line pushes it down
        ({3: None}, 3, False, 1, {3: None}),     # ... in its middle it stays
        ({3: None, 4: None, 8: None}, 3, False, -1, {3: None, 7: None}),  # line 4 joined to 3
        ({3: None, 5: None}, 3, True, -2, {3: None}),  # lines 3-4 deleted, 5 now on line 3
        ({2: None}, 6, True, -3, {2: None}),     # below the breakpoints: nothing moves
    ]

    def test_edits_move_and_drop_breakpoints(self):
        for lines, line, at_start, delta, expected in self.CASES:
            assert shift_breakpoints(lines, line, at_start, delta) == expected

    def test_typing_above_moves_the_dot_and_a_reload_keeps_the_lines(self, used):
        window = used.window
        editor = window.add_editor_tab("scratch", "a = 1\nb = 2\nc = 3\n", WORKBOOK)
        do.click_gutter(editor, 2)
        do.key(editor, Qt.Key.Key_Home, CTRL)
        do.key(editor, Qt.Key.Key_Return, times=2)
        assert window.breakpoints.lines(WORKBOOK, "scratch") == {4: None}
        assert list(editor.gutter_markers["breakpoints"]) == [4]
        editor.mark_saved()
        window.add_editor_tab("scratch", "x = 0\n" * 6, WORKBOOK)  # the workbook's code
        assert window.breakpoints.lines(WORKBOOK, "scratch") == {4: None}
        window.close_tab(window.editor_tabs.indexOf(editor))
        reopened = window.add_editor_tab("scratch", "x = 0\n" * 6, WORKBOOK)
        assert list(reopened.gutter_markers["breakpoints"]) == [4]
        do.click_gutter(reopened, 4)
        assert all(r["module_name"] != "scratch" for r in window.breakpoints.records(WORKBOOK))
        window.close_tab(window.editor_tabs.indexOf(reopened))
