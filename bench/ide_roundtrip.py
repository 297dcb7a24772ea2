"""IDE request round trips: IdeLink.send_and_wait_response against a bare websockets client.

Both talk to the same echo server (bench/ide_hub_peer.py, its own process) over plain ws on
loopback. The IDE side runs as in the IDE: the request is made on the Qt GUI thread, the frame
goes out on the client's connection thread, and the time is taken in the callback, on the GUI
thread again. The bare client sends the same JSON and parses the echo on one asyncio loop.
Blocks of the two alternate so that machine noise hits both alike.

Prints the median round trip of each and the ratio IdeLink / bare.
Run: QT_QPA_PLATFORM=offscreen .venv/bin/python bench/ide_roundtrip.py [--smoke]   (a few requests)
"""
from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import time
import uuid

from ide_session import ide_session
from PySide6.QtCore import QEventLoop, QTimer
from websockets.asyncio.client import connect

from ide.gui.idelink import IdeLink

REQUESTS = 2000
BLOCKS = 10
WARMUP = 200


def request() -> dict:
    return {"type": "get_package_versions", "package_name": "numpy", "workbook_id": "Bench.xlsx"}


def ide_block(link: IdeLink, count: int) -> list:
    """`count` sequential requests from the GUI thread; each callback starts the next one."""
    times: list = []
    loop = QEventLoop()

    def send_next() -> None:
        started = time.perf_counter()

        def on_response(response: dict) -> None:
            times.append(time.perf_counter() - started)
            assert "error" not in response, response
            if len(times) == count:
                loop.quit()
            else:
                send_next()

        link.send_and_wait_response(request(), on_response)

    QTimer.singleShot(0, send_next)
    loop.exec()
    return times


async def bare_block(url: str, count: int) -> list:
    times = []
    async with connect(url) as websocket:
        for _ in range(count):
            started = time.perf_counter()
            message = request()
            message["request_id"] = str(uuid.uuid4())
            await websocket.send(json.dumps(message))
            reply = json.loads(await websocket.recv())
            assert reply["request_id"] == message["request_id"]
            times.append(time.perf_counter() - started)
    return times


def main() -> None:
    with ide_session() as (link, _window, url):
        ide_block(link, WARMUP)
        asyncio.run(bare_block(url, WARMUP))
        ide_times, bare_times = [], []
        for _ in range(BLOCKS):
            ide_times += ide_block(link, REQUESTS // BLOCKS)
            bare_times += asyncio.run(bare_block(url, REQUESTS // BLOCKS))
    ide, bare = statistics.median(ide_times), statistics.median(bare_times)
    print(f"requests per side:            {len(ide_times)}")
    print(f"IdeLink round trip (median):  {ide * 1e6:8.1f} us")
    print(f"bare websockets (median):     {bare * 1e6:8.1f} us")
    print(f"ratio IdeLink / bare:         {ide / bare:8.2f}x   (target <= 2x)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a few requests")
    if parser.parse_args().smoke:
        REQUESTS, BLOCKS, WARMUP = 40, 2, 10
    main()
