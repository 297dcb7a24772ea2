"""The read loop and the dispatcher: what reaches which handler, and what is refused."""
import json
import logging

from python_server import kernel as kernel_module

from ..conftest import messages_of


def frame_of_length(length, message_type="probe"):
    """A JSON object frame of exactly `length` characters."""
    empty = json.dumps({"type": message_type, "pad": ""})
    return json.dumps({"type": message_type, "pad": "x" * (length - len(empty))})


async def assert_still_reading(running):
    reply = await running.roundtrip(
        {"type": "update_module", "module_name": "alive", "code": ""}, "module_updated")
    assert reply["module_name"] == "alive"


class TestFrameRefusals:
    async def test_size_limit_is_inclusive(self, kernel_log, running):
        await running.session.send_raw(frame_of_length(kernel_module.MAX_MESSAGE_SIZE))
        await assert_still_reading(running)  # accepted: no error came before this reply
        await running.session.send_raw(frame_of_length(kernel_module.MAX_MESSAGE_SIZE + 1))
        assert await running.receive() == {"type": "error", "message": "Message too large"}
        assert "Message too large: 1048577 bytes" in messages_of(kernel_log, logging.WARNING)
        await assert_still_reading(running)

    async def test_size_counts_characters_not_bytes(self, running):
        """A frame of MAX_MESSAGE_SIZE four-byte characters still reaches the kernel's check."""
        await running.session.send_raw(frame_of_length(kernel_module.MAX_MESSAGE_SIZE + 1)
                                       .replace("x", "\U0001F600"))
        assert await running.receive() == {"type": "error", "message": "Message too large"}
        await assert_still_reading(running)

    async def test_invalid_json(self, running):
        await running.session.send_raw("{not json")
        assert await running.receive() == {"type": "error", "message": "Invalid JSON received"}
        await assert_still_reading(running)


class TestDispatch:
    async def test_unknown_and_missing_types_are_ignored(self, kernel_log, running):
        await running.send({"type": "no_such_type", "request_id": "r1"})
        await running.send({"request_id": "r2"})
        await running.send({"type": "nothing_either"})
        await assert_still_reading(running)
        assert running.session.pending() == 0
        log = messages_of(kernel_log, logging.DEBUG)
        assert "[TIMING] Message received: type=no_such_type, request_id=r1" in log
        assert "[Kernel] [Listener Thread] Received message type: None" in log
        assert "[TIMING] Message received: type=nothing_either, request_id=N/A" in log

    async def test_handle_message_goes_through_the_instance(self, hub):
        """A subclass that overrides handle_message sees every parsed frame."""
        from .conftest import start_kernel

        seen = []

        class Recording(kernel_module.PythonKernel):
            async def handle_message(self, message):
                seen.append(message)
                await kernel_module.PythonKernel.handle_message(self, message)

        running = await start_kernel(hub, kernel_class=Recording)
        await assert_still_reading(running)
        await running.send({"type": "shutdown"})
        await running.finished()
        assert [m["type"] for m in seen] == ["update_module", "shutdown"]

    async def test_shutdown_stops_reading(self, running):
        await running.send({"type": "shutdown"})
        await running.finished()
        assert running.kernel.running is False
        assert running.session.closed.is_set()
