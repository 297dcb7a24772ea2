"""Debug runs as the IDE sees them through the hub: pauses, steps, evaluation, and how sessions
end (finishing, failing, stopped, replaced, or cut off by a disconnect)."""
import asyncio
import logging
import os
import textwrap
import threading

import pytest

from python_server import kernel as kernel_module

from ..conftest import messages_of

WB = "Book1.xlsx"
TIMEOUT = 20 * float(os.environ.get("QUORVEL_TESTS_TIMEOUT_FACTOR", "1"))
MODULE = textwrap.dedent("""\
    def add(a, b):
        result = a + b
        return result

    def nothing():
        pass

    def words():
        yield "a"
        yield "b"

    def helper(x):
        doubled = x * 2
        return doubled

    def caller(n):
        # where the caller starts
        first = helper(n)
        second = helper(first)
        return first + second

    def fails(n):
        value = n * 3
        raise ValueError("bad value")

    def looped(n):
        total = 0
        for i in range(n):
            total += i
        return total

    def forever():
        count = 0
        while True:
            count += 1

    def guarded(flag):
        try:
            return looped(3)
        finally:
            flag.set()
""")


def line_of(text):
    return next(n for n, line in enumerate(MODULE.splitlines(), 1) if line.strip() == text)


def run(function, args=(), breakpoints=(), request_id="d1"):
    return {"type": "run_module", "module_name": "dbg", "function_name": function,
            "args": list(args), "debug": True, "breakpoints": list(breakpoints),
            "request_id": request_id, "workbook_id": WB}


def at(text, **fields):
    return {"module_name": "dbg", "line": line_of(text), **fields}


class Debugging:
    """A kernel with the module synced, driven as the IDE drives a debug session."""

    def __init__(self, running):
        self.running = running

    async def send(self, message_type, **fields):
        await self.running.send({"type": message_type, **fields})

    async def collect(self, *last_types):
        return await self.running.collect(last_types, timeout=TIMEOUT)

    async def paused(self):
        return (await self.collect("debug_paused"))[-1]

    async def evaluate(self, expression, request_id="e1"):
        await self.send("debug_evaluate", expression=expression, request_id=request_id)
        return (await self.collect("debug_evaluate_result"))[-1]

    async def nothing_sent(self):
        """Proves nothing is queued: invalid JSON's reply must be the next message."""
        await self.running.session.send_raw("{")
        assert (await self.running.receive(TIMEOUT))["type"] == "error"


@pytest.fixture
async def debugging(running, workbook_modules):
    workbook_modules.append("dbg")
    await running.sync_module("dbg", MODULE)
    return Debugging(running)


def types(messages):
    return [m["type"] for m in messages]


class TestRunsWithoutStops:
    @pytest.mark.parametrize("function, args, shown", [("add", [2, 3], "5"),
                                                       ("nothing", [], "None")])
    async def test_a_function_ends_with_its_value_and_debug_terminated(
            self, debugging, function, args, shown):
        await debugging.running.send(run(function, args))
        assert await debugging.collect("debug_terminated") == [
            {"type": "result_output", "content": f"Out: {shown}\n", "request_id": "d1",
             "workbook_id": WB, "source": "ide"},
            {"type": "debug_terminated", "request_id": "d1", "workbook_id": WB}]

    async def test_a_generator_announces_each_item_then_the_count(self, debugging):
        await debugging.running.send(run("words"))
        messages = await debugging.collect("debug_terminated")
        assert [m.get("content") for m in messages] == [
            "Yield [1]: 'a'\n", "Yield [2]: 'b'\n", "Out: Generator completed with 2 yields\n",
            None]

    async def test_a_missing_function_is_a_debug_exception_at_line_1(self, debugging):
        await debugging.running.send(run("absent"))
        exception, end = await debugging.collect("debug_terminated")
        assert exception == {
            "type": "debug_exception", "workbook_id": WB, "module": "dbg", "line": 1, "file": "",
            "exception_type": "AttributeError",
            "exception_message": "Function 'absent' not found in module 'dbg'",
            "exception_traceback": exception["exception_traceback"],
            "locals": [], "globals": [], "call_stack": []}
        assert end == {"type": "debug_terminated", "request_id": "d1", "workbook_id": WB}

    async def test_fields_of_the_wrong_type_are_refused_with_a_reply(self, debugging):
        await debugging.running.send({**run("add"), "args": {"a": 1}})
        (reply,) = await debugging.collect("execution_error")
        assert reply["error"]["type"] == "TypeError"
        assert "'args' must be a list or null, not dict" in reply["error"]["message"]
        assert not debugging.running.kernel.has_active_debugger()


