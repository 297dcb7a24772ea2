"""Blocking spreadsheet requests from user code, as the hub answers them."""
import logging
import re

import pytest

from devhub import SimulatedWorkbook
from python_server import quorvel

from ..conftest import messages_of


async def next_request(running):
    message = await running.receive()
    assert message["type"] == "sys_request", message
    return message["payload"]


class TestThroughTheSimulatedWorkbook:
    async def test_cells_read_and_write_ranges(self, running):
        running.session.workbook = workbook = SimulatedWorkbook(["Data", "Other"])
        messages = await running.run_cell(
            "excel.range('B2').value = 42; excel.range('B2').value * 2")
        assert messages[-1]["result"] == "84"
        assert workbook.sheets["Data"][(2, 2)] == 42
        messages = await running.run_cell(
            "excel.range('A1:B2', sheet='Other').value = [[1, 2], [3, 4]]\n"
            "print(excel.range('A1:B2', sheet='Other').value, excel.sheet_names())")
        printed = "".join(m["content"] for m in messages if m["type"] == "stdout")
        assert printed == "[[1, 2], [3, 4]] ['Data', 'Other']\n"

    async def test_a_refusal_becomes_the_cells_error(self, running):
        running.session.workbook = SimulatedWorkbook()
        [error] = await running.run_cell("excel.range('A1', sheet='Missing').value")
        assert error["error"]["type"] == "ExcelError"
        assert "Missing" in error["error"]["message"]


class TestRequestProtocol:
    async def test_payload_fields_and_a_top_level_answer(self, running):
        await running.send({"type": "execution_request", "request_id": "c",
                            "code": "quorvel.messaging.send_request_sync("
                                    "{'action': 'ping', 'requestId': 'mine', 'kind': 'x'})"})
        payload = await next_request(running)
        assert re.fullmatch(r"[0-9a-f]{32}", payload["requestId"])
        assert (payload["action"], payload["kind"]) == ("ping", "request")
        await running.send({"type": "sys_response", "requestId": payload["requestId"], "pong": 1})
        result = (await running.receive())
        assert result["type"] == "result_output"
        assert "'pong': 1" in result["content"] and "'type': 'sys_response'" in result["content"]

    async def test_ten_waiting_workers_get_their_own_answers(self, running):
        for n in range(10):
            await running.send({"type": "execution_request", "request_id": f"w{n}",
                                "code": f"quorvel.messaging.send_request_sync({{'n': {n}}})['n']",
                                "function_name": "f"})
        payloads = [await next_request(running) for _ in range(10)]
        for payload in reversed(payloads):
            await running.send({"type": "sys_response",
                                "payload": {"requestId": payload["requestId"],
                                            "n": payload["n"] * 100}})
        results = {}
        while len(results) < 10:
            message = await running.receive()
            if message["type"] == "execution_result":
                results[message["request_id"]] = message["result"]
        assert results == {f"w{n}": n * 100 for n in range(10)}
        assert running.kernel._response_futures == {} and running.kernel._response_data == {}

    async def test_time_out_then_a_late_answer(self, kernel_log, running):
        await running.send({"type": "execution_request", "request_id": "t",
                            "code": "quorvel.messaging.send_request_sync({'a': 1}, timeout=0.2)"})
        payload = await next_request(running)
        [error] = [m async for m in _until_result(running)]
        assert error["error"]["type"] == "TimeoutError"
        assert error["error"]["message"] == (f"sys_request timeout after 0.2s: "
                                             f"{payload['requestId']}")
        assert running.kernel._response_futures == {}
        await running.send({"type": "sys_response", "payload": {"requestId": payload["requestId"]}})
        await running.roundtrip({"type": "delete_module", "module_name": "sync"}, "module_deleted")
        assert running.kernel._response_data == {}
        warnings = messages_of(kernel_log, logging.WARNING)
        assert (f"[Kernel] Received sys_response for unknown request_id: {payload['requestId']}"
                in warnings)
        assert any(m.endswith(f"sys_request timeout: {payload['requestId']}")
                   for m in messages_of(kernel_log, logging.ERROR))

    async def test_the_loop_thread_is_refused_and_nothing_is_sent(self, running):
        with pytest.raises(RuntimeError, match="^send_sys_request must not be called from the "
                                               "async event loop thread to avoid deadlock$"):
            quorvel.messaging.send_request_sync({"action": "x"})
        await running.roundtrip({"type": "delete_module", "module_name": "nothing"},
                                "module_deleted")

    async def test_an_answer_without_request_id_is_dropped(self, kernel_log, running):
        await running.send({"type": "sys_response", "payload": {"value": 1}})
        await running.roundtrip({"type": "delete_module", "module_name": "nothing"},
                                "module_deleted")
        assert "[Kernel] Received sys_response without requestId" in messages_of(
            kernel_log, logging.WARNING)

    async def test_without_a_kernel_the_bridge_says_so(self, running):
        await running.send({"type": "shutdown"})
        await running.finished()
        with pytest.raises(RuntimeError, match="No kernel is connected"):
            quorvel.messaging.send_request_sync({"action": "x"})


async def _until_result(running):
    while True:
        message = await running.receive()
        if message["type"] in ("execution_result", "execution_error"):
            yield message
            return
