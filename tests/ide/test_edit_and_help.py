"""The Edit and Help menus through the keyboard: find, replace, go to line and toggle comment in
an editor tab, the shortcut list and the guide. No hub is needed: the window edits text."""
import pytest
from PySide6.QtCore import Qt
from PySide6.QtWidgets import QInputDialog, QTableWidget

from devhub.demo import ide_driver as do
from ide.gui import MainWindow
from ide.gui.edit_actions import toggled_comment

from .conftest import CTRL

SHIFT = Qt.KeyboardModifier.ShiftModifier
SOURCE = ("def rate(total):\n"
          "    Total = total * 2\n"
          "    return total + Total  # totals\n"
          "\n"
          "print(rate(1))\n")


@pytest.fixture
def window(qapp):
    window = MainWindow()
    window.resize(1000, 700)
    window.show()
    yield window
    for editor in window.unsaved_editors():
        editor.mark_saved()
    window.close()
    window.deleteLater()


@pytest.fixture
def editor(window):
    editor = window.add_editor_tab("edited", SOURCE, "Book.xlsx")
    editor.setFocus()
    return editor


def selection(editor):
    cursor = editor.textCursor()
    return cursor.blockNumber() + 1, cursor.selectedText()


class TestFind:
    def test_typing_finds_and_enter_steps_through_matches_wrapping_round(self, window, editor):
        bar = window.find_bar
        do.key(editor, Qt.Key.Key_F, CTRL)
        assert bar.isVisible() and bar.find_field.hasFocus()
        do.type_text(bar.find_field, "total")
        # Case does not matter by default: "total", "Total", "total", "Total", "total"(s).
        assert selection(editor) == (1, "total")
        assert bar.count_label.text() == "1 of 6"
        do.key(bar.find_field, Qt.Key.Key_Return)
        assert selection(editor) == (2, "Total")
        do.key(bar.find_field, Qt.Key.Key_Return, SHIFT)
        do.key(bar.find_field, Qt.Key.Key_Return, SHIFT)  # past the first: wraps to the last
        assert selection(editor) == (3, "total") and bar.count_label.text() == "6 of 6"
        assert len(editor.extraSelections()) == 6  # every match highlighted

        do.click(bar.match_case)
        assert bar.count_label.text().endswith("of 4")
        do.click(bar.whole_word)  # "totals" is not the word "total"
        assert len(bar.matches()) == 3
        do.key(editor, Qt.Key.Key_F3)  # F3 from the editor goes on, the bar keeps its search
        assert selection(editor)[1] == "total"

        do.key(bar.find_field, Qt.Key.Key_Escape)
        assert not bar.isVisible() and editor.hasFocus()
        assert editor.extraSelections() == []

    def test_a_selected_word_is_what_ctrl_f_looks_for_and_no_match_is_said(self, window, editor):
        cursor = editor.textCursor()
        cursor.setPosition(SOURCE.index("print"))
        cursor.setPosition(SOURCE.index("print") + 5, cursor.MoveMode.KeepAnchor)
        editor.setTextCursor(cursor)
        do.key(editor, Qt.Key.Key_F, CTRL)
        assert window.find_bar.find_field.text() == "print"
        do.type_text(window.find_bar.find_field, "er")
        assert window.find_bar.count_label.text() == "No matches"
        assert editor.toPlainText() == SOURCE

    def test_replace_one_then_all_and_one_undo_takes_all_back(self, window, editor):
        bar = window.find_bar
        do.key(editor, Qt.Key.Key_H, CTRL)
        assert bar.replace_field.isVisible()
        do.type_text(bar.find_field, "total")
        do.click(bar.match_case)
        do.click(bar.whole_word)
        do.type_text(bar.replace_field, "amount")
        do.click(bar.replace_button)  # the selected first match
        assert editor.toPlainText().startswith("def rate(amount):")
        assert selection(editor) == (2, "total")  # on to the next
        do.click(bar.replace_all_button)
        replaced = SOURCE.replace("(total)", "(amount)").replace("= total", "= amount") \
            .replace("return total", "return amount")
        assert editor.toPlainText() == replaced
        assert bar.count_label.text() == "Replaced 2"
        editor.undo()
        assert editor.toPlainText() == SOURCE.replace("rate(total)", "rate(amount)", 1)


