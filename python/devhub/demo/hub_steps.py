"""The first half of ``make demo``: a development hub, a kernel process for a sample workbook,
and a scripted session against it, printed as the hub sees it (the IDE's and the spreadsheet's
requests, the kernel's answers and the console lines they make)."""

from __future__ import annotations

import json
import sys
import textwrap
from pathlib import Path

from websockets.asyncio.client import connect
from websockets.exceptions import InvalidStatus

from . import ide_steps, live_steps, sheet_steps
from ..access import IDE_PATH, KERNEL_PATH
from ..background import BackgroundHub
from ..hub import DevHub
from ..kernel_session import KernelSession
from ..sheet_requests import SimulatedWorkbook

WORKBOOK = "Sales.xlsx"
SALES_MODULE = textwrap.dedent(
    """\
    import time

    def total(rows):
        \"\"\"A worksheet function: =TOTAL(A1:B2).\"\"\"
        print(f"adding {len(rows)} rows")
        return sum(sum(row) for row in rows)

    def countdown(n):
        \"\"\"A streaming worksheet function: one value per second tick.\"\"\"
        for i in range(n, 0, -1):
            time.sleep(0.2)
            yield i

    def on_change(address, value):
        print(f"{address} changed to {value}")
    """
)

CELLS = [
    ("prints while it works",
     "import time\nfor step in range(3):\n    print(f'step {step} done')\n    time.sleep(0.2)"),
    ("a trailing expression", "rows = [3, 4, 5]; sum(rows) * 2"),
    ("a failing cell", "1 / 0"),
    ("reads and writes the sheet",
     "excel.range('A1:A3').value = [[10], [20], [30]]; "
     "sum(row[0] for row in excel.range('A1:A3').value)"),
    ("registers a callable", "double_id = quorvel.messaging.register_callable(lambda x: x * 2)"),
]


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


def brief(message: dict) -> str:
    text = json.dumps(message)
    return text if len(text) <= 110 else text[:107] + "..."


class Console:
    """Joins "stdout" writes into lines, as the IDE console shows them."""

    def __init__(self) -> None:
        self.line = ""

    def take(self, message: dict) -> bool:
        if message["type"] not in ("stdout", "stderr"):
            return False
        self.line += message["content"]
        while "\n" in self.line:
            text, self.line = self.line.split("\n", 1)
            show("console", text)
        return True


async def until(kernel: KernelSession, final_types: tuple, label: str = "kernel") -> dict:
    """Shows what the kernel sends up to the first message of `final_types`, and returns it."""
    console = Console()
    while True:
        message = await kernel.receive()
        if console.take(message):
            continue
        if message["type"] == "result_output":
            show("console", message["content"].rstrip("\n"))
            continue
        show(label, brief(message))
        if message["type"] in final_types:
            return message


async def sync_modules(kernel: KernelSession) -> None:
    show("ide", f"update_module sales ({len(SALES_MODULE.splitlines())} lines)")
    await kernel.send({"type": "update_module", "module_name": "sales", "code": SALES_MODULE})
    await until(kernel, ("module_updated",))
    table = "ROWS = " + repr(list(range(30_000))) + "\n"
    show("ide", f"update_module big_table ({len(table):,} characters)")
    await kernel.send({"type": "update_module", "module_name": "big_table", "code": table})
    await until(kernel, ("module_updated",))
    show("ide", "update_module without a module name")
    await kernel.send({"type": "update_module", "code": "x = 1"})
    await until(kernel, ("error",))


async def run_cells(kernel: KernelSession) -> None:
    for n, (title, code) in enumerate(CELLS, 1):
        first_line, more = code.splitlines()[0], " ..." if "\n" in code else ""
        show("ide", f"run cell ({title}): {first_line}{more}")
        await kernel.send({"type": "execution_request", "code": code, "request_id": f"cell-{n}"})
        await until(kernel, ("execution_result", "execution_error"))


