"""The outbound path and the batcher, as the hub receives them."""
import json
import logging

import pytest

from python_server import kernel as kernel_module

from ..conftest import messages_of


class TestSendMessage:
    async def test_before_connect_is_dropped_with_a_warning(self, kernel_log):
        k = kernel_module.PythonKernel("wb")
        await k.send_message({"type": "stdout", "content": "x"})
        await k.send_message({"content": "no type"})
        warnings = messages_of(kernel_log, logging.WARNING)
        assert warnings == [
            "[Kernel] Cannot send message type 'stdout': WebSocket not connected",
            "[Kernel] Cannot send message type 'unknown': WebSocket not connected",
        ]

    async def test_without_a_socket_lock_is_dropped_with_a_warning(self, kernel_log):
        k = kernel_module.PythonKernel("wb")
        k.websocket = object()
        await k.send_message({"type": "stdout"})
        assert messages_of(kernel_log, logging.WARNING) == [
            "[Kernel] Cannot send message type 'stdout': Socket lock not initialized"]

    async def test_serialisation_errors_reach_the_sender(self, running):
        with pytest.raises(TypeError):
            await running.kernel.send_message({"type": "bad", "value": object()})
        await running.kernel.send_message({"type": "good"})
        assert await running.receive() == {"type": "good"}

    async def test_after_disconnect_the_closed_socket_raises(self, running):
        await running.send({"type": "shutdown"})
        await running.finished()
        from websockets.exceptions import ConnectionClosed
        with pytest.raises(ConnectionClosed):
            await running.kernel.send_message({"type": "late"})

    async def test_order_of_one_sender_is_kept(self, running):
        for n in range(200):
            await running.kernel.send_message({"type": "n", "n": n})
        assert [(await running.receive())["n"] for _ in range(200)] == list(range(200))

    async def test_a_replaced_direct_writer_sees_every_message(self, running):
        seen = []
        original = running.kernel._send_message_direct

        async def recording(message):
            seen.append(message["type"])
            await original(message)

        running.kernel._send_message_direct = recording
        await running.send({"type": "update_module", "module_name": "", "code": ""})
        await running.expect("error")
        assert seen == ["error"]

    def test_json_dumps_is_compact_utf8_with_orjson(self):
        message = {"type": "t", "text": "é\U0001F600", "n": [1, 2.5, None, True]}
        text = kernel_module.json_dumps(message)
        assert json.loads(text) == message
        assert text == json.dumps(message, ensure_ascii=False, separators=(",", ":"))


class TestMessageBatcher:
    async def test_flush_sends_one_message_alone_and_several_as_a_batch(self, running):
        batcher = kernel_module.MessageBatcher(running.kernel)
        await batcher.enqueue({"type": "one"})
        await batcher._flush_now()
        assert await running.receive() == {"type": "one"}
        for n in range(3):
            await batcher.enqueue({"type": "m", "n": n})
        await batcher._flush_now()
        batch = json.loads(await running.session.receive_frame())
        assert batch == {"type": "batch", "messages": [{"type": "m", "n": n} for n in range(3)]}
        await batcher._flush_now()
        assert running.session.pending() == 0

    async def test_running_batcher_flushes_on_its_own_and_stop_loses_nothing(self, running):
        batcher = running.kernel._batcher
        assert batcher.FLUSH_INTERVAL == 0.01
        await batcher.enqueue({"type": "a"})
        await batcher.enqueue({"type": "b"})
        assert json.loads(await running.session.receive_frame()) == {
            "type": "batch", "messages": [{"type": "a"}, {"type": "b"}]}
        await batcher.stop()
        await batcher.enqueue({"type": "late"})
        await batcher.stop()  # stopping again flushes what came in between
        assert await running.receive() == {"type": "late"}
        assert batcher._flush_task.done()
