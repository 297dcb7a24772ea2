"""The editor's language requests as the hub sees them: replies, what the bridge is handed,
and a listener loop that stays live while the bridge computes."""
import asyncio
import logging
import sys
import threading
import types

import pytest

from python_server import kernel as kernel_module

from ..conftest import messages_of
from .conftest import start_kernel

SALES = "def total(rows):\n    return sum(rows)\n"
REPLY_KEYS = {
    "completion_response": ["completions", "error"],
    "signature_help_response": ["signatures", "activeSignature", "activeParameter", "error"],
    "hover_response": ["contents", "error"],
    "diagnostic_response": ["diagnostics", "error"],
}
ECHOED = {"request_id": "r1", "workbook_id": "Other.xlsx", "module_name": "main"}
# A cold analyser takes seconds on a loaded machine.
SLOW = 60


async def until(condition, seconds=SLOW):
    for _ in range(int(seconds * 100)):
        if condition():
            return
        await asyncio.sleep(0.01)
    assert condition()


class FakeBridge:
    """Records each call and the thread it ran on; answers `results[operation]`."""

    def __init__(self):
        self.calls, self.results, self.gate = [], {}, None

    def _record(self, operation, **arguments):
        self.calls.append((operation, threading.current_thread().name, arguments))
        if self.gate is not None:
            assert self.gate.wait(SLOW)
        result = self.results.get(operation, {})
        if isinstance(result, Exception):
            raise result
        return result

    def warm_up(self):
        self._record("warm_up")

    def get_completions(self, **arguments):
        return self._record("get_completions", **arguments)

    def get_signature_help(self, **arguments):
        return self._record("get_signature_help", **arguments)

    def get_hover(self, **arguments):
        return self._record("get_hover", **arguments)

    def get_diagnostics(self, **arguments):
        return self._record("get_diagnostics", **arguments)

    def set_hover_mode(self, mode):
        self.calls.append(("set_hover_mode", threading.current_thread().name, mode))

    def delete_module(self, module_name):
        pass


@pytest.fixture
async def faked(hub, monkeypatch):
    """A running kernel whose bridge is a FakeBridge (built by its constructor)."""
    monkeypatch.setattr(kernel_module, "LSPBridge", FakeBridge)
    running = await start_kernel(hub)
    yield running
    gate = getattr(running.kernel._lsp_bridge, "gate", None)
    if gate is not None:
        gate.set()  # a failed test may have left the language thread waiting
    await running.send({"type": "shutdown"})
    await running.finished()


async def wait_for_record(kernel_log, start):
    """Until a log line starting with `start` has been written."""
    for _ in range(SLOW * 100):
        if any(m.startswith(start) for m in messages_of(kernel_log, logging.DEBUG)):
            return
        await asyncio.sleep(0.01)
    raise AssertionError(f"no log line {start!r}")


async def nothing_was_sent(running):
    """The next message is the reply to a frame sent now, so nothing came before it."""
    await running.session.send_raw("{")
    assert await running.receive(SLOW) == {"type": "error", "message": "Invalid JSON received"}


