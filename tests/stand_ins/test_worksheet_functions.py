import sys
import textwrap
import types

import pytest

import python_server.quorvel as quorvel
from python_server.quorvel.workbook_events import arity_problem, find_handlers
from python_server.quorvel.worksheet_functions import (find_functions, function, module_functions,
                                                        valid_function_name)


def _names(source):
    return [entry["name"] for entry in find_functions(textwrap.dedent(source))]


def _one(decorator, parameters="", body="pass"):
    return find_functions(f"import quorvel\nNAME = 'X'\n{decorator}\n"
                          f"def f({parameters}):\n    {body}\n")


def ab12(x):
    pass


async def later(x):
    pass


def scaled(x, *, scale):
    pass


class TestNames:
    def test_valid_function_name(self):
        valid = ["F", "STATS.MEAN", "my_func", "X1Y", "XFE1", "A0", "A1048577", "A" * 255]
        invalid = ["", "1ABC", "_X", "MY FUNC", "É", "a1", "XFD1048576", "LOG10", "A" * 256, None]
        assert [name for name in valid if not valid_function_name(name)] == []
        assert [name for name in invalid if valid_function_name(name)] == []


class TestDecorator:
    @pytest.mark.parametrize("mark, error, message", [
        (lambda: function(name="A1"), ValueError, "not a valid worksheet function name"),
        (lambda: function(ab12), ValueError, "name="),
        (lambda: function(scaled), ValueError, "scale"),
        (lambda: function(later), TypeError, "async"),
        (lambda: function("TWICE"), TypeError, "name="),
        (lambda: function(len), TypeError, "Python functions"),
        (lambda: function(volatile=1), TypeError, "volatile"),
    ])
    def test_refused(self, mark, error, message):
        with pytest.raises(error, match=message):
            mark()


class TestFindFunctions:
    def test_entry(self):
        entry, = _one("@quorvel.function", "x, y=1", '"""Doubles x.\n\n    Details."""')
        assert entry == {"name": "F", "function": "f", "description": "Doubles x.",
                         "volatile": False, "min_args": 1, "max_args": 2,
                         "parameters": ["x", "y"], "streaming": False, "line": 4}
        entry, = _one("@quorvel.function(name='dbl', description='Two', volatile=True)",
                      body='"""No."""')
        assert (entry["name"], entry["description"], entry["volatile"]) == ("DBL", "Two", True)
        entry, = _one("@quorvel.function(name=None, description=None)", body='"""Doc."""')
        assert (entry["name"], entry["description"]) == ("F", "Doc.")

    def test_import_forms_and_aliases(self):
        assert _names('''
            import quorvel as q
            from quorvel import function
            from quorvel import function as wf
            import functools
            @q.function
            def a(): pass
            @function
            def b(): pass
            @functools.cache
            @wf(volatile=False)
            def c(): pass
            @quorvel.function()
            def d(): pass
            try:
                @quorvel.function
                def e(): pass
            except ImportError:
                pass
        ''') == ["A", "B", "C", "D", "E"]

    def test_only_module_level_plain_defs(self):
        assert _names('''
            class Tools:
                @quorvel.function
                def method(self): pass
            def outer():
                @quorvel.function
                def inner(): pass
            @quorvel.function
            async def later(): pass
        ''') == []

    @pytest.mark.parametrize("decorator", [
        "@function", "@other.function", "@quorvel.function.extra",
        "from elsewhere import function\n@function",
        "@quorvel.function(name=NAME)", "@quorvel.function('F')", "@quorvel.function(volatile=1)",
        "@quorvel.function(colour='red')", "@quorvel.function(**{})",
        "@quorvel.function(name='A1')",
    ])
    def test_other_decorators_and_unreadable_options(self, decorator):
        assert _one(decorator) == []

    @pytest.mark.parametrize("parameters, counts", [
        ("", (0, 0)), ("a, b=1, c=2", (1, 3)), ("a, /, b", (2, 2)), ("a=1, /, b=2", (0, 2)),
        ("a, *rest", (1, None)), ("*rest, scale=1", (0, None)), ("a, **options", (1, 1)),
        ("a, *, k=1", (1, 1)),
        ("a, *, k", None),
    ])
    def test_argument_counts(self, parameters, counts):
        found = [(entry["min_args"], entry["max_args"])
                 for entry in _one("@quorvel.function", parameters)]
        assert found == ([] if counts is None else [counts])

    def test_later_definition_wins(self):
        found = find_functions(textwrap.dedent('''
            import quorvel
            @quorvel.function(name="SAME")
            def first(): pass
            @quorvel.function
            def other(): pass
            @quorvel.function
            def same(): pass
        '''))
        assert [(entry["name"], entry["function"]) for entry in found] == [("OTHER", "other"),
                                                                           ("SAME", "same")]

    @pytest.mark.parametrize("source", ["def f(:\n", "x = '\0'\n", "(" * 1000 + ")" * 1000, ""])
    def test_unparsable_or_empty_source(self, source):
        assert find_functions(source) == []

    def test_agrees_with_the_decorator_when_run(self, monkeypatch):
        source = textwrap.dedent('''
            import quorvel
            from quorvel import function as wf

            @quorvel.function
            def plain(x):
                """First line.
                Second line."""
                return 2 * x

            @wf(name="renamed", description="Given", volatile=True)
            def other(x, y=2, *more):
                """Not this."""

            @wf()
            def bare(): pass
        ''')
        monkeypatch.setitem(sys.modules, "quorvel", quorvel)
        module = types.ModuleType("book")
        exec(compile(source, "book.py", "exec"), module.__dict__)
        assert (module.plain(4) == 8 and quorvel.function is function
                and "CellError" in quorvel.__all__)
        found = find_functions(source)
        assert [(entry["name"], entry["description"]) for entry in found] == [
            ("PLAIN", "First line."), ("RENAMED", "Given"), ("BARE", "")]
        for entry in found:
            options = getattr(module, entry["function"]).__quorvel_function__
            assert options == {key: entry[key] for key in ("name", "description", "volatile")}


