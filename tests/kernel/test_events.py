"""Spreadsheet event handlers, and the COM event registrar's side of them."""
import logging
import textwrap

import pytest

from ..conftest import messages_of

WB = "Book1.xlsx"
HANDLERS = textwrap.dedent("""\
    def on_change(address, value):
        print("changed", address)
        return {"handled": value}

    def broken(*args):
        raise RuntimeError("handler broke")
""")


class RecordingRegistrar:
    """Stands in for the COM event registrar: records what the kernel hands it."""

    def __init__(self, fail_first=False):
        self.responses, self.configs, self.fail_first = [], [], fail_first

    def deliver_com_response(self, request_id, response):
        self.responses.append((request_id, response))
        if self.fail_first and len(self.responses) == 1:
            raise OSError("COM gone")

    def apply_config(self, config):
        self.configs.append(config)

    def stop(self):
        pass


def event(function, request_id="e1", **extra):
    return {"type": "event_execution", "module_name": "handlers", "function_name": function,
            "args": ["B2", 7], "request_id": request_id, "object_name": "Sheet1",
            "event_type": "Change", "object_type": "Worksheet", **extra}


@pytest.fixture
async def handlers(running, workbook_modules):
    workbook_modules.append("handlers")
    await running.sync_module("handlers", HANDLERS)
    return running


class TestEventResults:
    async def test_success_reply_and_streamed_output(self, kernel_log, handlers):
        await handlers.send(event("on_change"))
        messages = await handlers.collect(("event_execution_result",))
        assert messages[0] == {"type": "stdout", "content": "changed", "request_id": "e1",
                               "workbook_id": WB, "source": "addin"}
        assert messages[-1] == {"type": "event_execution_result", "status": "success",
                                "logs": "changed B2\n", "error": None, "request_id": "e1",
                                "module_name": "handlers", "function_name": "on_change",
                                "workbook_id": WB}
        assert ("[Kernel] [Async Task] Received event_execution: handlers.on_change "
                "(object=Worksheet/Sheet1, event=Change)") in messages_of(kernel_log, logging.INFO)

    async def test_failure_reply_carries_the_traceback(self, handlers):
        await handlers.send(event("broken", workbook_id="Other.xlsx"))
        reply = (await handlers.collect(("event_execution_result",)))[-1]
        assert reply["status"] == "error" and reply["workbook_id"] == "Other.xlsx"
        assert reply["error"].endswith("RuntimeError: handler broke\n")
        assert reply["error"] in reply["logs"]

    async def test_missing_names_are_dropped_silently(self, kernel_log, handlers):
        await handlers.send({"type": "event_execution", "module_name": "handlers"})
        await handlers.roundtrip({"type": "delete_module", "module_name": "x"}, "module_deleted")
        assert "[Kernel] event_execution missing module_name or function_name" in \
            messages_of(kernel_log, logging.ERROR)


class TestComRegistrar:
    async def test_com_events_get_the_raw_return_value(self, handlers):
        handlers.kernel._com_event_registrar = registrar = RecordingRegistrar()
        await handlers.send(event("on_change", is_com=True))
        reply = (await handlers.collect(("event_execution_result",)))[-1]
        assert "return_value" not in reply
        assert registrar.responses == [("e1", {"status": "ok", "return_value": {"handled": 7}})]
        await handlers.send(event("broken", request_id="e2", is_com=True))
        await handlers.collect(("event_execution_result",))
        assert registrar.responses[-1] == ("e2", {"status": "nok"})

    async def test_other_events_never_reach_the_registrar(self, handlers):
        handlers.kernel._com_event_registrar = registrar = RecordingRegistrar()
        await handlers.send(event("on_change"))
        await handlers.collect(("event_execution_result",))
        assert registrar.responses == []

    async def test_a_failed_delivery_is_followed_by_nok(self, kernel_log, handlers):
        handlers.kernel._com_event_registrar = registrar = RecordingRegistrar(fail_first=True)
        await handlers.send(event("on_change", is_com=True))
        reply = (await handlers.collect(("event_execution_result",)))[-1]
        assert reply["status"] == "success"
        assert [r[1]["status"] for r in registrar.responses] == ["ok", "nok"]
        assert "[Kernel] Error delivering COM event response: COM gone" in \
            messages_of(kernel_log, logging.ERROR)

    async def test_config_updates_go_to_the_registrar_without_reply(self, kernel_log, handlers):
        await handlers.send({"type": "com_event_config_update",
                             "com_config": {"SheetChange": True}})
        await handlers.roundtrip({"type": "delete_module", "module_name": "x"}, "module_deleted")
        handlers.kernel._com_event_registrar = registrar = RecordingRegistrar()
        await handlers.send({"type": "com_event_config_update", "com_config": {"x": 1}})
        await handlers.roundtrip({"type": "delete_module", "module_name": "x"}, "module_deleted")
        assert registrar.configs == [{"x": 1}]
        assert "[Kernel] com_event_config_update received but registrar not active" in \
            messages_of(kernel_log, logging.DEBUG)

    async def test_a_windows_connection_here_announces_events_and_runs_without_com(
            self, kernel_log, hub):
        from python_server import kernel as kernel_module
        import asyncio
        k = kernel_module.PythonKernel("Win.xlsx", port=str(hub.port),
                                       connection_args={"platform": "win32"})
        task = asyncio.create_task(k.run())
        session = await hub.wait_for_kernel("Win.xlsx")
        await session.expect("win32_event_definitions")
        running = type("Running", (), {})()
        running.kernel, running.session = k, session
        await session.send({"type": "delete_module", "module_name": "x"})
        await session.expect("module_deleted")
        # The watcher was made but could not start here; the registrar was never made.
        assert running.kernel._com_event_registrar is None
        warnings = messages_of(kernel_log, logging.WARNING)
        assert any(w.startswith("[Kernel] Could not start Win32 COM watcher: ") for w in warnings)
        await session.send({"type": "shutdown"})
        await task

    async def test_the_definitions_come_first(self, hub):
        from python_server.win32_com import get_win32_events_dictionary
        from python_server import kernel as kernel_module
        import asyncio
        k = kernel_module.PythonKernel("Win.xlsx", port=str(hub.port),
                                       connection_args={"platform": "win32"})
        task = asyncio.create_task(k.run())
        session = await hub.wait_for_kernel("Win.xlsx")
        assert await session.receive() == {"type": "win32_event_definitions",
                                           "definitions": get_win32_events_dictionary()}
        await session.send({"type": "shutdown"})
        await task
