"""The line debugger's cost where it does not stop, and its pause rate, each against a baseline
measured in the same run.

1. A CPU-bound workbook function (a loop of 2,000,000 iterations calling a small helper from a
   second workbook module) on a worker thread: without the debugger (the baseline), then under
   the debugger with
   a. a breakpoint in the helper's module, in a function that is never called;
   b. a breakpoint in the same module, in a function that is never called;
   c. a breakpoint in the loop itself, on a line that is never reached (the loop's frame must
      report its lines).
   Times are the worker thread's CPU time, the best of several interleaved rounds, so that other
   load on the machine counts as little as it can. Targets: a at most 1.3x, c at most 2x.
2. A breakpoint hit 10,000 times in a kernel process: debug_paused -> debug_continue through the
   hub, as pauses per second, against "update_module" round trips to the same kernel.

Run: .venv/bin/python bench/debugger.py [--smoke]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import threading
import time

from devhub import DevHub

HELPERS = """\
def helper(x):
    return x * 2 + 1


def never_called():
    return 0
"""
WORK = """\
from bench_helpers import helper


def work(n):
    total = 0
    for i in range(n):
        total += helper(i)
        if total < 0:
            total = -total
    return total


def never_called():
    return 0
"""
HITS = """\
def hits(n):
    total = 0
    for i in range(n):
        total += i
    return total
"""


def line_of(source: str, text: str) -> int:
    return next(n for n, line in enumerate(source.splitlines(), 1) if line.strip() == text)


CASES = {
    "a. breakpoint in the helper's module": ("bench_helpers", line_of(HELPERS, "return 0")),
    "b. breakpoint in the same module": ("bench_work", line_of(WORK, "return 0")),
    "c. breakpoint in the loop, never reached": ("bench_work", line_of(WORK, "total = -total")),
}


def on_worker(call) -> float:
    """CPU seconds `call` takes on a fresh thread."""
    spent = []

    def measure():
        start = time.thread_time()
        call()
        spent.append(time.thread_time() - start)

    thread = threading.Thread(target=measure)
    thread.start()
    thread.join()
    return spent[0]


def measure_overhead(iterations: int, rounds: int) -> None:
    from python_server import kernel
    from python_server.debugger import QuorvelDebugger

    kernel.in_memory_loader.update_module("bench_helpers", HELPERS)
    kernel.in_memory_loader.update_module("bench_work", WORK)
    import bench_work

    async def send(message):
        raise AssertionError(f"the benchmark never pauses: {message['type']}")

    idle_loop = asyncio.new_event_loop()  # the sessions never send anything through it

    def debugged(module, line):
        debugger = QuorvelDebugger(send, "Bench.xlsx")
        debugger.loop = idle_loop
        debugger.set_breakpoints([{"module_name": module, "line": line}])
        return lambda: debugger.runcall(bench_work.work, iterations)

    times = {"baseline": []}
    times.update({name: [] for name in CASES})
    for _ in range(rounds):
        times["baseline"].append(on_worker(lambda: bench_work.work(iterations)))
        for name, (module, line) in CASES.items():
            times[name].append(on_worker(debugged(module, line)))
    idle_loop.close()
    base = min(times["baseline"])
    print(f"1. {iterations:,} iterations calling a helper, best of {rounds} rounds "
          f"(worker CPU time)")
    print(f"   baseline (no debugger)                      {base * 1000:8.1f} ms")
    for name in CASES:
        best = min(times[name])
        print(f"   {name:<44} {best * 1000:8.1f} ms  {best / base:5.2f}x")


async def round_trip_rate(session, rounds: int) -> float:
    start = time.perf_counter()
    for n in range(rounds):
        await session.send({"type": "update_module", "module_name": "bench_ping",
                            "code": f"VALUE = {n}\n"})
        await session.expect("module_updated", 30)
    return rounds / (time.perf_counter() - start)


async def pause_rate(session, pauses: int) -> float:
    await session.send({"type": "update_module", "module_name": "bench_hits", "code": HITS})
    await session.expect("module_updated", 30)
    await session.send({"type": "run_module", "module_name": "bench_hits", "function_name": "hits",
                        "args": [pauses], "debug": True, "request_id": "bench",
                        "breakpoints": [{"module_name": "bench_hits",
                                         "line": line_of(HITS, "total += i")}]})
    start = time.perf_counter()
    for _ in range(pauses):
        await session.expect("debug_paused", 30)
        await session.send({"type": "debug_continue"})
        await session.expect("debug_resumed", 30)
    elapsed = time.perf_counter() - start
    last = [json.loads(await session.receive_frame(30)) for _ in range(2)]
    assert [m["type"] for m in last] == ["result_output", "debug_terminated"], last
    return pauses / elapsed


async def measure_pauses(pauses: int) -> None:
    os.environ["QUORVEL_SECURED"] = "0"
    async with DevHub() as hub:
        process = await hub.launch_kernel("Bench.xlsx")
        try:
            session = await hub.wait_for_kernel("Bench.xlsx", timeout=30)
            await round_trip_rate(session, min(pauses, 200))  # warm-up
            trips = await round_trip_rate(session, pauses)
            rate = await pause_rate(session, pauses)
            await session.send({"type": "shutdown"})
            await process.wait(15)
        finally:
            await process.kill()
    print(f"2. a breakpoint hit {pauses:,} times in a kernel process, paused and continued "
          f"through the hub")
    print(f"   update_module round trips (baseline)        {trips:8.0f} /s")
    print(f"   pauses (debug_paused -> debug_continue)      {rate:8.0f} /s  "
          f"{rate / trips:5.2f}x the round-trip rate")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a few quick rounds")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}")
    if args.smoke:
        measure_overhead(20_000, 2)
        asyncio.run(measure_pauses(50))
    else:
        measure_overhead(2_000_000, 5)
        asyncio.run(measure_pauses(10_000))


if __name__ == "__main__":
    main()
