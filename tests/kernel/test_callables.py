"""Registered Python callables invoked from the spreadsheet by id."""
import pytest

from python_server import quorvel

WB = "Book1.xlsx"
FINAL = ("python_function_result",)


@pytest.fixture
def registered():
    ids = []

    def register(obj):
        ids.append(quorvel.messaging.register_callable(obj))
        return ids[-1]

    yield register
    for callable_id in ids:
        quorvel.messaging.unregister_callable(callable_id)


def invoke(callable_id, args=(), request_id="p"):
    return {"type": "python_function_call", "callable_id": callable_id, "args": list(args),
            "request_id": request_id, "workbook_id": WB}


class TestInvocation:
    async def test_success_with_output_in_write_order(self, running, registered):
        import sys

        def scaled(x):
            sys.stderr.write("warn ")
            sys.stdout.write("info ")
            return x * 3

        await running.send(invoke(registered(scaled), [4]))
        messages = await running.collect(FINAL)
        assert [(m["type"], m.get("content")) for m in messages[:2]] == [("stderr", "warn "),
                                                                          ("stdout", "info ")]
        assert messages[0]["source"] == "addin"
        assert messages[2] == {"type": "result_output", "content": "Out: 12\n",
                               "request_id": "p", "workbook_id": WB}
        assert messages[3] == {"type": "python_function_result", "success": True, "result": 12,
                               "logs": "info warn ", "request_id": "p", "workbook_id": WB}

    async def test_none_gives_no_result_output(self, running, registered):
        await running.send(invoke(registered(lambda: None)))
        assert await running.collect(FINAL) == [
            {"type": "python_function_result", "success": True, "result": None, "logs": "",
             "request_id": "p", "workbook_id": WB}]


class TestFailures:
    async def test_missing_id_is_a_validation_error(self, running):
        await running.send({"type": "python_function_call", "request_id": "v"})
        assert await running.receive() == {
            "type": "python_function_result", "success": False,
            "error": {"type": "ValidationError", "message": "Missing callable_id", "traceback": ""},
            "request_id": "v", "workbook_id": None}

    async def test_a_raising_callable_streams_its_traceback_once(self, running, registered):
        def broken():
            raise KeyError("missing")

        await running.send(invoke(registered(broken)))
        messages = await running.collect(FINAL)
        streamed = "".join(m["content"] for m in messages if m["type"] == "stderr")
        reply = messages[-1]
        assert reply["success"] is False and streamed == reply["logs"]
        assert streamed.count("KeyError: 'missing'") == 1
        assert reply["error"].endswith("KeyError: 'missing'\n")

    @pytest.mark.parametrize("target, text", [
        ("unregistered", "ValueError: Callable 'unregistered' not found in registry"),
        ("not-callable", "TypeError: Object with id 'not-callable' is not callable"),
    ])
    async def test_lookup_failures_print_nothing(self, running, monkeypatch, target, text):
        # The registry refuses non-callables; a registry holding one anyway must not crash us.
        registry = {"not-callable": 42}
        monkeypatch.setattr(quorvel.messaging, "get_callable", registry.get)
        callable_id = target
        await running.send(invoke(callable_id))
        messages = await running.collect(FINAL)
        assert [m["type"] for m in messages] == ["python_function_result"]
        assert text in messages[0]["error"] and messages[0]["logs"] == ""

    async def test_an_unsendable_result_fails_the_call(self, running, registered):
        await running.send(invoke(registered(lambda: {1, 2})))
        reply = (await running.collect(FINAL))[-1]
        assert reply["success"] is False and "TypeError" in reply["error"]