async def call_from_the_sheet(kernel: KernelSession, workbook: SimulatedWorkbook) -> None:
    show("sheet", "=TOTAL(A1:B2) over [[1, 2], [3, 4]]")
    await kernel.send({"type": "custom_function_call", "module_name": "sales",
                       "function_name": "total", "args": [[[1, 2], [3, 4]]],
                       "request_id": "formula-1", "workbook_id": WORKBOOK})
    await until(kernel, ("function_execution_result",))

    show("sheet", "=COUNTDOWN(3), streamed")
    await kernel.send({"type": "execute_streaming_function", "request_id": "stream-1",
                       "module_name": "sales", "function_name": "countdown", "args": [3]})
    while not (await until(kernel, ("streaming_function_result",)))["done"]:
        pass

    show("sheet", "=COUNTDOWN(5), cancelled after two values")
    await kernel.send({"type": "execute_streaming_function", "request_id": "stream-2",
                       "module_name": "sales", "function_name": "countdown", "args": [5]})
    for _ in range(2):
        await until(kernel, ("streaming_function_result",))
    await kernel.send({"type": "cancel_streaming_function", "request_id": "stream-2"})
    await until(kernel, ("streaming_function_result",))

    await kernel.send({"type": "execution_request", "code": "double_id",
                       "function_name": "lookup", "request_id": "lookup"})
    callable_id = (await until(kernel, ("execution_result",), label="ide"))["result"]
    show("sheet", f"invoke the registered callable {callable_id[:8]}... with 21")
    await kernel.send({"type": "python_function_call", "callable_id": callable_id,
                       "args": [21], "request_id": "callable-1", "workbook_id": WORKBOOK})
    await until(kernel, ("python_function_result",))

    show("sheet", "Sales!B2 changed: event handler sales.on_change")
    await kernel.send({"type": "event_execution", "module_name": "sales",
                       "function_name": "on_change", "args": ["B2", 99], "request_id": "event-1",
                       "object_name": "Sales", "event_type": "Change", "object_type": "Worksheet"})
    await until(kernel, ("event_execution_result",))


async def who_gets_in(hub: DevHub) -> None:
    """Connections that lack the token, or come from a web page, or would take the workbook's
    kernel socket, are refused before their handshake completes."""
    attempts = [("no token", f"{hub.url}{IDE_PATH}", {}),
                ("a guessed token", f"{hub.url}{IDE_PATH}?token=guessed", {}),
                ("the token, from a web page", f"{hub.url}{IDE_PATH}",
                 {**hub.auth_headers, "Origin": "http://evil.example"}),
                ("a second kernel for the workbook", f"{hub.url}{KERNEL_PATH}{WORKBOOK}",
                 hub.auth_headers)]
    for what, url, headers in attempts:
        try:
            async with connect(url, additional_headers=headers, open_timeout=10):
                outcome = "let in (it should not have been)"
        except InvalidStatus as refused:
            outcome = f"refused: HTTP {refused.response.status_code}"
        show("hub", f"a connection with {what}: {outcome}")


async def hub_session(hub: DevHub) -> int:
    """What the spreadsheet and the IDE send, and the kernel's answers, as the hub sees them."""
    show("hub", f"listening on {hub.url}; its token is in {hub.hub_file}")
    process = await hub.launch_kernel(WORKBOOK, {"platform": "web"})
    show("hub", f"launched a kernel for {WORKBOOK} (pid {process.pid}), the token in its "
                "environment")
    try:
        kernel = await hub.wait_for_kernel(WORKBOOK, timeout=30)
        show("kernel", f"connected at /ws/kernel/{WORKBOOK}")
        await who_gets_in(hub)
        await sync_modules(kernel)

        kernel.workbook = workbook = SimulatedWorkbook(["Sales"])
        await run_cells(kernel)
        cells = [workbook.sheets["Sales"].get((row, 1)) for row in (1, 2, 3)]
        show("sheet", f"Sales!A1:A3 now holds {cells}")

        await call_from_the_sheet(kernel, workbook)

        show("ide", "delete_module sales")
        await kernel.send({"type": "delete_module", "module_name": "sales"})
        await until(kernel, ("module_deleted",))

        show("hub", "shutdown")
        await kernel.send({"type": "shutdown"})
        code = await process.wait(timeout=15)
        show("kernel", f"exited with code {code}")
        return code
    finally:
        await process.kill()


def main() -> None:
    background = BackgroundHub()
    try:
        code = background.call(hub_session(background.hub), timeout=180)
        print(flush=True)
        ide_steps.run(background, Path("build") / "demo-ide.png")
        print(flush=True)
        sheet_steps.run(background, Path("build") / "demo-sheet.png")
        live_steps.run(background, Path("build") / "demo-live-sheet.png",
                       Path("build") / "demo-panels.png")
    finally:
        background.stop()
    sys.exit(code)