class TestLinesAndComments:
    def test_go_to_line_puts_the_cursor_at_the_line_asked_for(self, window, editor):
        do.key(editor, Qt.Key.Key_G, CTRL)
        dialog = do.dialog(window, QInputDialog)
        assert dialog.intMaximum() == 6 and dialog.intValue() == 1
        dialog.setIntValue(5)
        dialog.accept()
        assert editor.cursor_line() == 5 and editor.textCursor().positionInBlock() == 0

    def test_ctrl_slash_comments_the_selected_lines_and_again_uncomments(self, window, editor):
        cursor = editor.textCursor()
        cursor.setPosition(SOURCE.index("Total ="))
        cursor.setPosition(SOURCE.index("print"), cursor.MoveMode.KeepAnchor)  # ends at line 5
        editor.setTextCursor(cursor)
        do.key(editor, Qt.Key.Key_Slash, CTRL)
        assert editor.toPlainText().splitlines()[1:5] == [
            "    # Total = total * 2", "    # return total + Total  # totals", "",
            "print(rate(1))"]
        do.key(editor, Qt.Key.Key_Slash, CTRL)
        assert editor.toPlainText() == SOURCE
        editor.undo()
        editor.undo()
        assert editor.toPlainText() == SOURCE

    def test_a_caret_comments_its_own_line_and_stays_in_its_text(self, window, editor):
        cursor = editor.textCursor()
        cursor.setPosition(SOURCE.index("(1))"))
        editor.setTextCursor(cursor)
        do.key(editor, Qt.Key.Key_Slash, CTRL)
        assert editor.toPlainText().endswith("# print(rate(1))\n")
        assert editor.textCursor().positionInBlock() == len("# print(rate")

    @pytest.mark.parametrize("lines, expected", [
        (["    a = 1", "", "        b = 2"], ["    # a = 1", "", "    #     b = 2"]),
        (["  #a", "  # b", ""], ["  a", "  b", ""]),
        (["# a", "b"], ["# # a", "# b"]),  # not all commented: all get one more
        (["", "   "], ["", "   "]),
    ])
    def test_comment_marks_go_at_the_block_indentation(self, lines, expected):
        assert toggled_comment(lines) == expected


class TestHelp:
    def test_the_shortcut_list_comes_from_the_actions(self, window):
        window.help_actions.shortcuts_action.trigger()
        table = window.help_actions.shortcuts_window.findChild(QTableWidget, "shortcuts")
        rows = {(table.item(r, 0).text(), table.item(r, 1).text()): table.item(r, 2).text()
                for r in range(table.rowCount())}
        assert rows[("Edit", "Find")] == "Ctrl+F"
        assert rows[("Edit", "Toggle Comment")] == "Ctrl+/"
        assert rows[("File", "Save")] == "Ctrl+S"
        # A shortcut changed on an action shows at the next opening.
        window.edit_actions.go_to_line_action.setShortcut("Ctrl+L")
        table = window.help_actions.show_shortcuts()
        keys = [table.item(r, 2).text() for r in range(table.rowCount())
                if table.item(r, 1).text() == "Go to Line"]
        assert keys == ["Ctrl+L"]

    def test_f1_opens_the_guide_to_the_quorvel_module(self, window):
        do.key(window, Qt.Key.Key_F1)
        browser = window.help_actions.show_guide()
        assert window.help_actions.guide_window.isVisible()
        text = browser.toPlainText()
        for name in ("quorvel.excel", "@quorvel.function", "@quorvel.on", "save_object"):
            assert name in text
