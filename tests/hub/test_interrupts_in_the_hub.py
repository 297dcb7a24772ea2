"""Interrupts through the hub: the IDE's, relayed to the kernel and answered beside the run's
own replies, and the sheet's, for a call whose cell changed before it returned."""
import asyncio
import time

from devhub.access import IDE_PATH

from ..conftest import hub_connect, scaled
from .sheet_client import FUNCTIONS, SheetClient
from .test_workbooks_in_the_hub import Ide

WB = "Stop.xlsx"


async def test_the_ide_stops_a_cell_and_the_namespace_stays(hub, tmp_path):
    await hub.open_workbook(str(tmp_path / WB))
    await hub.kernel_ready(WB, scaled(60))
    async with hub_connect(hub, IDE_PATH, max_size=None) as websocket:
        ide = Ide(websocket)
        assert (await ide.cell(WB, "kept = 41"))["success"]
        await ide.send({"type": "execution_request", "workbook_id": WB,
                        "code": "while True: pass", "request_id": "loop"})
        answer, ended = None, None
        deadline = time.monotonic() + scaled(20)
        while ended is None and time.monotonic() < deadline:
            if answer is None or not answer["interrupted"]:
                await ide.send({"type": "interrupt_execution", "workbook_id": WB,
                                "request_id": "loop"})
            message = await ide.next()
            if message["type"] == "interrupt_result":
                if answer is None or not answer["interrupted"]:  # the one that reached it
                    answer = message
                await asyncio.sleep(0.05)
            elif message["type"] == "execution_result" and message["request_id"] == "loop":
                ended = message
        assert answer["interrupted"] == ["loop"] and answer["workbook_id"] == WB
        assert ended["success"] is False and "KeyboardInterrupt" in ended["error"]
        reply = await ide.cell(WB, "kept + 1")
        assert reply["success"] and reply["result"] == "42"


async def test_without_a_kernel_the_hub_answers_the_interrupt(hub, tmp_path):
    await hub.workbooks.open(str(tmp_path / WB))
    async with hub_connect(hub, IDE_PATH, max_size=None) as websocket:
        ide = Ide(websocket)
        await ide.next()  # the workbook list
        await ide.send({"type": "interrupt_execution", "workbook_id": WB, "request_id": "x"})
        reply = await ide.next()
        assert reply["type"] == "interrupt_result" and reply["interrupted"] == []
        assert "No kernel is connected" in reply["error"] and reply["request_id"] == "x"


async def test_a_call_whose_cell_is_cleared_is_interrupted(hub, tmp_path):
    await hub.open_workbook(str(tmp_path / WB))
    await hub.kernel_ready(WB, scaled(60))
    await hub.save_module(WB, "funcs", FUNCTIONS)
    marker = tmp_path / "spin.txt"
    async with SheetClient.connect(hub, WB) as websocket:
        page = SheetClient(websocket)
        await page.edit("A1", [f'=SPIN("{marker}")', "=DOUBLE(4)"])
        await page.shows("Sheet1!B1", 8)
        assert page.value("Sheet1!A1") == {"error": "#BUSY!"}
        await asyncio.sleep(0.2)  # the spin runs
        await page.edit("A1", ["cleared"])
        deadline = time.monotonic() + scaled(10)
        while not marker.exists() and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
        assert marker.read_text() == "interrupted"
        await page.drain(0.5)
        assert page.value("Sheet1!A1") == "cleared"  # no late result lands
        assert hub.live_workbook(WB).calls.pending == 0