class TestStreamingAndHandlers:
    def test_a_generator_is_streaming_but_a_nested_one_is_not(self):
        found = {entry["name"]: entry["streaming"] for entry in find_functions(textwrap.dedent('''
            import quorvel
            @quorvel.function
            def ticks(n):
                if n:
                    for i in range(n):
                        x = (yield i)
            @quorvel.function
            def delegates():
                yield from range(3)
            @quorvel.function
            def makes():
                def inner():
                    yield 1
                return [v for v in inner()]
        '''))}
        assert found == {"TICKS": True, "DELEGATES": True, "MAKES": False}

    def test_handlers_found_as_the_decorator_binds_them(self, monkeypatch):
        source = textwrap.dedent('''
            import quorvel
            from quorvel import on as when
            @quorvel.on("Change", sheet="Data")
            @quorvel.on("SelectionChange", "Data")
            def changed(address): pass
            @when("Open")
            def opened(): pass
            @quorvel.on("Change")
            def no_sheet(address): pass
            @quorvel.on("Resize", sheet="Data")
            def no_event(address): pass
            @quorvel.on(EVENT)
            def not_literal(address): pass
        ''')
        found = [(h["object_id"], h["event_name"], h["function"]) for h in find_handlers(source)]
        assert found == [("Data", "Change", "changed"), ("Data", "SelectionChange", "changed"),
                         ("Workbook", "Open", "opened")]
        monkeypatch.setitem(sys.modules, "quorvel", quorvel)
        module = types.ModuleType("book")
        with pytest.raises(ValueError, match="sheet="):
            exec(compile(source, "book.py", "exec"), {**module.__dict__, "EVENT": "Change"})
        assert quorvel.on("Open")(ab12) is ab12
        assert ab12.__quorvel_events__ == [{"event": "Open", "sheet": None}]

    @pytest.mark.parametrize("event, parameters, problem", [
        ("Change", "address", None), ("Change", "*args", None), ("Open", "", None),
        ("Open", "x=1", None), ("Change", "", "takes 0"), ("Open", "a, b", "takes 2"),
        ("Calculate", "a, b, *c", "at least 2"),
    ])
    def test_arity(self, event, parameters, problem):
        signature = module_functions(f"def f({parameters}): pass")["f"]
        found = arity_problem(event, signature)
        assert (found is None) if problem is None else (problem in found)
