"""Running code from the IDE: cells at the console prompt, functions with Run (F5), and the
namespace reset."""
from PySide6.QtCore import Qt
from PySide6.QtTest import QTest
from PySide6.QtWidgets import QMessageBox

from devhub.demo import ide_driver as do
from ide.gui.dialogs import RunDialog

from .conftest import CTRL, WORKBOOK

MODULE = """\
import time

def slow(n, label):
    for i in range(n):
        print(label, i)
        time.sleep(0.2)
    return n * 10

def quick():
    return 'quick'
"""


class TestPrompt:
    def test_enter_runs_unfinished_blocks_continue_and_history_walks_back(self, used):
        prompt = used.window.console.prompt
        assert "Out: 42" in used.run_cell("x = 6; x * 7")
        do.type_text(prompt, "for n in range(2):")
        do.key(prompt, Qt.Key.Key_Return)
        do.type_text(prompt, "print('n is', n)")
        do.key(prompt, Qt.Key.Key_Return, Qt.KeyboardModifier.ShiftModifier)
        assert prompt.toPlainText() == "for n in range(2):\n    print('n is', n)\n    "
        do.key(prompt, Qt.Key.Key_Return)  # on the blank line: the block is finished
        used.wait_for_console("n is 1\n")
        assert used.console().count(">>> for n in range(2):\n...     print('n is', n)\n") == 1

        do.type_text(prompt, "draft")
        do.key(prompt, Qt.Key.Key_Up)
        assert prompt.toPlainText() == "for n in range(2):\n    print('n is', n)"
        do.key(prompt, Qt.Key.Key_Up)
        assert prompt.toPlainText() == "x = 6; x * 7"
        do.key(prompt, Qt.Key.Key_Down)  # the cursor is on the first line of a one-line cell
        do.key(prompt, Qt.Key.Key_Down, times=2)
        assert prompt.toPlainText() == "draft"
        prompt.clear()

    def test_reset_namespace_asks_first_then_forgets_what_cells_defined(self, used):
        actions = used.window.run_actions
        used.run_cell("forgotten = 1")
        actions.reset_action.trigger()
        used.answer(QMessageBox.StandardButton.Cancel)  # asked, and nothing is lost
        assert "NameError" not in used.run_cell("forgotten")
        actions.reset_action.trigger()
        box = do.dialog(used.window, QMessageBox)
        QTest.mouseClick(box.checkBox(), Qt.MouseButton.LeftButton)
        QTest.mouseClick(next(b for b in box.buttons() if b.text() == "Reset"),
                         Qt.MouseButton.LeftButton)
        used.wait_for_console(f"Namespace of {WORKBOOK} reset")
        assert "NameError" in used.run_cell("forgotten")
        try:  # "Don't ask again": the next reset runs at once
            used.run_cell("forgotten = 2")
            actions.reset_action.trigger()
            used.wait(lambda: "NameError" in used.run_cell("forgotten"), "the second reset")
        finally:
            actions.ask_before_reset = True


class TestRun:
    def test_f5_runs_the_function_under_the_cursor_once_at_a_time(self, used):
        editor = used.new_module(WORKBOOK, "jobs", MODULE)
        do.key(editor, Qt.Key.Key_Home, CTRL)
        do.key(editor, Qt.Key.Key_Down, times=4)  # inside slow()
        do.key(editor, Qt.Key.Key_F5)
        dialog = do.dialog(used.window, RunDialog)
        assert dialog.function_name() == "slow"
        assert dialog.function_box.count() == 2
        do.type_text(dialog.args_edit, "3, {'a': 1}")
        do.key(dialog.args_edit, Qt.Key.Key_Return)
        assert "Argument 2 cannot be sent" in dialog.problem_label.text() and dialog.isVisible()
        dialog.args_edit.setText("3, labl")
        do.key(dialog.args_edit, Qt.Key.Key_Return)
        assert "Argument 2 (labl) is not a Python literal" in dialog.problem_label.text()
        do.type_text(dialog.args_edit, "'tick'")  # over the faulty argument
        do.key(dialog.args_edit, Qt.Key.Key_Return)

        used.wait_for_console("tick 0\n")
        assert "running slow()" in used.window.run_actions.run_action.text()
        do.key(editor, Qt.Key.Key_F5)
        do.key(do.dialog(used.window, RunDialog).args_edit, Qt.Key.Key_Return)
        used.wait_for_console("slow() is still running in Book.xlsx")
        used.wait_for_console("Execution completed successfully for slow()")
        text = used.console()
        assert text.count("Run jobs.slow(3, 'tick')") == 1
        assert text.index("tick 2\n") < text.index("Out: 30") < text.index("for slow()")
        assert "running" not in used.window.run_actions.run_action.text()

    def test_the_dialog_shows_the_docstring_and_takes_keyword_arguments(self, used):
        editor = used.new_module(WORKBOOK, "loans", (
            "def payment(principal, rate, months=12, years=10):\n"
            "    \"\"\"The monthly payment of a loan.\"\"\"\n"
            "    return (principal, rate, months, years)\n"))
        do.key(editor, Qt.Key.Key_F5)
        dialog = do.dialog(used.window, RunDialog)
        assert dialog.signature_label.text() == "def payment(principal, rate, months=12, years=10)"
        assert dialog.doc_label.text() == "The monthly payment of a loan."
        do.type_text(dialog.args_edit, "200000, 0.05, years=15")
        do.key(dialog.args_edit, Qt.Key.Key_Return)
        used.wait_for_console("Execution completed successfully for payment()")
        assert "Out: (200000, 0.05, 12, 15)" in used.console()
        assert "Run loans.payment(200000, 0.05, years=15)" in used.console()

    def test_an_edited_module_is_saved_before_it_runs(self, used):
        editor = used.new_module(WORKBOOK, "fresh", "def value():\n    return 1\n")
        editor.selectAll()
        do.type_code(editor, "def value():\n    return 2\n")
        do.key(editor, Qt.Key.Key_F5)
        do.key(do.dialog(used.window, RunDialog).args_edit, Qt.Key.Key_Return)
        used.wait_for_console("Execution completed successfully for value()")
        assert "Out: 2" in used.console() and not editor.is_modified()
