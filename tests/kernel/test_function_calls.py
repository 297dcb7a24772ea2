"""Custom function calls from formulas and the IDE's Run, as the hub sees their replies."""
import logging
import textwrap

import pytest

from python_server import kernel as kernel_module

from ..conftest import messages_of

WB = "Book1.xlsx"
MODULE = textwrap.dedent("""\
    import datetime

    def add(a, b):
        print("adding")
        return a + b

    def nothing():
        pass

    def year_after(day):
        return datetime.datetime(day.year + 1, day.month, day.day, 12, 30)

    def items(n):
        for i in range(n):
            yield i * 10

    def fails():
        raise ValueError("bad input")

    def unsendable():
        return {"a": 1}

    def slow(tag, delay):
        import time
        time.sleep(delay)
        print(tag)
        return tag
""")

FINAL = ("function_execution_result",)


def call(function, args=(), request_id="r", module="calc", **extra):
    return {"type": "custom_function_call", "module_name": module, "function_name": function,
            "args": list(args), "request_id": request_id, "workbook_id": WB, **extra}


@pytest.fixture
async def calc(running, workbook_modules):
    workbook_modules.append("calc")
    await running.sync_module("calc", MODULE)
    return running


class TestSuccess:
    async def test_replies_in_order_with_output_and_logs(self, calc):
        await calc.send(call("add", [2, 3]))
        messages = await calc.collect(FINAL)
        assert [m["type"] for m in messages] == ["stdout", "stdout", "result_output",
                                                 "execution_result", "function_execution_result"]
        assert messages[0] == {"type": "stdout", "content": "adding", "request_id": "r",
                               "workbook_id": WB, "source": "addin"}
        assert messages[2] == {"type": "result_output", "content": "Out: 5\n", "request_id": "r",
                               "workbook_id": WB, "source": "addin"}
        assert messages[3] == {"type": "execution_result", "success": True, "result": 5,
                               "logs": "adding\n", "request_id": "r", "module_name": "calc",
                               "function_name": "add", "workbook_id": WB, "source": "addin"}
        assert list(messages[3]) == list(messages[3].keys())  # as sent
        assert messages[4] == {"type": "function_execution_result", "request_id": "r",
                               "status": "success", "result": 5, "logs": "adding\n"}

    async def test_wire_values_both_ways(self, calc):
        await calc.send(call("year_after", [{"__type__": "date", "value": "2024-02-28"}]))
        result = (await calc.collect(FINAL))[-1]["result"]
        assert result == {"__type__": "datetime", "value": "2025-02-28T12:30:00"}

    async def test_none_gives_no_result_output(self, calc):
        await calc.send(call("nothing"))
        messages = await calc.collect(FINAL)
        assert [m["type"] for m in messages] == ["execution_result", "function_execution_result"]
        assert messages[0]["result"] is None and messages[1]["result"] is None

    async def test_a_generator_is_consumed(self, calc):
        await calc.send(call("items", [3]))
        messages = await calc.collect(FINAL)
        assert messages[0]["content"].startswith("Out: <generator object items at ")
        assert messages[-1]["result"] == [0, 10, 20]

    async def test_updated_module_is_run_anew(self, calc):
        await calc.sync_module("calc", "def add(a, b):\n    return a * b\n")
        await calc.send(call("add", [2, 3]))
        assert (await calc.collect(FINAL))[-1]["result"] == 6

    async def test_a_module_from_disk(self, calc):
        await calc.send(call("dumps", [[1, "x"]], module="json"))
        assert (await calc.collect(FINAL))[-1]["result"] == '[1, "x"]'

    async def test_ten_calls_at_once_get_their_own_replies(self, calc):
        for n in range(10):
            await calc.send(call("slow", [f"t{n}", 0.05 * (10 - n)], request_id=f"q{n}"))
        finals, outputs = {}, {}
        while len(finals) < 10:
            message = await calc.receive()
            if message["type"] == "function_execution_result":
                finals[message["request_id"]] = message["result"]
            elif message["type"] == "stdout":
                outputs.setdefault(message["request_id"], "")
                outputs[message["request_id"]] += message["content"]
        assert finals == {f"q{n}": f"t{n}" for n in range(10)}
        assert outputs == {f"q{n}": f"t{n}\n" for n in range(10)}


class TestFailures:
    @pytest.mark.parametrize("message, text", [
        ({"function_name": "add"}, "Missing module_name"),
        ({"module_name": "calc"}, "Missing function_name"),
    ])
    async def test_validation_sends_both_error_messages(self, calc, message, text):
        await calc.send({"type": "custom_function_call", "request_id": "v", **message})
        general, reply = await calc.collect(FINAL)
        error = {"type": "ValidationError", "message": text, "traceback": ""}
        assert general == {"type": "execution_error", "success": False, "error": error,
                           "request_id": "v", "module_name": message.get("module_name", ""),
                           "function_name": message.get("function_name", ""),
                           "workbook_id": None, "source": "addin"}
        assert reply == {"type": "function_execution_result", "request_id": "v",
                         "status": "error", "error": error}

    @pytest.mark.parametrize("function, args, module, expected", [
        ("fails", [], "calc", "ValueError: bad input"),
        ("nope", [], "calc", "AttributeError: Function 'nope' not found in module 'calc'"),
        ("add", [], "no_such_module", "ModuleNotFoundError"),
        ("unsendable", [], "calc", "TypeError"),
        ("add", [{"__type__": "bogus", "value": 1}], "calc", "Error"),
    ])
    async def test_worker_failures_reach_the_formula(self, kernel_log, calc, function, args,
                                                      module, expected):
        await calc.send(call(function, args, module=module))
        messages = await calc.collect(FINAL)
        general, reply = messages[-2:]
        streamed = "".join(m["content"] for m in messages if m["type"] == "stderr")
        assert general["type"] == "execution_error" and general["success"] is False
        assert expected in general["error"] and general["error"] in general["logs"]
        assert streamed == general["logs"]  # the traceback was streamed as it was captured
        assert reply == {"type": "function_execution_result", "request_id": "r",
                         "status": "error", "result": None, "logs": general["logs"],
                         "error": general["error"]}
        assert f"[Kernel] Custom function call failed: {module}.{function}" in \
            messages_of(kernel_log, logging.ERROR)

    async def test_a_module_name_is_never_executed_as_code(self, calc):
        import builtins
        await calc.send(call("dumps", module="json; import builtins; builtins.INJECTED = 1"))
        general = (await calc.collect(FINAL))[-2]
        assert "ModuleNotFoundError" in general["error"]
        assert not hasattr(builtins, "INJECTED")


class TestDeserializeArgs:
    def test_plain_lists_only(self):
        kernel = kernel_module.PythonKernel("wb")
        assert kernel._deserialize_args([]) == []
        assert kernel._deserialize_args(
            [1, [[2]], {"__type__": "date", "value": "2020-01-02"}])[2].day == 2
        for bad in (None, (1,), type("L", (list,), {})([1])):
            with pytest.raises(TypeError):
                kernel._deserialize_args(bad)


class TestRunModule:
    async def test_without_debug_the_replies_are_a_custom_calls(self, calc):
        await calc.send(call("add", [1, 1], source="ide"))
        as_call = await calc.collect(FINAL)
        await calc.send({"type": "run_module", "module_name": "calc", "function_name": "add",
                         "args": [1, 1], "request_id": "r", "workbook_id": WB})
        assert await calc.collect(FINAL) == as_call
