"""Workbook files: what keeping a module save durable costs, and opening a large workbook.

1. A module save from an IDE client: "update_module" sent to the hub until its "module_updated"
   comes back, which the hub sends once the kernel took the module and the workbook's journal on
   disk holds it. The baseline is the same round trip through a hub whose workbook keeps its
   changes in memory only (the journal write skipped), as the hub did before workbooks were
   files. Each hub runs in a process of its own (bench/workbook_hub_peer.py) with a kernel
   process, for workbooks of 10,000 and of 200,000 cells, in blocks taken in turn. Targets: at
   most 2x (10,000 cells) and 4x (200,000 cells).
2. Opening a 200,000-cell workbook until its kernel is connected and has the workbook's modules,
   against openpyxl's own load of the same file (target: at most 1.5x).

Run: .venv/bin/python bench/workbook_save.py [--smoke]   (--smoke: 2,000 cells, a few rounds)
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import openpyxl
from websockets.asyncio.client import connect

from devhub import DevHub

HERE = Path(__file__).parent

SIZES = (10_000, 200_000)
ROUNDS = 600
WARMUP = 50
# Seconds to let the kernels warm their language services, which they do after connecting.
SETTLE = 12.0
OPENINGS = 3
COLUMNS = 10


def make_workbook(path: Path, cells: int, modules: int = 5) -> None:
    book = openpyxl.Workbook()
    sheet = book.active
    for row in range(cells // COLUMNS):
        sheet.append([row * COLUMNS + column for column in range(COLUMNS)])
    book.save(path)


class Ide:
    def __init__(self, websocket) -> None:
        self.websocket = websocket
        self.n = 0

    async def ask(self, message):
        self.n += 1
        request_id = message["request_id"] = f"r{self.n}"
        await self.websocket.send(json.dumps(message))
        while True:
            reply = json.loads(await self.websocket.recv())
            if reply.get("request_id") == request_id and reply["type"] != "workbooks_state":
                return reply


async def save_round_trips(ide: Ide, workbook_id: str, rounds: int) -> list:
    times = []
    for n in range(rounds):
        message = {"type": "update_module", "workbook_id": workbook_id, "module_name": "calc",
                   "code": f"VALUE = {n}\n" + "# padding\n" * 20}
        started = time.perf_counter()
        reply = await ide.ask(message)
        times.append(time.perf_counter() - started)
        assert reply["type"] == "module_updated", reply
    return times


async def start_peer(folder: Path, path: Path, in_memory: bool):
    """A hub process (bench/workbook_hub_peer.py) with the workbook open; (process, IDE)."""
    process = await asyncio.create_subprocess_exec(
        sys.executable, str(HERE / "workbook_hub_peer.py"), str(folder), str(path),
        *(["--in-memory"] if in_memory else []), stdin=asyncio.subprocess.PIPE,
        stdout=asyncio.subprocess.PIPE)
    ready = (await asyncio.wait_for(process.stdout.readline(), 120)).decode().split()
    assert ready and ready[0] == "ready", ready
    websocket = await connect(f"ws://127.0.0.1:{ready[1]}/ws/ide/main_ide", max_size=None,
                              additional_headers={"Authorization": f"Bearer {ready[2]}"})
    await websocket.recv()  # the workbook list
    return process, Ide(websocket)


async def measure_saves(folder: Path, cells: int, rounds: int) -> tuple:
    """Median save round trips: through a hub keeping the file, and one keeping memory only."""
    peers = []
    for kind in ("durable", "memory"):
        path = folder / kind / f"Saves{cells}.xlsx"
        path.parent.mkdir(parents=True)
        make_workbook(path, cells)
        peers.append((*await start_peer(folder / kind, path, kind == "memory"), path.name))
    try:
        await asyncio.sleep(SETTLE)
        for _process, ide, name in peers:
            await save_round_trips(ide, name, WARMUP)
        times = [[], []]
        for _ in range(10):  # in turn, so that the machine's noise hits both alike
            for index, (_process, ide, name) in enumerate(peers):
                times[index] += await save_round_trips(ide, name, rounds // 10)
    finally:
        for process, ide, _name in peers:
            await ide.websocket.close()
            process.stdin.close()
            await process.wait()
    return statistics.median(times[0]), statistics.median(times[1])


async def measure_opening(folder: Path, cells: int, openings: int) -> tuple:
    path = folder / f"Open{cells}.xlsx"
    make_workbook(path, cells)
    async with DevHub(data_dir=str(folder / "opening")) as hub:
        workbook = await hub.workbooks.open(str(path))
        await workbook.set_module("calc", "VALUE = 1\n")
        await hub.workbooks.close(path.name)
    ours, theirs = [], []
    for _ in range(openings):
        started = time.perf_counter()
        openpyxl.load_workbook(path)
        theirs.append(time.perf_counter() - started)
        async with DevHub(data_dir=str(folder / "opening")) as hub:
            started = time.perf_counter()
            workbook = await hub.open_workbook(str(path))
            session = await hub.kernel_ready(path.name, timeout=60)
            await session.expect("module_updated", timeout=60)  # the kernel took the module
            ours.append(time.perf_counter() - started)
            assert workbook.modules == {"calc": "VALUE = 1\n"}
            await workbook.cells_ready()  # loaded before the hub stops, not timed
    return statistics.median(ours), statistics.median(theirs)


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms"


async def main(sizes, rounds, openings) -> None:
    os.environ["QUORVEL_SECURED"] = "0"
    with tempfile.TemporaryDirectory(prefix="workbook-bench-") as scratch:
        folder = Path(scratch)
        for cells, target in zip(sizes, (2.0, 4.0)):
            durable, memory = await measure_saves(folder / f"saves{cells}", cells, rounds)
            print(f"module save, {cells:,} cells, median of {rounds}: durable {ms(durable)}, "
                  f"in memory {ms(memory)}, ratio {durable / memory:.2f} (target <= {target})")
        ours, theirs = await measure_opening(folder, sizes[-1], openings)
        print(f"opening {sizes[-1]:,} cells until the kernel has its modules, median of "
              f"{openings}: {ours:.2f} s, openpyxl's load {theirs:.2f} s, ratio "
              f"{ours / theirs:.2f} (target <= 1.5)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="small workbooks, a few rounds")
    if parser.parse_args().smoke:
        SETTLE = 0.0
        asyncio.run(main((2_000, 4_000), 40, 1))
    else:
        asyncio.run(main(SIZES, ROUNDS, OPENINGS))
