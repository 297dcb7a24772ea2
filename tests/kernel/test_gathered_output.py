"""Gathered output: what waits while a frame is written goes out as few frames as it can, with
nothing lost or reordered; without the setting, every message is its own frame."""
import asyncio
import json

import pytest

from devhub import KernelSession, SimulatedWorkbook
from devhub.kernel_session import unpacked
from python_server import kernel as kernel_module

from .conftest import start_kernel

GATHER = {"gather_output": True}
TIMEOUT = 60


@pytest.fixture
async def gathering(hub):
    running = await start_kernel(hub, connection_args=GATHER)
    yield running
    if not running.task.done():
        await running.send({"type": "shutdown"})
        await running.finished()


async def frames_until(running, last_types, count=1, timeout=TIMEOUT):
    """Raw frames, and the whole messages they carry, until `count` messages of `last_types`."""
    frames, messages = [], []
    while count:
        frame = await running.session.receive_frame(timeout)
        frames.append(frame)
        message = json.loads(frame)
        if message["type"] == "chunk":
            message = running.session._add_chunk(message)
        for whole in unpacked(message) if message else ():
            messages.append(whole)
            count -= whole["type"] in last_types
    return frames, messages


def stream_text(messages, request_id, stream):
    return "".join(m["content"] for m in messages
                   if m["type"] == stream and m.get("request_id") == request_id)


class TestGatheredOutputKeepsEveryByteInOrder:
    async def test_three_interleaved_cells_mixing_stdout_and_stderr(self, gathering):
        cell = ("import sys, time\n"
                "for i in range(400):\n"
                "    print(f'{tag} out {i}')\n"
                "    print(f'{tag} err {i}', file=sys.stderr)\n"
                "    if i % 100 == 0: time.sleep(0.001)\n")
        for tag in "abc":
            # Each cell ends in an expression of its own, so its result comes last.
            await gathering.send({"type": "execution_request", "request_id": tag,
                                  "code": f"exec({cell!r}, {{'tag': {tag!r}}}); {tag!r} * 2"})
        frames, messages = await frames_until(gathering, {"execution_result"}, count=3)
        assert len(frames) < len(messages) / 4, "output was not gathered"
        for tag in "abc":
            mine = [m for m in messages if m.get("request_id") == tag]
            # Line by line, in the order written, on the stream it was written to.
            lines = [(m["type"], line) for m in mine if m["type"] in ("stdout", "stderr")
                     for line in m["content"].splitlines(keepends=True)]
            expected = [(stream, f"{tag} {word} {i}\n") for i in range(400)
                        for stream, word in (("stdout", "out"), ("stderr", "err"))]
            # print writes the line end apart from the text: rejoin those pieces.
            joined = []
            for stream, piece in lines:
                if joined and joined[-1][0] == stream and not joined[-1][1].endswith("\n"):
                    joined[-1] = (stream, joined[-1][1] + piece)
                else:
                    joined.append((stream, piece))
            assert joined == expected
            assert [m["type"] for m in mine[-2:]] == ["result_output", "execution_result"]
            assert mine[-1]["result"] == repr(tag * 2)

    @pytest.mark.parametrize("gather", [True, False], ids=["gathered", "one frame each"])
    async def test_surrogates_nuls_and_ten_megabytes_in_one_write(self, hub, gather):
        running = await start_kernel(hub, connection_args={"gather_output": gather})
        cell = ("import sys\n"
                "print('before')\n"
                "sys.stdout.write('lone \\ud800 and \\udfff, nul \\x00 end')\n"
                "sys.stderr.write('err \\x00')\n"
                "sys.stdout.write('x' * 10_000_000)\n"
                "print('after')")
        await running.send({"type": "execution_request", "request_id": "big", "code": cell})
        frames, messages = await frames_until(running, {"execution_result", "execution_error"})
        assert messages[-1]["type"] == "execution_result"
        out = stream_text(messages, "big", "stdout")
        assert out == ("before\nlone \ud800 and \udfff, nul \x00 end" + "x" * 10_000_000 +
                       "after\n")
        assert stream_text(messages, "big", "stderr") == "err \x00"
        kinds = [json.loads(f)["type"] for f in frames]
        assert kinds.count("chunk") == -(-len(kernel_module.json_dumps(
            {"type": "stdout", "content": "x" * 10_000_000, "request_id": "big",
             "workbook_id": running.kernel.workbook_id, "source": "ide"})) //
            kernel_module.CHUNK_SIZE)
        assert all(len(f) <= kernel_module.CHUNK_SIZE for f, k in zip(frames, kinds)
                   if k != "chunk")
        await running.send({"type": "shutdown"})
        await running.finished()


