"""``make demo``: a development hub, a kernel process for a sample workbook, and a scripted
session against it, printed as the hub sees it."""

from __future__ import annotations

import asyncio
import json
import sys
import textwrap

from .hub import DevHub

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
