import asyncio

import pytest

from python_server import kernel as kernel_module

WORKBOOK = "Book1.xlsx"


class RunningKernel:
    """A kernel running in this process against the test's hub, and its hub-side session."""

    def __init__(self, kernel, task, session):
        self.kernel, self.task, self.session = kernel, task, session

    async def send(self, message):
        await self.session.send(message)

    async def receive(self, timeout=10):
        return await self.session.receive(timeout)

    async def expect(self, message_type, timeout=10):
        return await self.session.expect(message_type, timeout)

    async def roundtrip(self, message, reply_type):
        await self.send(message)
        return await self.expect(reply_type)

    async def run_cell(self, code, timeout=30, **fields):
        """Sends an execution_request; returns every message up to its result or error."""
        await self.send({"type": "execution_request", "code": code, **fields})
        messages = []
        while True:
            message = await self.receive(timeout)
            messages.append(message)
            if message["type"] in ("execution_result", "execution_error"):
                return messages

    async def sync_module(self, name, code):
        """Pushes a workbook module as the IDE would and waits for the kernel's answer."""
        await self.roundtrip({"type": "update_module", "module_name": name, "code": code},
                             "module_updated")

    async def collect(self, last_types, timeout=30):
        """Messages up to and including the first whose type is in `last_types`."""
        messages = []
        while True:
            message = await self.receive(timeout)
            messages.append(message)
            if message["type"] in last_types:
                return messages

    async def finished(self, timeout=10):
        """Waits for run() to return (after a shutdown or a failure)."""
        await asyncio.wait_for(asyncio.shield(self.task), timeout)


async def start_kernel(hub, workbook_id=WORKBOOK, connection_args=None, kernel_class=None):
    kernel_class = kernel_class or kernel_module.PythonKernel
    kernel = kernel_class(workbook_id, port=str(hub.port), connection_args=connection_args)
    task = asyncio.create_task(kernel.run())
    session = await hub.kernel_ready(workbook_id)
    # The test speaks for the spreadsheet: the hub's answers from the workbook's file are off
    # (a test that wants them sets a workbook of its own).
    session.workbook = None
    # The hub sees the socket before connect() has finished; the first reply proves the kernel
    # reads (listen runs after connect). Invalid JSON is the one request without side effects.
    await session.send_raw("{")
    await session.expect("error")
    return RunningKernel(kernel, task, session)


@pytest.fixture
def workbook_modules():
    """Workbook modules a test syncs, forgotten afterwards."""
    names = []
    yield names
    for name in names:
        kernel_module.in_memory_loader.delete_module(name)


@pytest.fixture
async def running(hub):
    """A connected kernel; shut down at the end of the test if it still runs."""
    running = await start_kernel(hub)
    yield running
    if not running.task.done():
        await running.send({"type": "shutdown"})
        await running.finished()
