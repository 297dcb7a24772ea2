"""A development hub in a process of its own with one workbook file open, for
bench/workbook_save.py: ``python bench/workbook_hub_peer.py DATA_DIR FILE [--in-memory]``.

Prints "ready PORT TOKEN" once the workbook's kernel has its modules, and serves until its
standard input closes. With --in-memory the workbook keeps its changes in memory only (the
journal is not written): the baseline of the save round trip, as the hub was before workbooks
were files.
"""
import asyncio
import os
import sys

from devhub import DevHub


async def serve(data_dir: str, path: str, in_memory: bool) -> None:
    async with DevHub(data_dir=data_dir, keep_frames=False) as hub:
        workbook = await hub.open_workbook(path)
        if in_memory:
            async def remember(record):
                return None

            workbook._record = remember
        await hub.kernel_ready(os.path.basename(path), timeout=60)
        await workbook.cells_ready()
        print(f"ready {hub.port} {hub.token}", flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)


if __name__ == "__main__":
    os.environ["QUORVEL_SECURED"] = "0"
    asyncio.run(serve(sys.argv[1], sys.argv[2], "--in-memory" in sys.argv[3:]))
