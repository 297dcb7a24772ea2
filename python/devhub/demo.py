"""``make demo``: a development hub, a kernel process for a sample workbook, and a scripted
session against it, printed as the hub sees it."""

from __future__ import annotations

import asyncio
import json
import sys
import textwrap

from .hub import DevHub
from .workbook import SimulatedWorkbook

WORKBOOK = "Sales.xlsx"
MODULE_SOURCE = textwrap.dedent(
    """\
    def total(values):
        return sum(values)
    """
)


def show(who: str, text: str) -> None:
    print(f"{who:<8} {text}", flush=True)


def brief(message: dict) -> str:
    text = json.dumps(message)
    return text if len(text) <= 100 else text[:97] + "..."


CELLS = [
    ("prints while it works",
     "import time\nfor step in range(3):\n    print(f'step {step} done')\n    time.sleep(0.2)"),
    ("a trailing expression", "rows = [3, 4, 5]; sum(rows) * 2"),
    ("a failing cell", "1 / 0"),
    ("reads and writes the sheet",
     "excel.range('A1:A3').value = [[10], [20], [30]]; "
     "sum(row[0] for row in excel.range('A1:A3').value)"),
]


async def run_cell(kernel, title: str, code: str, request_id: str) -> None:
    first_line, more = code.splitlines()[0], " ..." if "\n" in code else ""
    show("ide", f"run cell ({title}): {first_line}{more}")
    await kernel.send({"type": "execution_request", "code": code, "request_id": request_id})
    line = ""
    while True:
        message = await kernel.receive()
        kind = message["type"]
        if kind == "stdout":
            line += message["content"]
            if line.endswith("\n"):
                show("console", line.rstrip("\n"))
                line = ""
        elif kind == "result_output":
            show("console", message["content"].rstrip("\n"))
        elif kind == "execution_result":
            show("kernel", f"execution_result {request_id}: {message['result']!r}")
            return
        elif kind == "execution_error":
            error = message["error"]
            show("kernel", f"execution_error {request_id}: {error['type']}: {error['message']}")
            return
        else:
            show("kernel", brief(message))


async def demo() -> int:
    async with DevHub() as hub:
        show("hub", f"listening on {hub.url}")
        process = await hub.launch_kernel(WORKBOOK, {"platform": "web"})
        show("hub", f"launched a kernel for {WORKBOOK} (pid {process.pid})")
        try:
            kernel = await hub.wait_for_kernel(WORKBOOK, timeout=30)
            show("kernel", f"connected at /ws/kernel/{WORKBOOK}")

            update = {"type": "update_module", "module_name": "sales", "code": MODULE_SOURCE}
            show("ide", f"update_module sales ({len(MODULE_SOURCE.splitlines())} lines)")
            await kernel.send(update)
            show("kernel", brief(await kernel.receive()))

            large = {"type": "update_module", "module_name": "big_table",
                     "code": "ROWS = " + repr(list(range(30_000))) + "\n"}
            show("ide", f"update_module big_table ({len(large['code']):,} characters)")
            await kernel.send(large)
            show("kernel", brief(await kernel.receive()))

            show("ide", "update_module without a module name")
            await kernel.send({"type": "update_module", "code": "x = 1"})
            show("kernel", brief(await kernel.receive()))

            kernel.workbook = workbook = SimulatedWorkbook(["Sales"])
            for n, (title, code) in enumerate(CELLS, 1):
                await run_cell(kernel, title, code, f"cell-{n}")
            show("sheet", f"Sales!A1:A3 now holds {[workbook.sheets['Sales'].get((r, 1)) for r in (1, 2, 3)]}")

            show("ide", "delete_module sales")
            await kernel.send({"type": "delete_module", "module_name": "sales"})
            show("kernel", brief(await kernel.receive()))

            show("hub", "shutdown")
            await kernel.send({"type": "shutdown"})
            code = await process.wait(timeout=15)
            show("kernel", f"exited with code {code}")
            return code
        finally:
            await process.kill()


def main() -> None:
    sys.exit(asyncio.run(demo()))


if __name__ == "__main__":
    main()
