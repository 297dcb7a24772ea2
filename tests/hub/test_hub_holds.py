"""The hub never drops a reply or a kernel: large modules and cells, a kernel's refusals, an IDE
that stops reading, a second IDE, restarts at once, and requests that fail in every way."""
import asyncio
import json
import os
import socket

import pytest
from websockets.exceptions import ConnectionClosed

from devhub import ide_session
from devhub.access import IDE_PATH
from devhub.ide_protocol import MAX_CELL_CHARS, MAX_MODULE_CHARS

from ..conftest import hub_connect, scaled
from ..e2e.test_hub_access import handshake_request
from .test_workbooks_in_the_hub import Ide

WB = "Holds.xlsx"


@pytest.fixture
async def ide(hub):
    async with hub_connect(hub, IDE_PATH, max_size=None) as websocket:
        client = Ide(websocket)
        await client.next()  # the workbook list
        opened = await client.ask({"type": "new_workbook", "workbook_id": WB})
        assert opened["success"], opened
        yield client


def kernel_processes(workbook_id: str) -> int:
    """How many kernel processes of that workbook run on this machine."""
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                words = file.read().split(b"\0")
        except OSError:
            continue
        if b"python_server" in words and workbook_id.encode() in words:
            count += 1
    return count


class TestSizes:
    async def test_a_module_beyond_one_frame_travels_in_chunks(self, hub, ide):
        code = "DATA = " + repr("é\"\\" * 400_000) + "\n"  # some 5 MB once escaped as JSON
        saved = await ide.ask({"type": "update_module", "workbook_id": WB, "module_name": "big",
                               "code": code})
        assert saved["type"] == "module_updated"
        cell = await ide.cell(WB, "import big; len(big.DATA)")
        assert cell["result"] == "1200000"
        long_cell = "1 + 1  # " + "#" * 1_500_000
        assert (await ide.cell(WB, long_cell))["result"] == "2"
        assert hub.kernels.connected(WB) is not None

    async def test_a_module_or_cell_beyond_the_limit_is_refused_and_nothing_stored(
            self, hub, ide):
        refused = await ide.ask({"type": "update_module", "workbook_id": WB,
                                 "module_name": "huge", "code": "#" * (MAX_MODULE_CHARS + 1)})
        assert refused["type"] == "request_refused" and "at most" in refused["message"]
        assert "huge" not in hub.workbooks.get(WB).modules
        cell = await ide.cell(WB, "#" * (MAX_CELL_CHARS + 1))
        assert (cell["type"], cell["success"]) == ("execution_result", False)
        # The kernel lives on, and a restart is no loop: it gets only what it can take.
        restarted = await ide.ask({"type": "restart_kernel", "workbook_id": WB})
        assert restarted["success"], restarted
        assert (await ide.cell(WB, "1 + 1"))["result"] == "2"

    async def test_a_request_the_kernel_refuses_gets_the_kernels_reason(self, hub, ide):
        """A kernel's "error" that names a request is that request's final reply."""
        await hub.kernels.stop(WB)
        async with hub_connect(hub, "/ws/kernel/" + WB) as kernel:  # a kernel of our own
            await hub.kernel_ready(WB)
            await ide.send({"type": "update_module", "workbook_id": WB, "module_name": "m",
                            "code": "X = 1\n", "request_id": "refused"})
            asked = json.loads(await asyncio.wait_for(kernel.recv(), scaled(10)))
            await kernel.send(json.dumps({"type": "error", "request_id": asked["request_id"],
                                          "message": "no room"}))
            while True:
                reply = await ide.next()
                if reply.get("request_id") == "refused":
                    break
        assert reply["type"] == "request_refused"
        assert reply["message"] == "The kernel refused it: no room"

    @pytest.mark.parametrize("depth, reason", [(100, "nested deeper than 64"),
                                               (990, "could not be read")])
    async def test_a_request_nested_too_deep_is_answered(self, hub, ide, depth, reason):
        await ide.websocket.send(
            '{"type": "execution_request", "workbook_id": "%s", "code": "1", "request_id": '
            '"deep", "extra": %s}' % (WB, "[" * depth + "]" * depth))
        while True:
            answer = await ide.next()
            if answer.get("request_id") == "deep":
                break
        assert answer["type"] == "execution_result" and reason in answer["error"]

    async def test_a_frame_beyond_the_ides_bound_closes_only_that_connection(self, hub, ide):
        async with hub_connect(hub, IDE_PATH, max_size=None) as other:
            await other.recv()
            await other.send("x" * (65 * 1024 * 1024))
            with pytest.raises(ConnectionClosed) as closed:
                while True:  # the states of the open workbooks may come before the close
                    await asyncio.wait_for(other.recv(), scaled(30))
            assert closed.value.rcvd.code == 1009
        assert hub.kernels.connected(WB) is not None


