"""Code cells as the hub sees them: results, output, errors, and the namespace across cells."""
import logging

import pytest

from python_server import kernel as kernel_module
from python_server import quorvel

from ..conftest import messages_of

WB = "Book1.xlsx"


def types(messages):
    return [m["type"] for m in messages]


class TestResultShapes:
    async def test_expression_without_function_name_answers_its_repr(self, running):
        messages = await running.run_cell("1 + 1", request_id="r1")
        assert messages == [
            {"type": "result_output", "content": "Out: 2\n", "request_id": "r1",
             "workbook_id": WB, "source": "ide"},
            {"type": "execution_result", "success": True, "result": "2", "request_id": "r1",
             "function_name": None, "workbook_id": WB, "source": "ide"},
        ]
        assert list(messages[1]) == ["type", "success", "result", "request_id", "function_name",
                                     "workbook_id", "source"]

    async def test_expression_with_function_name_answers_the_raw_value(self, running):
        messages = await running.run_cell("[1, 'a']", request_id="r2", function_name="f",
                                          source="addin")
        assert messages[0]["content"] == "Out: [1, 'a']\n"
        assert messages[1]["result"] == [1, "a"]
        assert (messages[1]["function_name"], messages[1]["source"]) == ("f", "addin")

    async def test_print_is_an_expression_without_value(self, running):
        messages = await running.run_cell("print('hello')", request_id="p")
        assert [(m["type"], m.get("content")) for m in messages] == [
            ("stdout", "hello"), ("stdout", "\n"), ("execution_result", None)]
        assert messages[0] == {"type": "stdout", "content": "hello", "request_id": "p",
                               "workbook_id": WB, "source": "ide"}
        assert messages[-1]["result"] is None

    async def test_missing_request_id_is_echoed_as_null(self, running):
        messages = await running.run_cell("3")
        assert all(m["request_id"] is None for m in messages)

    async def test_empty_cell_succeeds_without_value(self, running):
        assert types(await running.run_cell("")) == ["execution_result"]


class TestSemicolonRules:
    async def test_head_executed_tail_evaluated(self, running):
        messages = await running.run_cell("x = 5; x * 2")
        assert messages[0]["content"] == "Out: 10\n"
        assert messages[1]["result"] == "10"

    async def test_a_tail_that_is_no_expression_is_executed(self, running):
        messages = await running.run_cell("a = 1; b = 2; a + b")
        assert types(messages) == ["execution_result"]
        assert running.kernel.executor.locals["b"] == 2

    @pytest.mark.parametrize("cell, expected", [
        ('s = "a; b"\nprint(s)', "a; b\n"),                         # inside a string
        ("def f():\n    t = [1]; return t\nprint(f())", "[1]\n"),   # inside a body
        ("if False: print('no'); print('never')\nprint('yes')", "yes\n"),  # after "if x:"
    ])
    def test_a_semicolon_inside_a_statement_does_not_cut_the_cell(self, cell, expected):
        record = kernel_module.CodeExecutor().execute(cell)
        assert (record["success"], record["stdout"]) == (True, expected), record["error"]

    def test_a_cell_that_does_not_parse_runs_nothing(self):
        executor = kernel_module.CodeExecutor()
        record = executor.execute("ran = 1; y = (")
        assert record["error"]["type"] == "SyntaxError" and "ran" not in executor.locals

    async def test_multiline_cell_ending_in_an_expression_shows_nothing(self, running):
        assert types(await running.run_cell("y = 3\ny + 1")) == ["execution_result"]