class TestPausing:
    async def test_a_breakpoint_pause_says_where_it_stopped_and_what_is_there(self, debugging):
        # The comment line has no code: the breakpoint moves to the next line.
        await debugging.running.send(run("caller", [4], [at("# where the caller starts")]))
        pause = await debugging.paused()
        assert list(pause)[:6] == ["type", "workbook_id", "module_name", "line", "file", "reason"]
        assert pause["workbook_id"] == WB and pause["module_name"] == "dbg"
        assert pause["file"] == "<virtual:dbg>" and pause["reason"] == "breakpoint"
        assert pause["line"] == line_of("first = helper(n)")
        assert pause["requested_line"] == line_of("# where the caller starts")
        assert pause["call_stack"] == [{"module": "dbg", "function": "caller",
                                        "line": pause["line"], "file": "<virtual:dbg>"}]
        assert pause["locals"] == [{"name": "n", "type": "int", "value": "4"}]
        assert {"name": "helper", "type": "function"}.items() <= next(
            v for v in pause["globals"] if v["name"] == "helper").items()
        await debugging.send("debug_continue")
        messages = await debugging.collect("debug_terminated")
        assert types(messages) == ["debug_resumed", "result_output", "debug_terminated"]
        assert messages[1]["content"] == "Out: 24\n"

    async def test_steps_go_into_over_and_out_of_calls(self, debugging):
        await debugging.running.send(run("caller", [1], [at("first = helper(n)")]))
        await debugging.paused()
        where = []
        for command in ("debug_step_into", "debug_step_over", "debug_step_over",
                        "debug_step_into", "debug_step_out"):
            await debugging.send(command)
            pause = await debugging.paused()
            where.append((pause["reason"], pause["function"], pause["line"],
                          [frame["function"] for frame in pause["call_stack"]]))
        assert where == [
            ("step", "helper", line_of("doubled = x * 2"), ["helper", "caller"]),
            ("step", "helper", line_of("return doubled"), ["helper", "caller"]),
            ("step", "caller", line_of("second = helper(first)"), ["caller"]),
            ("step", "helper", line_of("doubled = x * 2"), ["helper", "caller"]),
            ("step", "caller", line_of("return first + second"), ["caller"])]
        await debugging.send("debug_step_over")
        assert types(await debugging.collect("debug_terminated")) == ["result_output",
                                                                      "debug_terminated"]

    async def test_an_exception_pauses_where_it_was_raised_before_it_is_reported(self, debugging):
        await debugging.running.send(run("fails", [2]))
        pause = await debugging.paused()
        assert (pause["reason"], pause["line"]) == ("exception",
                                                    line_of('raise ValueError("bad value")'))
        assert pause["exception"] == {"type": "ValueError", "message": "bad value"}
        assert {"name": "value", "type": "int", "value": "6"} in pause["locals"]
        await debugging.send("debug_continue")
        messages = await debugging.collect("debug_terminated")
        assert types(messages) == ["debug_resumed", "debug_exception", "debug_terminated"]
        assert {k: messages[1][k] for k in ("module", "line", "file", "exception_type")} == {
            "module": "dbg", "line": line_of('raise ValueError("bad value")'),
            "file": "<virtual:dbg>", "exception_type": "ValueError"}

    async def test_evaluation_runs_in_the_paused_frame(self, debugging):
        await debugging.running.send(run("caller", [1], [at("second = helper(first)")]))
        await debugging.paused()
        answer = await debugging.evaluate("first * 10")
        assert answer == {"type": "debug_evaluate_result", "workbook_id": WB, "request_id": "e1",
                          "expression": "first * 10", "result": "20", "value_type": "int"}
        assert (await debugging.evaluate("missing + 1"))["error"] == (
            "NameError: name 'missing' is not defined")
        await debugging.send("debug_evaluate", expression="print('from the frame')",
                             request_id="e2")
        printed = await debugging.collect("debug_evaluate_result")
        assert {"type": "stdout", "content": "from the frame", "request_id": "d1",
                "workbook_id": WB, "source": "ide"} in printed
        # An assignment sticks: the run goes on with the new value.
        assert "error" not in await debugging.evaluate("first = 100")
        await debugging.send("debug_continue")
        messages = await debugging.collect("debug_terminated")
        assert "Out: 300\n" in [m.get("content") for m in messages]

    async def test_breakpoints_change_while_the_session_runs(self, debugging, kernel_log):
        await debugging.running.send(run("looped", [5], [at("total += i")]))
        assert (await debugging.paused())["locals"][-1] == {"name": "i", "type": "int",
                                                            "value": "0"}
        await debugging.send("debug_update_breakpoints", breakpoints={"line": 3})
        await debugging.send("debug_update_breakpoints", breakpoints=[
            {"module_name": "dbg", "line": 999}, {"module_name": "nowhere", "line": 1},
            {"module_name": "dbg", "line": "7"}, "junk", at("return total")])
        await debugging.send("debug_continue")
        assert (await debugging.paused())["line"] == line_of("return total")
        warnings = messages_of(kernel_log, logging.WARNING)
        assert "[Kernel] Invalid breakpoints data type: <class 'dict'>" in warnings
        skipped = messages_of(kernel_log, logging.WARNING, logger="python_server.debugger")
        assert len(skipped) == 4
        await debugging.send("debug_continue")
        await debugging.collect("debug_terminated")