class TestRepliesFromTheBridge:
    async def test_a_completion_sees_a_module_just_updated(self, running, workbook_modules):
        workbook_modules.append("sales")
        request = {"type": "completion_request", "code": "import sales\nsales.", "line": 2,
                   "column": 6, **ECHOED}
        await running.sync_module("sales", SALES)
        reply = await running.roundtrip(request, "completion_response")
        assert list(reply) == ["type", *REPLY_KEYS["completion_response"], *ECHOED]
        assert {k: reply[k] for k in ECHOED} == ECHOED
        assert "total" in [item["label"] for item in reply["completions"]]
        await running.sync_module("sales", "def net(rows):\n    pass\n")
        reply = await running.roundtrip(request, "completion_response")
        assert "net" in [item["label"] for item in reply["completions"]]

    @pytest.mark.parametrize("request_type, fields, check", [
        ("signature_help_request", {"code": "len(", "line": 1, "column": 4},
         lambda r: r["signatures"][0]["label"].startswith("len(")),
        ("hover_request", {"code": "len", "line": 1, "column": 1},
         lambda r: r["contents"].startswith("```python\nlen(")),
        ("diagnostic_request", {"code": "import os\n"},
         lambda r: r["diagnostics"][0]["message"] == "'os' imported but unused"),
    ])
    async def test_each_reply_in_its_order(self, running, request_type, fields, check):
        reply_type = request_type.replace("request", "response")
        await running.send({"type": request_type, **fields, **ECHOED})
        reply = await running.expect(reply_type, SLOW)
        assert list(reply) == ["type", *REPLY_KEYS[reply_type], *ECHOED]
        assert reply["error"] is None and check(reply)

    async def test_bad_input_is_answered_with_an_error_and_the_kernel_goes_on(self, running):
        for fields, error in (({"code": 12}, "code must be text, not int"),
                              ({"code": "x", "line": 4}, "line 4 is outside the text")):
            reply = await running.roundtrip({"type": "hover_request", **fields}, "hover_response")
            assert reply["contents"] is None and reply["error"].startswith(error)
        # An echoed lone surrogate still goes out (escaped), and the kernel reads on.
        reply = await running.roundtrip({"type": "diagnostic_request", "request_id": "\ud800"},
                                        "diagnostic_response")
        assert reply["request_id"] == "\ud800" and reply["error"] is None
        reply = await running.roundtrip({"type": "diagnostic_request"}, "diagnostic_response")
        assert reply["diagnostics"] == [] and reply["error"] is None

    async def test_a_package_path_given_to_the_bridge_completes(self, running, tmp_path):
        (tmp_path / "tinypkg").mkdir()
        (tmp_path / "tinypkg" / "__init__.py").write_text("def shout(text):\n    pass\n")
        running.kernel._lsp_bridge.update_sys_paths([str(tmp_path)])
        reply = await running.roundtrip(
            {"type": "completion_request", "code": "import tinypkg\ntinypkg.", "line": 2,
             "column": 8}, "completion_response")
        assert "shout" in [item["label"] for item in reply["completions"]]


