"""Output of user code while the hub does not read: writers wait, the channel stays bounded, and
nothing is lost once the hub reads again."""
import asyncio

import pytest

from python_server import kernel as kernel_module

from ..conftest import scaled
from .conftest import start_kernel

LINES = 8000  # 32 MB: more than the socket buffers and the channel together
CELL = f"for i in range({LINES}):\n    print(f'{{i:06d}}' + 'x' * 4000)\n"


class TestAWriterWaitsForTheHub:
    @pytest.mark.parametrize("connection_args", [None, {"gather_output": True}])
    async def test_the_channel_stays_bounded_and_every_line_arrives_before_the_result(
            self, hub, connection_args):
        running = await start_kernel(hub, connection_args=connection_args)
        limit = kernel_module.MAX_QUEUED_OUTPUT
        channel = running.kernel._output_channel
        running.session.pause_reading()
        try:
            await running.send({"type": "execution_request", "code": CELL, "request_id": "flood"})
            # The socket's buffers fill first; then the writer waits with the channel full.
            line = running.kernel.executor.locals.get
            deadline = asyncio.get_running_loop().time() + scaled(60)
            before = None
            while before is None or line("i") != before:
                assert asyncio.get_running_loop().time() < deadline, "the writer never waited"
                before = line("i")
                for _ in range(6):
                    await asyncio.sleep(0.05)
                    assert channel.queued <= limit
            # The loop went on into the socket's buffers; the writer waits until half is sent.
            assert before < LINES - 1 and channel.queued > kernel_module.RESUME_QUEUED_OUTPUT
            print("written on the loop's thread")  # never waits: the loop is what drains
            assert channel.queued > 0
        finally:
            running.session.resume_reading()
        text = []
        while True:
            message = await running.receive(timeout=scaled(60))
            if message.get("request_id") != "flood":
                continue
            if message["type"] == "execution_result":
                break
            text.append(message["content"])
        assert "".join(text) == "".join(f"{i:06d}" + "x" * 4000 + "\n" for i in range(LINES))
        await running.send({"type": "shutdown"})
        await running.finished()
