"""``python -m devhub [--port 8000] [--kernel WORKBOOK ...]``: run the development hub until
interrupted, optionally launching a kernel for each named workbook."""

from __future__ import annotations

import argparse
import asyncio
import logging

from .hub import DevHub


async def serve(port: int, workbooks: list) -> None:
    async with DevHub(port=port, keep_frames=False) as hub:
        print(f"development hub listening on {hub.url}", flush=True)
        processes = [await hub.launch_kernel(name) for name in workbooks]
        try:
            await asyncio.Event().wait()
        finally:
            for process in processes:
                await process.kill()


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m devhub", description=__doc__)
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--kernel", action="append", default=[], metavar="WORKBOOK")
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s")
    try:
        asyncio.run(serve(args.port, args.kernel))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