class TestClientsThatDoNotRead:
    async def test_an_ide_that_stops_reading_is_closed_and_the_kernel_goes_on(
            self, hub, ide, monkeypatch):
        monkeypatch.setattr(ide_session, "MAX_OUTBOX_BYTES", 2 * 1024 * 1024)
        flood = json.dumps({"type": "execution_request", "workbook_id": WB, "request_id": "f",
                            "code": "for i in range(400): print('x' * 100_000)\nkept = 41"})
        # An IDE that sends a cell with its handshake and then reads nothing at all.
        stuck = socket.socket()
        stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stuck.connect(("127.0.0.1", hub.port))
        reader, writer = await asyncio.open_connection(sock=stuck)
        writer.write(handshake_request(hub.port, IDE_PATH, hub.auth_headers, then=flood))
        await reader.readuntil(b"\r\n\r\n")
        for _ in range(int(scaled(600))):
            if hub.ide.connection is None:
                break
            await asyncio.sleep(0.05)
        assert hub.ide.connection is None  # it was closed, the flood's output dropped for it
        writer.close()
        async with hub_connect(hub, IDE_PATH, max_size=None) as fresh:
            again = Ide(fresh)
            await again.next()
            for _ in range(int(scaled(200))):
                result = await again.cell(WB, "kept + 1")
                if result.get("success"):
                    break
                await asyncio.sleep(0.1)  # the flood is still printing
            assert result["result"] == "42"
        assert hub.kernels.connected(WB) is not None


class TestASecondIde:
    async def test_replies_reach_the_ide_that_asked_or_nobody(self, hub, ide):
        await ide.send({"type": "execution_request", "workbook_id": WB, "request_id": "first",
                        "code": "import time; time.sleep(1); print('late')"})
        async with hub_connect(hub, IDE_PATH, max_size=None) as websocket:
            second = Ide(websocket)
            await second.next()
            mine = await second.cell(WB, "21 * 2")
            assert mine["result"] == "42"
            await asyncio.sleep(1.5)  # the first one's cell ends meanwhile
            mine = await second.cell(WB, "'still'")
            assert not any(m.get("request_id") == "first" for m in second.seen)


class TestRestarts:
    async def test_restarts_at_once_join_and_leave_one_kernel(self, hub, ide):
        request_ids = [await ide.send({"type": "restart_kernel", "workbook_id": WB})
                       for _ in range(10)]
        replies = {}
        while len(replies) < 10:
            message = await ide.next(120)
            if message.get("request_id") in request_ids:
                replies[message["request_id"]] = message
        assert all(reply["success"] for reply in replies.values()), replies
        assert kernel_processes(WB) == 1
        assert (await ide.cell(WB, "1 + 1"))["result"] == "2"


class TestEveryRequestIsAnswered:
    async def test_a_save_with_code_that_is_no_text_leaves_later_saves_answered(self, hub, ide):
        bad = await ide.ask({"type": "update_module", "workbook_id": WB, "module_name": "m",
                             "code": {"not": "text"}})
        assert bad["type"] == "request_refused"
        for n in range(3):
            good = await ide.ask({"type": "update_module", "workbook_id": WB,
                                  "module_name": "m", "code": f"N = {n}\n"})
            assert good["type"] == "module_updated"
        assert (await ide.cell(WB, "import m; m.N"))["result"] == "2"

    async def test_a_debug_run_with_a_truthy_debug_ends_with_its_result(self, hub, ide):
        await ide.ask({"type": "update_module", "workbook_id": WB, "module_name": "d",
                       "code": "def f():\n    return 3\n"})
        await ide.send({"type": "run_module", "workbook_id": WB, "module_name": "d",
                        "function_name": "f", "args": [], "debug": "yes", "breakpoints": [],
                        "request_id": "truthy"})
        while True:
            message = await ide.next(60)
            if message.get("type") == "execution_result" and message.get("request_id") == "truthy":
                break
        assert message["success"] is True

    async def test_what_waits_on_a_kernel_that_dies_is_answered(self, hub, ide):
        await ide.ask({"type": "update_module", "workbook_id": WB, "module_name": "boom",
                       "code": "import os, time\ndef f():\n    time.sleep(0.5)\n"
                               "    os._exit(3)\n"})
        await ide.send({"type": "run_module", "workbook_id": WB, "module_name": "boom",
                        "function_name": "f", "args": [], "request_id": "dies"})
        await ide.send({"type": "completion_request", "workbook_id": WB, "module_name": "boom",
                        "path": "boom.py", "code": "import os\nos.", "line": 2, "column": 3,
                        "dirty_files": {}, "request_id": "complete"})
        replies = {}
        while len(replies) < 2:
            message = await ide.next(60)
            if message.get("request_id") in ("dies", "complete") and message["type"] not in (
                    "stdout", "stderr"):
                replies[message["request_id"]] = message
        assert replies["dies"]["success"] is False
        assert "It was running boom.f()" in replies["dies"]["error"]
        # The module stays in the file; it can be deleted while no kernel runs.
        for _ in range(int(scaled(100))):
            if hub.kernels.connected(WB) is None:
                break
            await asyncio.sleep(0.05)
        deleted = await ide.ask({"type": "delete_module", "workbook_id": WB,
                                 "module_name": "boom"})
        assert deleted["type"] == "module_deleted"
        assert "boom" not in hub.workbooks.get(WB).modules
