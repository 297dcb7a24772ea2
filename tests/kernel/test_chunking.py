"""Chunked messages in both directions: splitting long outbound messages and reassembling
inbound ones, with the bounds that keep a hostile peer from exhausting memory."""
import asyncio
import json
import logging
import uuid

import pytest

from python_server import kernel as kernel_module

from ..conftest import messages_of

CHUNK = kernel_module.CHUNK_SIZE


def message_of_length(length, **fields):
    """A message whose serialised text is exactly `length` characters long."""
    empty = kernel_module.json_dumps({"type": "sized", **fields, "pad": ""})
    message = {"type": "sized", **fields, "pad": "x" * (length - len(empty))}
    assert len(kernel_module.json_dumps(message)) == length
    return message


def chunks_of(message, chunk_id="c1", size=20):
    text = json.dumps(message)
    parts = [text[i:i + size] for i in range(0, len(text), size)]
    return [{"type": "chunk", "chunk_id": chunk_id, "chunk_index": i, "total_chunks": len(parts),
             "data": part} for i, part in enumerate(parts)]


UPDATE = {"type": "update_module", "module_name": "chunked_mod", "code": "value = 'é' * 3\n"}


class TestOutboundChunking:
    async def test_exactly_chunk_size_goes_out_whole(self, running):
        await running.kernel.send_message(message_of_length(CHUNK))
        frame = await running.session.receive_frame()
        assert len(frame) == CHUNK and json.loads(frame)["type"] == "sized"

    async def test_one_more_character_makes_two_chunks(self, kernel_log, running):
        message = message_of_length(CHUNK + 1, request_id="r9")
        await running.kernel.send_message(message)
        first = json.loads(await running.session.receive_frame())
        second = json.loads(await running.session.receive_frame())
        assert list(first) == ["type", "chunk_id", "chunk_index", "total_chunks", "data",
                               "original_type", "request_id"]
        assert (first["chunk_index"], second["chunk_index"]) == (0, 1)
        assert first["total_chunks"] == second["total_chunks"] == 2
        assert len(first["data"]) == CHUNK and len(second["data"]) == 1
        assert first["original_type"] == "sized" and first["request_id"] == "r9"
        assert str(uuid.UUID(first["chunk_id"])) == first["chunk_id"] == second["chunk_id"]
        assert json.loads(first["data"] + second["data"]) == message
        assert f"[Kernel] Chunking large message: type=sized, size={CHUNK + 1}, chunks=2" in \
            messages_of(kernel_log, logging.INFO)

    async def test_chunks_are_sliced_on_characters(self, running):
        message = {"type": "wide", "text": "\U0001F600é" * CHUNK}
        await running.kernel.send_message(message)
        assert await running.session.receive() == message

    async def test_no_frame_lands_inside_a_chunk_run(self, running):
        big = {"type": "big", "text": "y" * (CHUNK * 5)}
        small = [{"type": "small", "n": i} for i in range(20)]
        await asyncio.gather(running.kernel.send_message(big),
                             *(running.kernel.send_message(m) for m in small))
        frames = [json.loads(await running.session.receive_frame()) for _ in range(26)]
        indexes = [i for i, f in enumerate(frames) if f["type"] == "chunk"]
        assert indexes == list(range(indexes[0], indexes[0] + 6))