class TestErrors:
    async def test_syntax_error_is_an_execution_error(self, running):
        [error] = await running.run_cell("y =", request_id="e", function_name="g")
        assert list(error) == ["type", "success", "error", "request_id", "function_name",
                               "workbook_id", "source"]
        assert error["success"] is False and error["function_name"] == "g"
        assert error["error"]["type"] == "SyntaxError"
        assert "SyntaxError" in error["error"]["traceback"]

    async def test_runtime_error_keeps_output_written_before_it(self, running):
        messages = await running.run_cell("print('before')\nraise KeyError('k')")
        assert types(messages) == ["stdout", "stdout", "execution_error"]
        error = messages[-1]["error"]
        assert (error["type"], error["message"]) == ("KeyError", "'k'")
        assert error["traceback"].startswith("Traceback (most recent call last):")

    async def test_exit_in_a_cell_is_reported_and_the_kernel_goes_on(self, running):
        [error] = await running.run_cell("exit(3)")
        assert error["error"]["type"] == "SystemExit"
        assert (await running.run_cell("40 + 2"))[-1]["result"] == "42"

    async def test_a_result_that_cannot_be_sent_gives_the_short_error(self, kernel_log, running):
        messages = await running.run_cell("object()", request_id="u", function_name="f")
        assert types(messages) == ["result_output", "execution_error"]
        error = messages[-1]
        assert list(error) == ["type", "success", "error", "request_id", "source"]
        assert error["error"]["type"] in ("TypeError", "JSONEncodeError")
        errors = messages_of(kernel_log, logging.ERROR)
        assert any(e.startswith("[TIMING] Execution failed: request_id=u, elapsed=")
                   for e in errors)
        assert any(e.startswith("[Kernel] Unexpected error in _execute_code_async: ")
                   for e in errors)


class TestNamespace:
    async def test_names_persist_until_reset(self, running):
        await running.run_cell("counter = 41")
        assert (await running.run_cell("counter + 1"))[-1]["result"] == "42"
        assert await running.roundtrip({"type": "reset_namespace"}, "namespace_reset") == {
            "type": "namespace_reset"}
        [error] = await running.run_cell("counter")
        assert error["error"]["type"] == "NameError"
        result = await running.run_cell("(quorvel.__name__, excel is quorvel.excel, "
                                        "context is quorvel.context)")
        assert result[-1]["result"] == "('python_server.quorvel', True, True)"

    def test_globals_hold_exactly_the_bridge(self):
        executor = kernel_module.CodeExecutor()
        assert set(executor.globals) == {"__builtins__", "quorvel", "excel", "context"}
        assert executor.globals["excel"] is quorvel.excel and executor.locals == {}

    def test_functions_see_globals_not_cell_names(self):
        executor = kernel_module.CodeExecutor()
        executor.execute("def f():\n    return y\n")
        record = executor.execute("y = 1; f()")
        assert record["error"]["type"] == "NameError"


class TestExecutorOnItsOwn:
    def test_record_and_captures_without_kernel_hooks(self, capsys):
        import sys
        stdout_before = sys.stdout
        written = []
        executor = kernel_module.CodeExecutor()
        record = executor.execute("import sys\nprint('out')\nprint('err', file=sys.stderr)",
                                  stdout_callback=written.append)
        assert list(record) == ["success", "stdout", "stderr", "error", "result"]
        assert (record["stdout"], record["stderr"]) == ("out\n", "err\n")
        assert written == ["out", "\n"]
        assert sys.stdout is stdout_before
        assert capsys.readouterr().out == ""

    def test_a_failing_callback_never_interrupts_the_code(self):
        def broken(text):
            raise OSError("callback down")

        record = kernel_module.CodeExecutor().execute("print('a'); 7", stdout_callback=broken)
        assert (record["success"], record["result"], record["stdout"]) == (True, 7, "a\n")


class TestTracebackHelpers:
    def test_extract_tracebak_string(self):
        try:
            raise ValueError("boom")
        except ValueError as e:
            text = kernel_module.extract_tracebak_string(e)
        assert (text.startswith("Traceback (most recent call last):")
                and text.endswith("ValueError: boom\n"))

    def test_parse_error_location(self):
        trace = ('File "<virtual:main>", line 3, in f\n  File "<virtual:main>", line 7, in g\n')
        assert kernel_module._parse_error_location(trace, set()) == {
            "module": "main", "line": 7, "file": "<virtual:main>"}
        other = 'File "/tmp/analysis_helpers.py", line 12, in h\n'
        assert kernel_module._parse_error_location(other, {"analysis"}) == {
            "module": "analysis", "line": 12, "file": "<virtual:analysis>"}
        assert kernel_module._parse_error_location("nothing here", {"x"}) == {}
