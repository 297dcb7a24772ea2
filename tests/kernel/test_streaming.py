"""Streaming generator functions: items one by one, cancellation, and the module-sync wait."""
import asyncio
import json
import logging
import textwrap
import time

import pytest

from python_server import kernel as kernel_module

from ..conftest import messages_of

WB = "Book1.xlsx"
GENERATORS = textwrap.dedent("""\
    import time

    def three(prefix):
        for i in range(3):
            print("making", i)
            yield f"{prefix}{i}"

    def nothing():
        return
        yield

    def slow_fourth():
        for i in range(3):
            yield i
        time.sleep(0.5)
        yield 3
        yield 4

    def plain():
        return [1, 2]

    def breaks():
        yield 1
        raise ValueError("generator broke")

    def many(n):
        for i in range(n):
            yield i

    def endless():
        while True:
            time.sleep(0.01)
            yield 1

    def plain_call(x):
        return x + 1
""")


def start(function, args=(), request_id="s1", module="gens"):
    return {"type": "execute_streaming_function", "request_id": request_id,
            "module_name": module, "function_name": function, "args": list(args),
            "workbook_id": WB, "source": "addin"}


def items(messages):
    return [m for m in messages if m["type"] == "streaming_function_result"]


async def until_done(running, timeout=30):
    messages = []
    while True:
        message = await running.receive(timeout)
        messages.append(message)
        if message["type"] == "streaming_function_result" and message["done"]:
            return messages


@pytest.fixture
async def gens(running, workbook_modules):
    workbook_modules.append("gens")
    await running.sync_module("gens", GENERATORS)
    return running


class TestStreams:
    async def test_items_in_order_then_the_end(self, gens):
        await gens.send(start("three", ["x"]))
        messages = await until_done(gens)
        assert items(messages) == [
            {"type": "streaming_function_result", "request_id": "s1", "result": "x0",
             "done": False, "workbook_id": WB},
            {"type": "streaming_function_result", "request_id": "s1", "result": "x1",
             "done": False, "workbook_id": WB},
            {"type": "streaming_function_result", "request_id": "s1", "result": "x2",
             "done": False, "workbook_id": WB},
            {"type": "streaming_function_result", "request_id": "s1", "done": True,
             "workbook_id": WB},
        ]
        # What the generator printed before each yield precedes that item.
        transcript = "".join(m["content"] if m["type"] == "stdout" else f"[{m.get('result')}]"
                             for m in messages)
        assert transcript == "making 0\n[x0]making 1\n[x1]making 2\n[x2][None]"

    async def test_an_empty_generator_sends_only_the_end(self, gens):
        await gens.send(start("nothing"))
        assert items(await until_done(gens)) == [
            {"type": "streaming_function_result", "request_id": "s1", "done": True,
             "workbook_id": WB}]

    async def test_cancel_takes_effect_at_the_next_yield(self, gens):
        await gens.send(start("slow_fourth"))
        first = [await gens.receive() for _ in range(3)]
        assert [m["result"] for m in first] == [0, 1, 2]
        await gens.send({"type": "cancel_streaming_function", "request_id": "s1"})
        assert await gens.receive() == {"type": "streaming_function_result", "request_id": "s1",
                                        "result": "Canceled", "done": True, "workbook_id": WB}
        await gens.roundtrip({"type": "delete_module", "module_name": "x"}, "module_deleted")
        assert gens.kernel._canceled_streaming_requests == set()

    @pytest.mark.parametrize("function, error", [
        ("plain", "Function plain is not a generator function"),
        ("absent", "Function not found: absent"),
    ])
    async def test_wrong_targets(self, gens, function, error):
        await gens.send(start(function))
        assert items(await until_done(gens)) == [
            {"type": "streaming_function_result", "request_id": "s1", "error": error,
             "done": True, "workbook_id": WB}]

    async def test_an_exception_streams_its_traceback_then_ends(self, gens):
        await gens.send(start("breaks"))
        messages = await until_done(gens)
        assert [m["result"] for m in items(messages)[:-1]] == [1]
        assert items(messages)[-1]["error"] == "generator broke"
        stderr = "".join(m["content"] for m in messages if m["type"] == "stderr")
        assert "ValueError: generator broke" in stderr

    async def test_a_thousand_items(self, gens):
        await gens.send(start("many", [1000]))
        messages = await until_done(gens, timeout=60)
        assert [m["result"] for m in messages[:-1]] == list(range(1000))


    async def test_streams_running_for_good_leave_the_workers_to_other_calls(self, gens):
        count = 25  # more than the worker pool's threads
        for n in range(count):
            await gens.send(start("endless", request_id=f"e{n}"))
        started = set()
        while len(started) < count:
            message = await gens.receive(30)
            if message["type"] == "streaming_function_result":
                started.add(message["request_id"])
        await gens.send({"type": "custom_function_call", "module_name": "gens",
                         "function_name": "plain_call", "args": [41], "request_id": "c1",
                         "workbook_id": WB})
        while True:
            message = await gens.receive(10)
            if message["type"] == "function_execution_result":
                assert message["status"] == "success" and message["result"] == 42, message
                break
        for n in range(count):
            await gens.send({"type": "cancel_streaming_function", "request_id": f"e{n}"})
        ended = set()
        while len(ended) < count:
            message = await gens.receive(30)
            if message["type"] == "streaming_function_result" and message["done"]:
                assert message["result"] == "Canceled"
                ended.add(message["request_id"])


