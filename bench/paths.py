"""Package path changes and the object registry in a kernel process, against a bare round trip.

1. "set_package_paths" replacing one package folder with another in a kernel that has 3,000
   generated modules loaded (from a folder that stays), the replaced folder's package imported
   again before each round: median time from sending to "package_paths_updated". Also the
   worst case, where the 3,000 modules themselves come from the replaced folder and are all
   unloaded (re-imported between rounds).
2. "get_object_registry" -> "object_registry_response" with 10,000 kept objects.

Times are taken at the hub, from sending the request to the reply parsed (a chunked reply is
reassembled and parsed once, as a reader must). The baseline is the bare dispatch round trip of
the same kernel: "unload_and_clear_paths" with no paths (no module is looked at, no path
changed). Prints medians and ratios to it.

Run: .venv/bin/python bench/paths.py [--smoke]   (--smoke: small sizes, a few rounds)
"""
from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from devhub import DevHub

WORKBOOK = "Paths.xlsx"


def generate(root: Path, package: str, modules: int, per_package: int = 100) -> str:
    """root/<package>_<i>/m<j>.py, `modules` modules in all, `per_package` per package."""
    for n in range(modules):
        folder = root / f"{package}_{n // per_package}"
        if not folder.exists():
            folder.mkdir(parents=True)
            (folder / "__init__.py").write_text("")
        (folder / f"m{n % per_package}.py").write_text(f"VALUE = {n}\n")
    return str(root)


def import_code(package: str, modules: int, per_package: int = 100) -> str:
    """A cell that imports every module that `generate` wrote."""
    names = [f"{package}_{n // per_package}.m{n % per_package}" for n in range(modules)]
    return f"import importlib\nfor name in {names!r}: importlib.import_module(name)"


async def run_cell(session, code: str) -> None:
    await session.send({"type": "execution_request", "code": code})
    while True:
        message = await session.receive(timeout=300)
        if message["type"] == "execution_error":
            raise RuntimeError(message["error"])
        if message["type"] == "execution_result":
            return


async def timed(session, message: dict, reply_type: str) -> float:
    start = time.perf_counter()
    await session.send(message)
    while (await session.receive(timeout=120))["type"] != reply_type:
        pass
    return time.perf_counter() - start


async def bare_round_trip(session, rounds: int) -> float:
    message = {"type": "unload_and_clear_paths", "paths": []}
    return statistics.median([await timed(session, message, "modules_unloaded")
                              for _ in range(rounds)])


async def replace_folder(session, rounds: int, folders: list, import_code: str) -> float:
    """Median of "set_package_paths" from one folder to the other, re-importing in between."""
    current = 0
    await timed(session, {"type": "set_package_paths", "old_paths": [],
                          "new_paths": [folders[current]]}, "package_paths_updated")
    times = []
    for _ in range(rounds):
        await run_cell(session, import_code)
        message = {"type": "set_package_paths", "old_paths": [folders[current]],
                   "new_paths": [folders[1 - current]]}
        times.append(await timed(session, message, "package_paths_updated"))
        current = 1 - current
    return statistics.median(times)


async def main(smoke: bool) -> None:
    modules = 300 if smoke else 3000
    objects = 1000 if smoke else 10000
    rounds = 3 if smoke else 21
    heavy_rounds = 2 if smoke else 7
    os.environ["QUORVEL_SECURED"] = "0"
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch)
        loaded = generate(root / "loaded", "bench_loaded", modules)
        tool = [generate(root / f"tool{i}", "bench_tool", 5) for i in (0, 1)]
        heavy = [generate(root / f"heavy{i}", "bench_heavy", modules) for i in (0, 1)]
        async with DevHub() as hub:
            process = await hub.launch_kernel(WORKBOOK)
            try:
                session = await hub.wait_for_kernel(WORKBOOK, timeout=30)
                session.listener = None  # no IDE here: the hub need not parse frames to relay
                await run_cell(session, f"import sys; sys.path.append({loaded!r})")
                await run_cell(session, import_code("bench_loaded", modules))
                await bare_round_trip(session, rounds)  # warm-up
                bare = await bare_round_trip(session, rounds)
                swap = await replace_folder(session, rounds, tool, import_code("bench_tool", 5))
                worst = await replace_folder(session, heavy_rounds, heavy,
                                             import_code("bench_heavy", modules))

                await run_cell(session, f"import quorvel\nfor n in range({objects}): "
                                        f"quorvel.save_object(f'k{{n}}', [n, str(n)])")
                registry = statistics.median([
                    await timed(session, {"type": "get_object_registry"},
                                "object_registry_response") for _ in range(rounds)])
                await session.send({"type": "shutdown"})
                await process.wait(30)
            finally:
                await process.kill()

    print(f"bare dispatch round trip, median of {rounds}: {bare * 1e3:.2f} ms")
    print(f"set_package_paths replacing a package folder, {modules:,} modules loaded, "
          f"median of {rounds}: {swap * 1e3:.2f} ms (ratio {swap / bare:.1f}; target < 50 ms)")
    print(f"set_package_paths unloading all {modules:,} modules, median of {heavy_rounds}: "
          f"{worst * 1e3:.2f} ms (ratio {worst / bare:.1f})")
    print(f"get_object_registry with {objects:,} kept objects, median of {rounds}: "
          f"{registry * 1e3:.2f} ms (ratio {registry / bare:.1f}; target < 100 ms)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="small sizes, a few rounds")
    sys.exit(asyncio.run(main(parser.parse_args().smoke)))
