"""Frames a broken or hostile hub may send: each is refused or answered, and the kernel reads on."""
import logging

import pytest

from python_server import kernel as kernel_module

from ..conftest import KERNEL_LOGGER, messages_of
from .conftest import start_kernel


async def answers_until_probe(running, frame, timeout=15):
    """Sends `frame`, then the cell 1+1: the messages that came before the cell's result."""
    send = running.session.send_raw if isinstance(frame, (str, bytes)) else running.send
    await send(frame)
    await running.send({"type": "execution_request", "code": "1+1", "request_id": "probe"})
    before = []
    while True:
        message = await running.receive(timeout)
        if message.get("request_id") == "probe" and message["type"] == "execution_result":
            assert message["result"] == "2"
            return before
        if message.get("request_id") != "probe":
            before.append(message)


def refusal(text):
    return [{"type": "error", "message": text}]


class TestNoSingleFrameEndsTheKernel:
    @pytest.mark.parametrize("frame, answers", [
        (b"\xff\xfe{}", refusal("Invalid frame: binary data that is not UTF-8 text")),
        (b'{"type": "reset_namespace"}', [{"type": "namespace_reset"}]),
        ("[1, 2]", refusal("Invalid message: a JSON object is required, not list")),
        ('"text"', refusal("Invalid message: a JSON object is required, not str")),
        ("null", refusal("Invalid message: a JSON object is required, not NoneType")),
        ("[" * 1000 + "]" * 1000, None),
        ('{"n": ' + "7" * 4301 + "}", None),
        ('{"type": "sys_response", "payload": "x"}', refusal(
            "Failed to handle message type 'sys_response': AttributeError: "
            "'str' object has no attribute 'get'")),
        ('{"type": "cancel_streaming_function", "request_id": []}', []),
        ('{"type": "\\ud800"}', []),
        ('{"type": "chunk", "chunk_id": "c", "chunk_index": 0, "total_chunks": 1, "data": 5}',
         []),
        ('{"type": "chunk", "chunk_id": "c", "chunk_index": 0, "total_chunks": 1, '
         '"data": "[1]"}', []),
        ('{"type": "delete_module", "module_name": {"a": 1}, "request_id": "d"}', None),
    ])
    async def test_the_frame_is_refused_or_answered_and_reading_goes_on(self, running, frame,
                                                                       answers):
        got = await answers_until_probe(running, frame)
        if answers is None:  # refused, in the parser's or the handler's own words
            # (Python 3.12 parses 1,000 nested lists, which 3.11 finds too deep: a list, then.)
            assert [m["type"] for m in got] == ["error"]
            assert got[0]["message"].startswith(("Invalid JSON received: ",
                                                 "Invalid message: a JSON object is required",
                                                 "Failed to handle message type "))
        else:
            assert got == answers
        assert not running.task.done()

    @pytest.mark.parametrize("megabytes", [5, 10, 50])
    async def test_a_frame_far_beyond_the_message_limit_is_refused(self, running, megabytes):
        got = await answers_until_probe(running, "x" * (megabytes * 1024 * 1024), timeout=60)
        assert got == refusal("Message too large")

    async def test_a_refused_request_is_answered_with_its_id_and_logged_with_its_type(
            self, kernel_log, running):
        got = await answers_until_probe(
            running, {"type": "update_module", "module_name": ["m"], "request_id": "u1"})
        assert got == [{"type": "error", "request_id": "u1", "message":
                        "Failed to handle message type 'update_module': TypeError: "
                        "module_name must be str, not list"}]
        assert ("[Kernel] Failed to handle message type update_module: TypeError: module_name "
                "must be str, not list") in messages_of(kernel_log, logging.ERROR)

    async def test_a_module_name_with_a_lone_surrogate(self, running):
        got = await answers_until_probe(
            running, '{"type": "update_module", "module_name": "m\\udc80", "code": "x = 1"}')
        assert got == [{"type": "module_updated", "module_name": "m\udc80"}]
        kernel_module.in_memory_loader.delete_module("m\udc80")


class TestEveryRequestGetsItsReply:
    @pytest.mark.parametrize("request_id", [2**64, "\udc80", -(2**63) - 1])
    async def test_an_id_the_fast_serialiser_refuses_is_echoed(self, running, request_id):
        got = await answers_until_probe(running, {"type": "execution_request", "code": "1+2",
                                                  "request_id": request_id})
        assert [(m["type"], m["request_id"]) for m in got] == [
            ("result_output", request_id), ("execution_result", request_id)]

    async def test_an_id_too_deep_for_any_serialiser_goes_out_as_its_repr(self, caplog, running):
        caplog.set_level(logging.ERROR, logger=KERNEL_LOGGER)  # str() of it fails as well
        deep = []
        for _ in range(100_000):  # beyond what json takes on any Python (3.13 takes 5,000)
            deep = [deep]
        await running.kernel.send_message({"type": "error", "message": "m", "request_id": deep})
        assert await running.receive() == {"type": "error", "message": "m",
                                           "request_id": "[[[[[[[...]]]]]]]"}
        assert any(line.startswith("[Kernel] Message type 'error' could not be serialised (")
                   and line.endswith("); sent with repr text for: request_id")
                   for line in messages_of(caplog, logging.ERROR))

    async def test_a_formula_call_with_a_huge_workbook_id(self, running):
        await running.send({"type": "custom_function_call", "module_name": "nowhere",
                            "function_name": "f", "request_id": "c1", "workbook_id": 2**64})
        final = (await running.collect(("function_execution_result",)))[-1]
        assert final["request_id"] == "c1" and final["status"] == "error"

    @pytest.mark.parametrize("field, value, error", [
        ("module_name", ["m"], "module_name must be a string, not list"),
        ("function_name", 3, "function_name must be a string, not int"),
        ("args", {"a": 1}, "args must be a list, not dict"),
    ])
    async def test_a_stream_with_a_wrong_field_ends_at_once(self, running, field, value, error):
        request = {"type": "execute_streaming_function", "request_id": "s1",
                   "module_name": "m", "function_name": "f", "args": [], field: value}
        got = await answers_until_probe(running, request)
        assert got == [{"type": "streaming_function_result", "request_id": "s1", "error": error,
                        "done": True, "workbook_id": running.kernel.workbook_id}]

    async def test_a_handler_task_that_fails_still_answers(self, kernel_log, hub):
        class Broken(kernel_module.PythonKernel):
            async def _handle_python_function_call(self, message):
                raise RuntimeError("handler broke")

        running = await start_kernel(hub, kernel_class=Broken)
        got = await answers_until_probe(running, {"type": "python_function_call",
                                                  "callable_id": "x", "request_id": "p1"})
        assert got == [{"type": "error", "request_id": "p1", "message":
                        "Failed to handle message type 'python_function_call': RuntimeError: "
                        "handler broke"}]
        await running.send({"type": "shutdown"})
        await running.finished()
