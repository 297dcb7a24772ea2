"""The development hub reads on after frames from a kernel or the IDE that it cannot use."""
import asyncio
import json

from ..conftest import hub_connect, scaled


async def until(websocket, predicate):
    """The next message from `websocket` that satisfies `predicate`."""
    while True:
        message = json.loads(await asyncio.wait_for(websocket.recv(), scaled(10)))
        if predicate(message):
            return message


UNUSABLE = [b"\xff\xfe", "not json", "[1]", "[" * 100_000, '{"type": ["stdout"]}',
            '{"type": "chunk", "chunk_id": "c", "chunk_index": 0, "total_chunks": 1e12}',
            '{"type": "chunk", "chunk_id": "c", "chunk_index": 0, "total_chunks": 1000000000000, '
            '"data": "x"}',
            '{"type": "chunk", "chunk_id": "d", "chunk_index": 5, "total_chunks": 2, "data": "x"}',
            '{"type": "chunk", "chunk_id": "e", "chunk_index": 0, "total_chunks": 1, '
            '"data": "[2]"}',
            '{"type": "batch", "messages": 7}']


class TestTheHubReadsOn:
    async def test_after_a_kernels_unusable_frames(self, hub):
        async with hub_connect(hub, "/ws/ide/main_ide") as ide, \
                hub_connect(hub, "/ws/kernel/Raw.xlsx") as kernel:
            session = await hub.wait_for_kernel("Raw.xlsx")
            for frame in UNUSABLE:
                await kernel.send(frame)
            await kernel.send(json.dumps({"type": "stdout", "content": "still here"}))
            shown = await until(ide, lambda m: m.get("type") == "stdout")
            assert shown["content"] == "still here"
            kept = [await session.receive_frame() for _ in UNUSABLE[1:]]
            assert kept == UNUSABLE[1:]  # text frames are kept for readers of raw frames

    async def test_after_the_ides_unusable_frames(self, hub):
        async with hub_connect(hub, "/ws/ide/main_ide") as ide, \
                hub_connect(hub, "/ws/kernel/Raw.xlsx") as kernel:
            await hub.wait_for_kernel("Raw.xlsx")
            for frame in UNUSABLE + ['{"type": "update_module", "workbook_id": "Raw.xlsx", '
                                     '"module_name": {"m": 1}}']:
                await ide.send(frame)
            await ide.send(json.dumps({"type": "execution_request", "workbook_id": "Raw.xlsx",
                                       "code": "1+1", "request_id": "r"}))
            relayed = await until(kernel, lambda m: m.get("type") == "execution_request")
            assert relayed["request_id"] == "r"