class TestGatheredFrames:
    async def test_a_lone_message_goes_at_once_and_what_waits_goes_as_one_batch(self, gathering):
        await gathering.kernel.send_message({"type": "alone"})
        assert json.loads(await gathering.session.receive_frame()) == {"type": "alone"}
        # Sent in one turn of the loop: the first is written at once, the rest wait for it.
        await asyncio.gather(*(gathering.kernel.send_message({"type": "m", "n": n})
                               for n in range(5)))
        assert json.loads(await gathering.session.receive_frame()) == {"type": "m", "n": 0}
        assert json.loads(await gathering.session.receive_frame()) == {
            "type": "batch", "messages": [{"type": "m", "n": n} for n in range(1, 5)]}

    async def test_no_frame_grows_past_the_chunk_size_and_a_long_message_goes_alone(
            self, gathering):
        size = kernel_module.CHUNK_SIZE
        sends = [{"type": "m", "n": n, "text": "y" * 3000} for n in range(60)]
        sends.insert(30, {"type": "long", "text": "z" * (size + 10)})
        await asyncio.gather(*(gathering.kernel.send_message(m) for m in sends))
        frames, messages = await frames_until(gathering, {"m"}, count=60)
        assert messages == sends
        kinds = [json.loads(f)["type"] for f in frames]
        assert kinds.count("chunk") == 2 and "batch" in kinds
        assert all(len(f) <= size for f, k in zip(frames, kinds) if k != "chunk")

    async def test_what_waits_at_disconnect_still_goes_out(self, gathering):
        sends = [asyncio.ensure_future(gathering.kernel.send_message({"type": "m", "n": n}))
                 for n in range(50)]
        await gathering.kernel.disconnect()
        await asyncio.gather(*sends)
        _, messages = await frames_until(gathering, {"m"}, count=50)
        assert [m["n"] for m in messages] == list(range(50))

    async def test_a_replaced_direct_writer_still_sees_every_message(self, gathering):
        seen = []
        original = gathering.kernel._send_message_direct

        async def recording(message):
            seen.append(message["n"])
            await original(message)

        gathering.kernel._send_message_direct = recording
        await asyncio.gather(*(gathering.kernel.send_message({"type": "m", "n": n})
                               for n in range(20)))
        _, messages = await frames_until(gathering, {"m"}, count=20)
        assert seen == [m["n"] for m in messages] == list(range(20))

    async def test_formula_replies_keep_their_order_in_a_burst(self, gathering, workbook_modules):
        workbook_modules.append("wb_burst")
        await gathering.sync_module("wb_burst", "def double(x):\n    return 2 * x\n")
        for n in range(60):
            await gathering.send({"type": "custom_function_call", "module_name": "wb_burst",
                                  "function_name": "double", "args": [n], "request_id": f"c{n}"})
        _, messages = await frames_until(gathering, {"function_execution_result"}, count=60)
        for n in range(60):
            mine = [m for m in messages if m.get("request_id") == f"c{n}"]
            assert [m["type"] for m in mine] == [
                "result_output", "execution_result", "function_execution_result"]
            assert mine[-1]["result"] == 2 * n and mine[-1]["status"] == "success"


class TestTheHubOpensBatches:
    async def test_spreadsheet_requests_inside_a_batch_are_answered_and_the_rest_kept(self):
        sent = []

        class Connection:
            async def send(self, frame):
                sent.append(json.loads(frame))

        session = KernelSession("Book.xlsx", workbook=SimulatedWorkbook())
        session.connection = Connection()
        out = {"type": "stdout", "content": "x"}
        request = {"type": "sys_request", "payload": {"requestId": "r1", "action": "sheet.active"}}
        rest = await session._answer_requests(
            json.dumps({"type": "batch", "messages": [out, request, out]}))
        assert json.loads(rest) == {"type": "batch", "messages": [out, out]}
        assert await session._answer_requests(json.dumps(request)) is None
        await asyncio.gather(*session._answering)  # each is answered by a task of its own
        assert [m["payload"]["requestId"] for m in sent] == ["r1", "r1"]
        assert sent[0]["payload"]["value"] == "Sheet1"


class TestWithoutTheSettingEveryMessageIsAFrame:
    async def test_default_and_the_environment(self, hub, monkeypatch):
        cell = "for i in range(3): print(i)"
        plain = await start_kernel(hub, "Plain.xlsx")
        await plain.send({"type": "execution_request", "request_id": "p", "code": cell})
        frames, messages = await frames_until(plain, {"execution_result"})
        assert len(frames) == len(messages) == 7
        assert [m["content"] for m in messages[:-1]] == ["0", "\n", "1", "\n", "2", "\n"]

        monkeypatch.setenv("QUORVEL_GATHER_OUTPUT", "1")
        by_environment = await start_kernel(hub, "Env.xlsx")
        refused = await start_kernel(hub, "Refused.xlsx", {"gather_output": False})
        assert by_environment.kernel._frame_gatherer is not None
        assert refused.kernel._frame_gatherer is None
        for running in (plain, by_environment, refused):
            await running.send({"type": "shutdown"})
            await running.finished()