class TestInboundReassembly:
    @pytest.mark.parametrize("order", [[0, 1, 2], [2, 0, 1], [1, 2, 0]])
    async def test_any_order_reassembles_and_dispatches_once_complete(self, running, order):
        chunks = chunks_of(UPDATE, size=len(json.dumps(UPDATE)) // 3 + 1)
        assert len(chunks) == 3
        for i in order[:-1]:
            await running.send(chunks[i])
        assert kernel_module.in_memory_loader.source_cache.get("chunked_mod") is None
        await running.send(chunks[order[-1]])
        assert await running.expect("module_updated") == {"type": "module_updated",
                                                          "module_name": "chunked_mod"}
        assert running.kernel._chunk_buffers == {}
        kernel_module.in_memory_loader.delete_module("chunked_mod")

    async def test_repeated_chunk_counts_once(self, running):
        chunks = chunks_of(UPDATE)
        await running.send(chunks[0])
        await running.send(dict(chunks[0], data="garbage"))
        for chunk in chunks[1:]:
            await running.send(chunk)
        await running.expect("module_updated")
        assert kernel_module.in_memory_loader.source_cache["chunked_mod"] == UPDATE["code"]
        kernel_module.in_memory_loader.delete_module("chunked_mod")

    async def test_interleaved_messages(self, running):
        a = chunks_of(dict(UPDATE, module_name="mod_a"), "a")
        b = chunks_of(dict(UPDATE, module_name="mod_b"), "b")
        for pair in zip(a, b):
            for chunk in pair:
                await running.send(chunk)
        names = {(await running.expect("module_updated"))["module_name"] for _ in range(2)}
        assert names == {"mod_a", "mod_b"}
        for name in names:
            kernel_module.in_memory_loader.delete_module(name)

    @pytest.mark.parametrize("chunk, error", [
        ({"chunk_id": "x", "chunk_index": 0},
         "[Kernel] Invalid chunk message: missing required fields"),
        ({"chunk_id": "x", "chunk_index": "0", "total_chunks": 2},
         "[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers"),
        ({"chunk_id": "x", "chunk_index": 2, "total_chunks": 2},
         "[Kernel] Invalid chunk_index 2 for total_chunks 2"),
        ({"chunk_id": "x", "chunk_index": -1, "total_chunks": 2},
         "[Kernel] Invalid chunk_index -1 for total_chunks 2"),
    ])
    async def test_invalid_chunks_are_logged_and_dropped(self, kernel_log, running, chunk, error):
        await running.send(dict(chunk, type="chunk", data="{}"))
        await running.send({"type": "update_module", "module_name": "after", "code": ""})
        await running.expect("module_updated")
        assert error in messages_of(kernel_log, logging.ERROR)
        assert running.kernel._chunk_buffers == {}

    async def test_rejected_reassemblies(self, kernel_log, running):
        nested = chunks_of({"type": "chunk", "chunk_id": "n", "chunk_index": 0,
                            "total_chunks": 1, "data": "{}"}, "outer")
        broken = [{"type": "chunk", "chunk_id": "bad", "chunk_index": i, "total_chunks": 2,
                   "data": part} for i, part in enumerate(['{"type": ', "oops"])]
        incomplete = [{"type": "chunk", "chunk_id": "nul", "chunk_index": 0, "total_chunks": 1,
                       "data": None}]
        for chunk in nested + broken + incomplete:
            await running.send(chunk)
        await running.roundtrip({"type": "update_module", "module_name": "z", "code": ""},
                                "module_updated")
        errors = messages_of(kernel_log, logging.ERROR)
        assert "[Kernel] Nested chunk message detected for chunk_id outer, rejecting" in errors
        assert any(e.startswith("[Kernel] Failed to parse reassembled message: ") for e in errors)
        assert "[Kernel] Incomplete chunk buffer for chunk_id nul" in errors
        assert running.kernel._chunk_buffers == {}

    @pytest.mark.parametrize("second, error", [
        ({"chunk_id": "s", "chunk_index": 4, "total_chunks": 5, "data": "b"},
         "[Kernel] Invalid chunk_index 4 for total_chunks 2"),
        ({"chunk_id": "s", "chunk_index": 1, "total_chunks": 2, "data": 7},
         "[Kernel] Invalid chunk message: data must be a string"),
        ({"chunk_id": ["s"], "chunk_index": 1, "total_chunks": 2, "data": "b"},
         "[Kernel] Invalid chunk message: chunk_id must be a string"),
    ])
    async def test_a_chunk_that_does_not_fit_is_dropped_and_reading_goes_on(
            self, kernel_log, running, second, error):
        await running.send({"type": "chunk", "chunk_id": "s", "chunk_index": 0, "total_chunks": 2,
                            "data": '{"type": "update_module", '})
        await running.send(dict(second, type="chunk"))
        await running.send({"type": "chunk", "chunk_id": "s", "chunk_index": 1, "total_chunks": 2,
                            "data": '"module_name": "late", "code": ""}'})
        assert (await running.expect("module_updated"))["module_name"] == "late"
        assert error in messages_of(kernel_log, logging.ERROR)
        kernel_module.in_memory_loader.delete_module("late")


class TestChunkBounds:
    async def test_a_huge_total_chunks_claim_is_refused_without_a_buffer(self, kernel_log, running):
        await running.send({"type": "chunk", "chunk_id": "huge", "chunk_index": 0,
                            "total_chunks": 10**12, "data": "{"})
        await running.roundtrip({"type": "update_module", "module_name": "z", "code": ""},
                                "module_updated")
        assert running.kernel._chunk_buffers == {}
        assert (f"[Kernel] Chunked message refused: total_chunks {10**12} exceeds the limit of "
                f"{kernel_module.MAX_TOTAL_CHUNKS}") in messages_of(kernel_log, logging.ERROR)

    async def test_partial_messages_beyond_the_bound_drop_the_oldest(self, kernel_log, running):
        limit = kernel_module.MAX_CHUNK_BUFFERS
        for n in range(limit + 3):
            await running.send({"type": "chunk", "chunk_id": f"p{n}", "chunk_index": 0,
                                "total_chunks": 2, "data": "{"})
        await running.roundtrip({"type": "update_module", "module_name": "z", "code": ""},
                                "module_updated")
        assert list(running.kernel._chunk_buffers) == [f"p{n}" for n in range(3, limit + 3)]
        dropped = [e for e in messages_of(kernel_log, logging.ERROR) if "dropped chunk_id" in e]
        assert dropped == [f"[Kernel] Too many partial chunked messages: dropped chunk_id p{n}"
                           for n in range(3)]

    async def test_a_message_growing_past_the_size_bound_is_dropped(self, kernel_log, running):
        piece = "x" * (kernel_module.MAX_MESSAGE_SIZE - 200)
        needed = kernel_module.MAX_CHUNKED_MESSAGE_SIZE // len(piece) + 1  # the last one overflows
        for index in range(needed):
            await running.send({"type": "chunk", "chunk_id": "grow", "chunk_index": index,
                                "total_chunks": needed + 1, "data": piece})
        await running.roundtrip({"type": "update_module", "module_name": "z", "code": ""},
                                "module_updated")
        assert "grow" not in running.kernel._chunk_buffers
        assert (f"[Kernel] Chunked message grow exceeds {kernel_module.MAX_CHUNKED_MESSAGE_SIZE} "
                "characters: dropped") in messages_of(kernel_log, logging.ERROR)