class TestWhatTheBridgeIsHanded:
    async def test_defaults_and_a_copy_of_the_module_sources(self, kernel_log, faked,
                                                              workbook_modules):
        workbook_modules.append("sales")
        bridge = faked.kernel._lsp_bridge
        bridge.results["get_completions"] = {"error": "no analyser"}
        await faked.sync_module("sales", SALES)
        for request_type in ("completion_request", "signature_help_request", "hover_request"):
            await faked.send({"type": request_type})
        assert [await faked.receive(SLOW) for _ in range(3)] == [
            {"type": "completion_response", "completions": [], "error": "no analyser",
             "request_id": None, "workbook_id": None, "module_name": None},
            {"type": "signature_help_response", "signatures": [], "activeSignature": 0,
             "activeParameter": 0, "error": None, "request_id": None, "workbook_id": None,
             "module_name": None},
            {"type": "hover_response", "contents": None, "error": None, "request_id": None,
             "workbook_id": None, "module_name": None}]
        cache = kernel_module.in_memory_loader.source_cache
        for operation, _, arguments in [c for c in bridge.calls if c[0] != "warm_up"]:
            modules = arguments.pop("modules")
            assert modules == cache and modules is not cache
            assert arguments == {"code": "", "line": 1, "column": 0, "path": None,
                                 "dirty_files": None}
        assert "[LSP] Request received: line=1, column=0, path=None, code_length=0, " \
               "dirty_files=0" in messages_of(kernel_log, logging.DEBUG)

    async def test_the_first_request_runs_then_the_warm_up_on_one_thread_off_the_loop(
            self, faked):
        await asyncio.sleep(0.2)
        assert faked.kernel._lsp_bridge.calls == []  # nothing loads at connect
        await faked.roundtrip({"type": "diagnostic_request", "code": "x", "module_name": "m"},
                              "diagnostic_response")
        calls = faked.kernel._lsp_bridge.calls
        await until(lambda: len(calls) == 2)
        assert [(c[0], c[2]) for c in calls] == [
            ("get_diagnostics", {"code": "x", "module_name": "m"}), ("warm_up", {})]
        assert calls[0][1] == calls[1][1] != threading.current_thread().name
        await faked.roundtrip({"type": "diagnostic_request", "code": "y", "module_name": "m"},
                              "diagnostic_response")
        assert [c[0] for c in calls] == ["get_diagnostics", "warm_up", "get_diagnostics"]

    async def test_the_hubs_word_warms_up_and_a_request_meanwhile_waits_one_step(
            self, hub, monkeypatch, kernel_log):
        first_step_may_end = threading.Event()

        class SteppedBridge(FakeBridge):
            def warm_up_steps(self):
                return [lambda: (self._record("step 1"), first_step_may_end.wait(SLOW)),
                        lambda: self._record("step 2")]

        monkeypatch.setattr(kernel_module, "LSPBridge", SteppedBridge)
        running = await start_kernel(hub)
        try:
            calls = running.kernel._lsp_bridge.calls
            await running.send({"type": "language_services_wanted"})
            await running.send({"type": "language_services_wanted"})  # once is enough
            await until(lambda: len(calls) == 1)
            await running.send({"type": "diagnostic_request", "code": "x", "module_name": "m"})
            await wait_for_record(kernel_log, "[LSP] Diagnostic request: code_length=1")
            first_step_may_end.set()
            await running.expect("diagnostic_response")
            await until(lambda: len(calls) == 3)
            await asyncio.sleep(0.1)
            assert [c[0] for c in calls] == ["step 1", "get_diagnostics", "step 2"]
        finally:
            first_step_may_end.set()
            await running.send({"type": "shutdown"})
            await running.finished()

    async def test_a_raising_bridge_is_logged_and_answered_with_nothing(self, kernel_log, faked):
        faked.kernel._lsp_bridge.results["get_hover"] = RuntimeError("analyser broke")
        await faked.send({"type": "hover_request"})
        await nothing_was_sent(faked)
        assert "[LSP] Hover request failed: analyser broke" in \
            messages_of(kernel_log, logging.ERROR)
        faked.kernel._lsp_bridge.results["get_hover"] = {"contents": "ok"}
        assert (await faked.roundtrip({"type": "hover_request"}, "hover_response"))["contents"] \
            == "ok"

    async def test_hover_mode_is_set_and_confirmed(self, kernel_log, faked):
        reply = await faked.roundtrip({"type": "set_hover_mode"}, "hover_mode_updated")
        assert reply == {"type": "hover_mode_updated", "mode": "compact",
                         "workbook_id": "Book1.xlsx"}
        assert faked.kernel._lsp_bridge.calls[-1][::2] == ("set_hover_mode", "compact")
        faked.kernel._lsp_bridge = None
        await faked.send({"type": "set_hover_mode", "mode": "full"})
        await nothing_was_sent(faked)
        assert "[Kernel] LSP Bridge not available for hover mode change" in \
            messages_of(kernel_log, logging.WARNING)


class TestTheLoopStaysLive:
    async def test_output_streams_while_a_completion_computes_and_frames_wait_their_turn(
            self, faked, monkeypatch, workbook_modules):
        workbook_modules.append("late")
        cell_done = threading.Event()
        monkeypatch.setitem(sys.modules, "lsp_test_gate", types.SimpleNamespace(done=cell_done))
        bridge = faked.kernel._lsp_bridge
        bridge.gate = threading.Event()
        await faked.send({"type": "execution_request", "request_id": "cell", "code":
                          "import lsp_test_gate, time\n"
                          "while not lsp_test_gate.done.wait(0.01):\n"
                          "    print('tick')\n"})
        try:
            assert (await faked.expect("stdout", SLOW))["content"] == "tick"
            await faked.send({"type": "completion_request", "request_id": "slow"})
            await faked.send({"type": "update_module", "module_name": "late", "code": ""})
            # The bridge is held: the cell's output keeps coming, the next frame waits.
            for _ in range(20):
                message = await faked.receive(SLOW)
                assert message["type"] == "stdout", message
        finally:
            bridge.gate.set()
            cell_done.set()
        after = [m["type"] for m in await faked.collect({"execution_result"}, SLOW)]
        after = [t for t in after if t != "stdout"]
        if "module_updated" not in after:
            after += [m["type"] for m in await faked.collect({"module_updated"}, SLOW)]
        assert after.index("completion_response") < after.index("module_updated")
