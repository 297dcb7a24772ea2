"""The editor's language services, as a person typing in it sees them: completions, signatures,
hover text and diagnostics from the workbook's own kernel, through the hub."""
import contextlib
import itertools
import json

import pytest
from PySide6.QtCore import Qt
from PySide6.QtGui import QTextCharFormat, QTextCursor
from PySide6.QtTest import QTest

from devhub.demo import ide_driver as do
from ide.gui import MonacoEditor
from ide.gui.language_client import COMPLETION, MAX_REQUEST_CHARS, fitted_request

from .conftest import CTRL, WORKBOOK, seconds

FORECAST = ('def grow(value, rate, years):\n    """Grows value by rate, once a year."""\n'
            '    return value * (1 + rate) ** years\n')
_names = itertools.count()


@pytest.fixture(scope="module")
def forecast(ide):
    ide.new_module(WORKBOOK, "forecast", FORECAST)


@pytest.fixture
def editor(used, forecast):
    """The editor of a new, empty module of the workbook."""
    return used.new_module(WORKBOOK, f"typed{next(_names)}")


@pytest.fixture
def sent(used, monkeypatch):
    """The types of the messages the IDE sends from now on."""
    types = []
    send = used.link.send_message
    monkeypatch.setattr(used.link, "send_message",
                        lambda message: (types.append(message.get("type")), send(message)))
    return types


# Cells that make the kernel's completions fail, or come late.
REPLACE_COMPLETIONS = ("import python_server.lsp_bridge as lsp, time; lsp.kept = "
                       "lsp.LSPBridge.get_completions; lsp.LSPBridge.get_completions = ")
FAILING = "lambda self, **request: 1 / 0"
SLOW = "lambda self, **request: (time.sleep(1), lsp.kept(self, **request))[1]"


@contextlib.contextmanager
def completions_replaced(ide, replacement: str):
    ide.run_cell(REPLACE_COMPLETIONS + replacement)
    try:
        yield
    finally:
        ide.run_cell("lsp.LSPBridge.get_completions = lsp.kept")


def listed(editor) -> list:
    popup = editor.completion_popup
    return [popup.list.item(i).text() for i in range(popup.list.count())] \
        if popup.isVisible() else []


def hover(editor, line: int, column: int) -> None:
    cursor = QTextCursor(editor.document())
    cursor.setPosition(editor.position_of(line, column))
    QTest.mouseMove(editor.viewport(), editor.cursorRect(cursor).center())


class TestCompletion:
    def test_a_dot_lists_an_in_memory_modules_functions_and_enter_inserts_the_choice(
            self, used, editor):
        # Typed after a character beyond the BMP: the column is counted in characters.
        editor.insertPlainText("import forecast\nlabel = '\U0001F4C8'; forecast")
        do.type_text(editor, ".")
        used.wait(lambda: "grow" in listed(editor), "the completion list")
        popup = editor.completion_popup
        assert popup.current()["kind"] == "function"
        assert "Grows value by rate" in popup.docs.text()
        do.key(editor, Qt.Key.Key_Down)
        assert popup.current()["label"] == listed(editor)[1] != "grow"
        do.key(editor, Qt.Key.Key_Up)
        do.type_text(editor, "GR")  # filters without asking again, in any case
        assert listed(editor) == ["grow"]
        do.key(editor, Qt.Key.Key_Return)
        assert editor.toPlainText().endswith("; forecast.grow") and not popup.isVisible()

    def test_fast_typing_asks_once_and_the_choice_replaces_what_was_typed(self, used, editor,
                                                                          sent):
        do.type_code(editor, "import forecast\n")
        do.type_text(editor, "forecast.gr")
        used.wait(lambda: listed(editor) == ["grow"], "the completion list")
        assert sent.count("completion_request") == 1
        do.key(editor, Qt.Key.Key_Escape)
        assert not editor.completion_popup.isVisible()
        do.key(editor, Qt.Key.Key_Space, CTRL)
        used.wait(lambda: listed(editor) == ["grow"], "the list on Ctrl+Space")
        do.key(editor, Qt.Key.Key_Tab)
        assert editor.toPlainText().endswith("\nforecast.grow")

    def test_unsaved_text_of_another_open_module_completes(self, used, editor):
        draft = used.new_module(WORKBOOK, f"draft{next(_names)}", "X = 1\n")
        do.type_code(draft, "def fresh_idea():\n    pass\n")  # not saved
        used.window.editor_tabs.setCurrentWidget(editor)
        do.type_code(editor, f"import {draft.module_name}\n")
        do.type_text(editor, f"{draft.module_name}.")
        used.wait(lambda: "fresh_idea" in listed(editor), "the unsaved function")

    def test_an_answer_for_a_name_the_cursor_has_left_is_not_shown(self, used, editor):
        do.type_code(editor, "import forecast\n")
        language = used.window.language
        with completions_replaced(used, SLOW):
            do.type_text(editor, "forecast.")
            used.wait(lambda: COMPLETION in language.waiting(), "the request")
            do.type_text(editor, " ")
            used.wait(lambda: not language.waiting(), "the answer")
        assert not editor.completion_popup.isVisible()