class TestEndingSessions:
    async def test_stop_while_paused_ends_the_run_without_a_result(self, debugging):
        await debugging.running.send(run("looped", [5], [at("total += i")]))
        await debugging.paused()
        await debugging.send("debug_stop")
        assert await debugging.collect("debug_terminated") == [
            {"type": "debug_terminated", "workbook_id": WB}]
        assert await debugging.collect("debug_terminated") == [
            {"type": "debug_terminated", "request_id": "d1", "workbook_id": WB}]
        assert not debugging.running.kernel.has_active_debugger()
        assert (await debugging.running.run_cell("6 * 7"))[-1]["result"] == "42"

    async def test_stop_ends_a_running_loop_and_an_endless_evaluation(self, debugging):
        await debugging.running.send(run("forever"))
        await asyncio.sleep(0.2)
        await debugging.send("debug_stop")
        assert types(await debugging.collect("debug_terminated")) == ["debug_terminated"]
        assert (await debugging.collect("debug_terminated"))[-1]["request_id"] == "d1"

        await debugging.running.send(run("looped", [3], [at("total += i")], request_id="d2"))
        await debugging.paused()
        await debugging.send("debug_evaluate", expression="next(x for x in iter(int, 1) if x)",
                             request_id="e1")
        await debugging.send("debug_stop")
        # The session's end and the evaluation's answer come from two tasks, in either order.
        messages = [await debugging.running.receive(TIMEOUT) for _ in range(3)]
        assert {"type": "debug_terminated", "request_id": "d2", "workbook_id": WB} in messages
        answer = next(m for m in messages if m["type"] == "debug_evaluate_result")
        assert answer["error"] == "Evaluation stopped: the debug session ended"

    async def test_a_second_run_ends_the_paused_first_before_it_starts(self, debugging,
                                                                       kernel_log):
        await debugging.running.send(run("looped", [5], [at("total += i")], request_id="d1"))
        await debugging.paused()
        await debugging.running.send(run("caller", [1], [at("return first + second")],
                                         request_id="d2"))
        messages = await debugging.collect("debug_paused")
        assert types(messages) == ["debug_terminated", "debug_paused"]
        assert messages[0]["request_id"] == "d1" and messages[1]["function"] == "caller"
        assert ("[Kernel] A debug session is active: ending it before starting another"
                in messages_of(kernel_log, logging.WARNING))
        await debugging.send("debug_continue")
        messages = await debugging.collect("debug_terminated")
        assert messages[-1]["request_id"] == "d2" and "Out: 6\n" in [
            m.get("content") for m in messages]

    async def test_of_runs_arriving_together_only_the_newest_starts(self, debugging):
        await debugging.running.send(run("looped", [5], [at("total += i")], request_id="d1"))
        await debugging.paused()
        for request_id in ("d2", "d3"):
            await debugging.running.send(run("looped", [5], [at("total += i")],
                                             request_id=request_id))
        messages = await debugging.collect("debug_paused")
        ends = {m.get("request_id"): m for m in messages if m["type"] != "debug_paused"}
        assert ends["d1"]["type"] == "debug_terminated"
        assert ends["d2"]["type"] == "execution_error"
        assert ends["d2"]["error"]["message"] == (
            "A newer debug run replaced this one before it started")
        await debugging.send("debug_stop")
        assert (await debugging.collect("debug_terminated"))[-1] == {
            "type": "debug_terminated", "workbook_id": WB}
        assert (await debugging.collect("debug_terminated"))[-1]["request_id"] == "d3"

    async def test_control_messages_without_a_session(self, debugging, kernel_log):
        for message_type in ("debug_continue", "debug_step_over", "debug_step_into",
                             "debug_step_out", "debug_stop", "debug_update_breakpoints"):
            await debugging.send(message_type)
        await debugging.nothing_sent()
        assert await debugging.evaluate("1 + 1", request_id="e9") == {
            "type": "debug_evaluate_result", "workbook_id": WB, "request_id": "e9",
            "expression": "1 + 1", "error": "No active debug session"}
        assert ("[Kernel] Received debug_update_breakpoints but no active debugger"
                in messages_of(kernel_log, logging.WARNING))


