"""Output as the hub and the console see it: one message per write, in order, from executions
and from anywhere else in the process."""
import io
import sys

import pytest

from python_server import kernel as kernel_module

from .conftest import start_kernel

WB = "Book1.xlsx"


class TestStreamClasses:
    @pytest.mark.parametrize("make", [lambda: kernel_module.StreamCapture(),
                                      lambda: kernel_module.KernelStreamHook("stdout", None)])
    def test_they_are_text_streams(self, make):
        stream = make()
        assert isinstance(stream, io.TextIOBase)
        assert (stream.writable(), stream.readable(), stream.isatty()) == (True, False, False)
        assert stream.encoding == "utf-8"
        with pytest.raises(io.UnsupportedOperation):
            stream.fileno()
        with pytest.raises(TypeError, match="must be str, not bytes"):
            stream.write(b"x")

    def test_capture_keeps_text_and_calls_back(self):
        seen = []
        capture = kernel_module.StreamCapture(on_write=seen.append)
        assert capture.write("") == 0
        assert capture.write("ab") == 2
        capture.writelines(["c", "d"])
        assert (capture.getvalue(), seen) == ("abcd", ["ab", "c", "d"])

    def test_hook_writes_to_its_original_stream_and_sends(self, monkeypatch):
        original = io.StringIO()
        monkeypatch.setattr(sys, "stderr", original)
        sent = []
        hook = kernel_module.KernelStreamHook("stderr",
                                              lambda kind, text: sent.append((kind, text)))
        assert hook.write("") == 0
        assert hook.write("warn") == 4
        assert (original.getvalue(), sent) == ("warn", [("stderr", "warn")])

    def test_hook_reports_a_failing_send_on_the_console(self, monkeypatch):
        original = io.StringIO()
        monkeypatch.setattr(sys, "stdout", original)

        def failing(kind, text):
            raise ConnectionError("socket gone")

        hook = kernel_module.KernelStreamHook("stdout", failing)
        assert hook.write("x") == 1
        assert original.getvalue() == "x[KernelStreamHook Error] socket gone\n"


class TestExecutionOutput:
    async def test_a_hundred_thousand_writes_arrive_in_order_before_the_result(self, running):
        code = ("import sys\nfor i in range(50000):\n    sys.stdout.write(str(i))\n"
                "    sys.stdout.write('|')\n")
        messages = await running.run_cell(code, request_id="load", timeout=120)
        assert messages[-1]["type"] == "execution_result"
        contents = [m["content"] for m in messages[:-1]]
        assert len(contents) == 100_000
        assert contents[0::2] == [str(i) for i in range(50000)]
        assert set(contents[1::2]) == {"|"}
        assert all(m["request_id"] == "load" for m in messages)

    async def test_concurrent_cells_keep_their_own_output(self, running):
        code = ("import time\nfor i in range(5):\n    print('{name}', i)\n    time.sleep(0.01)\n")
        for name in ("a", "b", "c"):
            await running.send({"type": "execution_request", "code": code.format(name=name),
                                "request_id": name})
        by_request, done = {}, set()
        while len(done) < 3:
            message = await running.receive()
            if message["type"] == "execution_result":
                done.add(message["request_id"])
            else:
                by_request.setdefault(message["request_id"], []).append(message["content"])
        for name in ("a", "b", "c"):
            assert "".join(by_request[name]) == "".join(f"{name} {i}\n" for i in range(5))
        assert not isinstance(sys.stdout, kernel_module.StreamCapture)


class TestProcessWideHooks:
    """The kernel is started inside each test: pytest puts its own capture back as sys.stdout
    between a fixture's set-up and the test, which would undo the kernel's hooks."""

    async def test_output_outside_executions_goes_through_the_hooks(self, hub, capfd):
        running = await start_kernel(hub)
        code = ("import threading\nt = threading.Thread(target=lambda: print('from a thread'))\n"
                "t.start(); t.join()")
        messages = await running.run_cell(code, request_id="bg")
        stream = [m for m in messages if m["type"] == "stdout"]
        assert stream == [{"type": "stdout", "content": "from a thread", "workbook_id": WB},
                          {"type": "stdout", "content": "\n", "workbook_id": WB}]
        print("on the loop thread")  # an inline handler's print: sent without blocking
        assert await running.receive() == {"type": "stdout", "content": "on the loop thread",
                                           "workbook_id": WB}
        assert "from a thread" in capfd.readouterr().out
        await running.send({"type": "shutdown"})
        await running.finished()

    async def test_disconnect_restores_the_streams(self, hub):
        running = await start_kernel(hub)
        assert isinstance(sys.stdout, kernel_module.KernelStreamHook)
        assert isinstance(sys.stderr, kernel_module.KernelStreamHook)
        await running.send({"type": "shutdown"})
        await running.finished()
        assert sys.stdout is running.kernel._original_stdout
        assert sys.stderr is running.kernel._original_stderr