class TestPromptCompletion:
    def test_tab_completes_modules_and_names_earlier_cells_defined(self, used, forecast):
        prompt, completion = used.window.console.prompt, used.window.prompt_completion
        used.window.console.select_workbook(WORKBOOK)
        used.run_cell("import forecast")
        used.run_cell("sales_total_2024 = 1")
        do.type_text(prompt, "sales_to")
        do.key(prompt, Qt.Key.Key_Tab)  # one candidate: put in at once
        used.wait(lambda: prompt.toPlainText() == "sales_total_2024", "the name of a cell")
        prompt.clear()
        do.type_text(prompt, "forecast.")
        do.key(prompt, Qt.Key.Key_Space, CTRL)
        used.wait(completion.popup.isVisible, "the list over the prompt")
        labels = [item["label"] for item in completion.popup.items]
        assert "grow" in labels
        do.type_text(prompt, "gr")  # filters in place
        assert completion.popup.list.count() == 1
        do.key(prompt, Qt.Key.Key_Return)  # takes the choice, does not run the cell
        assert prompt.toPlainText() == "forecast.grow" and not completion.popup.isVisible()
        prompt.clear()
        do.key(prompt, Qt.Key.Key_Tab)  # at the start of a line Tab still indents
        assert prompt.toPlainText() == "    "
        prompt.clear()


class TestSignatureHelp:
    def test_the_tip_follows_the_arguments_and_goes_when_the_call_is_left(self, used, editor):
        tip = editor.signature_tip
        do.type_code(editor, "import forecast\n")
        do.type_text(editor, "forecast.grow(")
        used.wait(lambda: tip.isVisible() and "<b><u>value</u></b>" in tip.text(), "the tip")
        assert "Grows value by rate" in tip.text()
        do.type_text(editor, "100, ")
        used.wait(lambda: "<b><u>rate</u></b>" in tip.text(), "the second parameter")
        do.type_text(editor, "0.1, 3)")
        assert not tip.isVisible()
        do.key(editor, Qt.Key.Key_Left, times=2)
        do.key(editor, Qt.Key.Key_Space, CTRL | Qt.KeyboardModifier.ShiftModifier)
        used.wait(lambda: tip.isVisible() and "<b><u>years</u></b>" in tip.text(), "the tip")
        do.key(editor, Qt.Key.Key_Home)
        assert not tip.isVisible()


class TestHoverAndDiagnostics:
    def test_findings_are_underlined_counted_and_explained_and_go_when_fixed(self, used,
                                                                            editor):
        do.type_code(editor, "import os\nimport forecast\n")
        editor.insertPlainText("total = forecast.grow('\U0001F4C8', 1, 2) + missing\n")
        used.wait(lambda: len(editor.diagnostics) == 2, "the findings")
        underlined = {s.cursor.selectedText(): s.format.underlineColor().name()
                      for s in editor.extraSelections()}
        assert underlined == {"os": "#cca700", "missing": "#f14c4c"}
        assert used.window.language.problems_label.text() == "1 error, 1 warning"

        hover(editor, 3, 36)
        used.wait(lambda: "undefined name 'missing'" in editor.hover_tip.text(), "the finding")
        hover(editor, 3, 19)
        used.wait(lambda: "Grows value by rate" in editor.hover_tip.text(), "the hover text")

        for _ in range(len(" + missing\n")):
            do.key(editor, Qt.Key.Key_Backspace)
        do.key(editor, Qt.Key.Key_Home, CTRL)
        do.key(editor, Qt.Key.Key_Down, Qt.KeyboardModifier.ShiftModifier)
        do.key(editor, Qt.Key.Key_Delete)
        used.wait(lambda: used.window.language.problems_label.text() == "No problems",
                  "the findings to go")
        assert editor.extraSelections() == []


