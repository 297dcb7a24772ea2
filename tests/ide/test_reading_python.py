"""What the IDE reads from Python text: module names, a module's functions, run arguments, the
call the cursor is in; and how the editor indents what is typed."""
import re

import pytest
from PySide6.QtCore import Qt

from devhub.demo import ide_driver as do
from ide.gui import MonacoEditor
from ide.gui.python_source import (ArgumentError, enclosing_call, function_at,
                                   module_name_problem, parse_arguments, top_level_functions)


class TestModuleNames:
    def test_only_free_python_identifiers_are_taken(self):
        assert module_name_problem("sales_2024", ["other"]) is None
        assert module_name_problem("données", []) is None
        for bad in ("", "2024", "a.b", "with space", "import", "other"):
            assert module_name_problem(bad, ["other"]), bad


class TestRunArguments:
    def test_literals_become_values_that_can_travel(self):
        assert parse_arguments("") == []
        assert parse_arguments(" 1000, 0.05, 'a, b', None, [1, 2], [[1], [2]], (3,) ") == [
            1000, 0.05, "a, b", None, [1, 2], [[1], [2]], (3,)]

    @pytest.mark.parametrize("text, reason", [
        ("1, two", "Argument 2 (two) is not a Python literal"),
        ("1, 2)", "Not valid Python"),
        ("x=1", "Only positional values"),
        ("*[1]", "drop '*' and '**'"),
        ("{'a': 1}", "Argument 1 cannot be sent: a dict value"),
        ("[[[1]]]", "lists nest at most two deep"),
        ("float('nan')", "not a Python literal"),
        ("1e999", "inf has no JSON form"),
    ])
    def test_bad_arguments_say_what_is_wrong(self, text, reason):
        with pytest.raises(ArgumentError, match=re.escape(reason)):
            parse_arguments(text)

    def test_keywords_take_their_parameters_places_and_skipped_ones_their_defaults(self):
        loan, = top_level_functions('def loan(principal, rate, months=12, years=10, *, note=""):'
                                    '\n    """Monthly payment."""\n')
        assert loan.doc == "Monthly payment."
        assert parse_arguments("200000, 0.05, years=15", loan) == [200000, 0.05, 12, 15]
        assert parse_arguments("rate=0.05, principal=1", loan) == [1, 0.05]
        with pytest.raises(ArgumentError) as raised:
            parse_arguments("  1, two", loan)
        assert raised.value.span == (5, 8)  # in the text as typed, spaces and all

    @pytest.mark.parametrize("text, reason", [
        ("1, 2, rate=3", "loan() got rate twice"),
        ("1, 2, weeks=3", "loan() has no parameter weeks"),
        ("1, 2, note='x'", "note is a keyword-only parameter"),
        ("1, years=2", "loan() needs a value for rate"),
        ("1, 2, 3, 4, start=x", "start (x) is not a Python literal"),
        ("1, 2, years={'a': 1}", "years cannot be sent: a dict value"),
        ("1, 2, stop=5", "start comes before stop and its default is not a literal"),
    ])
    def test_keywords_that_cannot_be_placed_say_why(self, text, reason):
        loan, = top_level_functions("def loan(principal, rate, months=12, years=10, "
                                    "start=TODAY, stop=None, *, note=''):\n    pass\n")
        with pytest.raises(ArgumentError, match=re.escape(reason)):
            parse_arguments(text, loan)


class TestFunctions:
    def test_the_function_under_a_line_includes_its_decorators(self):
        source = ("import functools\n\n@functools.lru_cache()\ndef cached(n):\n    return n\n\n"
                  "async def later():\n    pass\n\nclass K:\n    def method(self):\n"
                  "        pass\n\ndef last(a, b=2, *rest):\n    def inner():\n"
                  "        pass\n    return a\n")
        functions = top_level_functions(source)
        assert [f.signature for f in functions] == ["cached(n)", "last(a, b=2, *rest)"]
        assert function_at(functions, 3).name == "cached"
        assert function_at(functions, 16).name == "last"
        assert function_at(functions, 11) is None
        assert top_level_functions("def broken(:\n") == []


class TestEditorIndentation:
    def test_typing_follows_python_blocks(self, qtbot):
        editor = MonacoEditor("B", "m")
        qtbot.addWidget(editor)
        for line in ("def f(x):", "if x:", "return 1", "return 2"):
            do.type_text(editor, line)
            do.key(editor, Qt.Key.Key_Return)
        assert editor.toPlainText() == "def f(x):\n    if x:\n        return 1\n    return 2\n"
        do.key(editor, Qt.Key.Key_Tab)
        do.type_text(editor, "y = 1")
        do.key(editor, Qt.Key.Key_Home)
        do.key(editor, Qt.Key.Key_Right, times=4)
        do.key(editor, Qt.Key.Key_Backspace)  # one level, not one space
        assert editor.toPlainText().endswith("\ny = 1")
        editor.selectAll()
        do.key(editor, Qt.Key.Key_Tab)
        assert editor.toPlainText().startswith("    def f(x):\n        if x:")
        do.key(editor, Qt.Key.Key_Backtab)
        assert editor.toPlainText().startswith("def f(x):\n    if x:")


class TestEnclosingCall:
    @pytest.mark.parametrize("text, call", [
        ("f(1, g(2), ", "f("),
        ("f(1, g(2", "g("),
        ("f(x[1], {'a': (", "f("),  # brackets and a parenthesised expression inside the call
        ("f('(', \"(\", '''\n(''', ", "f("),
        ("f(1 # (\n, ", "f("),
        ("obj.method(a)(", "(a)("),
        ("f(1)", None),
        ("x = (1, ", None),
        ("f('abc", None),
        ("f(1)) + g(", "g("),  # a closing bracket opened above the text passed
    ])
    def test_the_innermost_call_open_at_the_end_outside_strings_and_comments(self, text, call):
        offset = enclosing_call(text)
        assert (None if offset is None else text[offset - len(call) + 1:offset + 1]) == call