class TestModuleSync:
    async def test_a_module_arriving_meanwhile_is_used(self, running, workbook_modules):
        workbook_modules.append("late")
        await running.send(start("three", ["y"], module="late"))
        assert await running.receive() == {"type": "request_module_sync", "module_name": "late",
                                           "workbook_id": WB}
        await asyncio.sleep(0.3)
        await running.send({"type": "update_module", "module_name": "late", "code": GENERATORS})
        messages = await until_done(running)
        assert messages[0] == {"type": "module_updated", "module_name": "late"}
        assert [m.get("result") for m in items(messages)] == ["y0", "y1", "y2", None]

    async def test_a_module_that_never_comes(self, kernel_log, running):
        started = time.monotonic()
        await running.send(start("three", module="never"))
        await running.expect("request_module_sync")
        final = await running.receive(timeout=10)
        assert 4.5 < time.monotonic() - started < 8
        assert final == {"type": "streaming_function_result", "request_id": "s1",
                         "error": "Module 'never' not found after sync attempt", "done": True,
                         "workbook_id": WB}
        assert "[Kernel] Module 'never' not found after sync attempt" in \
            messages_of(kernel_log, logging.ERROR)


class TestCancelsAreKeptOnlyForOpenStreams:
    async def test_a_cancel_for_no_open_stream_is_forgotten(self, kernel_log, gens):
        await gens.send({"type": "cancel_streaming_function", "request_id": "never"})
        await gens.roundtrip({"type": "delete_module", "module_name": "x"}, "module_deleted")
        assert gens.kernel._canceled_streaming_requests == set()
        assert ("[Kernel] Ignored cancel_streaming_function for request_id never: no stream with "
                "that id is running or announced") in messages_of(kernel_log, logging.WARNING)

    async def test_a_cancel_read_right_behind_its_start_is_honoured(self, gens):
        await gens.session.send_raw(json.dumps(start("slow_fourth")))
        await gens.session.send_raw(json.dumps({"type": "cancel_streaming_function",
                                                "request_id": "s1"}))
        assert items(await until_done(gens)) == [
            {"type": "streaming_function_result", "request_id": "s1", "result": "Canceled",
             "done": True, "workbook_id": WB}]

    async def test_pending_cancels_are_bounded_and_end_with_their_streams(self, kernel_log,
                                                                         running):
        limit = kernel_module.MAX_PENDING_CANCELS
        for n in range(limit + 1):  # each waits for a module that never comes
            await running.send(start("three", module="never", request_id=f"w{n}"))
        for n in range(limit + 1):
            await running.send({"type": "cancel_streaming_function", "request_id": f"w{n}"})
        await running.send({"type": "delete_module", "module_name": "x"})
        await running.collect(("module_deleted",))
        assert len(running.kernel._canceled_streaming_requests) == limit
        assert (f"[Kernel] Ignored cancel_streaming_function for request_id w{limit}: {limit} "
                "cancels are pending already") in messages_of(kernel_log, logging.WARNING)
        finals = 0
        while finals < limit + 1:
            message = await running.receive(timeout=30)
            finals += message["type"] == "streaming_function_result"
        assert running.kernel._canceled_streaming_requests == set()