class TestUnansweredRequests:
    def test_a_request_the_kernel_cannot_answer_is_given_up_after_the_time_out(
            self, used, editor, monkeypatch):
        language = used.window.language
        monkeypatch.setattr(language, "timeout", seconds(2))
        with completions_replaced(used, FAILING):
            do.type_text(editor, "import forecast; forecast")
            do.key(editor, Qt.Key.Key_Space, CTRL)
            used.wait(lambda: COMPLETION in language.waiting(), "the request")
            used.wait(lambda: not language.waiting(), "the time-out", 10)
        do.key(editor, Qt.Key.Key_Space, CTRL)
        used.wait(lambda: "forecast" in listed(editor), "the list once the kernel answers")

    def test_a_request_whose_kernel_goes_away_is_given_up_at_once(self, used, forecast,
                                                                  monkeypatch):
        used.window.workbook_actions.create_workbook("Gone.xlsx")
        used.wait(lambda: used.kernel_state("Gone.xlsx") == "connected", "the kernel", 60)
        editor = used.new_module("Gone.xlsx", "orphan")
        used.window.console.select_workbook("Gone.xlsx")
        used.run_cell(REPLACE_COMPLETIONS + FAILING)
        used.window.console.select_workbook(WORKBOOK)
        language = used.window.language
        monkeypatch.setattr(language, "timeout", 1000)
        do.type_text(editor, "import os; os")
        do.key(editor, Qt.Key.Key_Space, CTRL)
        used.wait(lambda: COMPLETION in language.waiting(), "the request")
        used.background.call(used.background.hub.kernels.stop("Gone.xlsx", 10))
        used.wait(lambda: not language.waiting(), "the request to be dropped", 5)


class TestRequestSize:
    def test_a_request_too_long_for_the_kernel_goes_without_unsaved_modules_or_not_at_all(self):
        code = "x = 'é'\n" * 50_000  # 400,000 characters, 700,000 in JSON
        message = {"type": "completion_request", "code": code, "dirty_files": {"m": code}}
        assert fitted_request(message)["dirty_files"] == {}
        assert fitted_request({**message, "code": code * 2, "dirty_files": {}}) is None
        assert len(json.dumps(fitted_request({**message, "dirty_files": {}}))) <= MAX_REQUEST_CHARS


class TestUnderlines:
    def test_underlines_cover_the_name_follow_edits_and_outlive_the_debug_line(self, qtbot):
        editor = MonacoEditor("B", "m", "import os\nx = '\U0001F4C8' + missing\n")
        qtbot.addWidget(editor)
        editor.set_diagnostics([
            {"line": 1, "column": 0, "end_line": 1, "end_column": 1, "severity": "warning",
             "message": "'os' imported but unused"},
            {"line": 2, "column": 10, "end_line": 2, "end_column": 11, "severity": "error",
             "message": "undefined name 'missing'"},
            {"line": 9, "column": 0, "severity": "error", "message": "beyond the text"}])

        def underlined():
            return [s.cursor.selectedText() for s in editor.extraSelections()
                    if s.format.underlineStyle() == QTextCharFormat.UnderlineStyle.WaveUnderline]

        assert underlined() == ["os", "missing"]
        assert {line: color.name() for line, color in
                editor.gutter_markers["diagnostics"].items()} == {1: "#cca700", 2: "#f14c4c"}
        editor.set_debug_line(2)
        assert underlined() == ["os", "missing"] and len(editor.extraSelections()) == 3
        editor.clear_debug_line()
        cursor = QTextCursor(editor.document().findBlockByNumber(1))
        cursor.insertText("y = 1; ")
        assert underlined() == ["os", "missing"]
        missing = editor.position_of(2, editor.toPlainText().splitlines()[1].index("missing"))
        assert [d["message"] for d in editor.diagnostics_at(missing + 3)] == [
            "undefined name 'missing'"]
        assert editor.diagnostics_at(missing - 2) == []