async def test_a_disconnect_releases_the_paused_worker(debugging):
    flag = threading.Event()
    kernel_module.quorvel.debug_test_flag = flag
    try:
        await debugging.running.sync_module(
            "flagged", "import quorvel\n\ndef go():\n"
                       "    from dbg import guarded\n"
                       "    return guarded(quorvel.debug_test_flag)\n")
        await debugging.running.send({**run("go", [], [at("total += i")]),
                                      "module_name": "flagged"})
        await debugging.paused()
        await debugging.send("shutdown")
        await debugging.running.finished()
        assert await asyncio.get_running_loop().run_in_executor(None, flag.wait, TIMEOUT)
    finally:
        del kernel_module.quorvel.debug_test_flag
        kernel_module.in_memory_loader.delete_module("flagged")


async def test_a_debug_session_in_a_kernel_process(hub):
    """The whole protocol against a kernel process launched as the hub launches one."""
    process = await hub.launch_kernel("Debug.xlsx", {"platform": "web"})
    try:
        session = await hub.wait_for_kernel("Debug.xlsx", timeout=TIMEOUT)
        await session.send({"type": "update_module", "module_name": "dbg", "code": MODULE})
        await session.expect("module_updated", TIMEOUT)
        await session.send({**run("caller", [2], [at("first = helper(n)")]),
                            "workbook_id": "Debug.xlsx"})
        assert (await session.expect("debug_paused", TIMEOUT))["line"] == line_of(
            "first = helper(n)")
        await session.send({"type": "debug_step_over"})
        assert (await session.expect("debug_paused", TIMEOUT))["locals"][-1]["value"] == "4"
        await session.send({"type": "debug_evaluate", "expression": "first + n",
                            "request_id": "e"})
        assert (await session.expect("debug_evaluate_result", TIMEOUT))["result"] == "6"
        await session.send({"type": "debug_continue"})
        assert [(await session.receive(TIMEOUT))["type"] for _ in range(3)] == [
            "debug_resumed", "result_output", "debug_terminated"]
        await session.send({"type": "shutdown"})
        assert await process.wait(timeout=TIMEOUT) == 0
    finally:
        await process.kill()


async def test_an_interrupt_during_a_pause_ends_the_run_once_it_goes_on(debugging):
    await debugging.running.send(run("looped", [50], [at("total += i")]))
    await debugging.paused()
    await debugging.send("interrupt_execution", request_id="d1", workbook_id=WB)
    assert (await debugging.collect("interrupt_result"))[-1]["interrupted"] == ["d1"]
    await debugging.send("debug_update_breakpoints", breakpoints=[], workbook_id=WB)
    await debugging.send("debug_continue", workbook_id=WB)
    pause = (await debugging.collect("debug_paused"))[-1]  # the exception's own pause
    assert pause["reason"] == "exception" and pause["exception"]["type"] == "KeyboardInterrupt"
    await debugging.send("debug_continue", workbook_id=WB)
    messages = await debugging.collect("debug_terminated")
    assert types(messages)[-2:] == ["debug_exception", "debug_terminated"]
    assert messages[-1]["request_id"] == "d1"
    assert not debugging.running.kernel.has_active_debugger()
    assert (await debugging.running.run_cell("6 * 7"))[-1]["result"] == "42"


async def test_breakpoints_still_pause_after_a_cell_was_interrupted(debugging):
    await debugging.running.send({"type": "execution_request", "code": "while True: pass",
                                  "request_id": "c1"})
    for _ in range(200):
        await asyncio.sleep(0.02)
        await debugging.send("interrupt_execution", request_id="c1", workbook_id=WB)
        if (await debugging.collect("interrupt_result"))[-1]["interrupted"]:
            break
    assert (await debugging.collect("execution_error"))[-1]["request_id"] == "c1"
    await debugging.running.send(run("looped", [5], [at("total += i")], request_id="d9"))
    pause = await debugging.paused()
    assert pause["line"] == line_of("total += i")
    await debugging.send("debug_stop")
    await debugging.collect("debug_terminated")
