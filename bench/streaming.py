"""Streaming generator items, and custom-function round trips, each against a baseline measured
in the same run.

1. A generator yielding 10,000 small items through "execute_streaming_function" in a kernel
   process: items per second at the hub. Baseline: a worker thread submitting 10,000 trivial
   coroutines to an event loop with run_coroutine_threadsafe and waiting for each (the floor of
   a per-item hand-off to the loop). Target: at least 0.7x the baseline rate.
2. The median round trip of a trivial "custom_function_call" (hub -> kernel -> hub), against the
   median round trip of a bare websockets echo client.

Run: .venv/bin/python bench/streaming.py [--smoke]   (--smoke: a few hundred items and calls)
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import threading
import time

from devhub import DevHub
from peers import median_round_trip, start_peer, stop_peer

ITEMS = 10_000
CALLS = 2_000
REPEATS = 3
MODULE = "def items(n):\n    for i in range(n):\n        yield i\n\ndef ping():\n    return 1\n"


async def stream_rate(session):
    await session.send({"type": "execute_streaming_function", "request_id": "bench",
                        "module_name": "bench_mod", "function_name": "items", "args": [ITEMS]})
    start = time.perf_counter()
    count = 0
    while True:
        message = json.loads(await session.receive_frame(timeout=120))
        if message.get("done"):
            assert "error" not in message, message
            break
        assert message["result"] == count, "items out of order"
        count += 1
    assert count == ITEMS
    return ITEMS / (time.perf_counter() - start)


def baseline_rate():
    """run_coroutine_threadsafe of trivial coroutines from a worker thread, waited one by one."""
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()

    async def trivial(i):
        return i

    result = {}

    def worker():
        start = time.perf_counter()
        for i in range(ITEMS):
            asyncio.run_coroutine_threadsafe(trivial(i), loop).result(timeout=1.0)
        result["rate"] = ITEMS / (time.perf_counter() - start)

    runner = threading.Thread(target=worker)
    runner.start()
    runner.join()
    loop.call_soon_threadsafe(loop.stop)
    thread.join()
    loop.close()
    return result["rate"]


async def call_round_trips(session):
    frame = json.dumps({"type": "custom_function_call", "module_name": "bench_mod",
                        "function_name": "ping", "args": [], "request_id": "c"})
    times = []
    for _ in range(CALLS):
        start = time.perf_counter()
        await session.send_raw(frame)
        while json.loads(await session.receive_frame())["type"] != "function_execution_result":
            pass
        times.append(time.perf_counter() - start)
    return statistics.median(times)


ECHO_FRAME = json.dumps({"type": "function_execution_result", "request_id": "c",
                        "status": "success", "result": 1, "logs": ""})


async def main():
    os.environ["QUORVEL_SECURED"] = "0"
    async with DevHub() as hub:
        # One frame per message, as the bare baseline sends them.
        kernel = await hub.launch_kernel("Bench.xlsx", {"gather_output": False})
        echo, echo_session = await start_peer(hub, "echo_peer.py", "Echo")
        try:
            session = await hub.wait_for_kernel("Bench.xlsx", timeout=30)
            await session.send({"type": "update_module", "module_name": "bench_mod",
                                "code": MODULE})
            await session.expect("module_updated")
            kernel_rates, baseline_rates = [], []
            for _ in range(REPEATS):
                kernel_rates.append(await stream_rate(session))
                baseline_rates.append(
                    await asyncio.get_running_loop().run_in_executor(None, baseline_rate))
            kernel_best, baseline_best = max(kernel_rates), max(baseline_rates)
            print(f"streaming {ITEMS} items (best of {REPEATS}): "
                  f"kernel {kernel_best:,.0f} items/s, "
                  f"run_coroutine_threadsafe floor {baseline_best:,.0f} items/s, "
                  f"ratio {kernel_best / baseline_best:.2f} (target >= 0.7)")
            call_median = await call_round_trips(session)
            echo_median = await median_round_trip(echo_session, ECHO_FRAME, CALLS)
            print(f"custom_function_call round trip, median of {CALLS}: "
                  f"{call_median * 1e6:.0f} us; "
                  f"bare echo {echo_median * 1e6:.0f} us; ratio {call_median / echo_median:.2f}")
            await session.send({"type": "shutdown"})
            await kernel.wait(15)
        finally:
            await kernel.kill()
            await stop_peer(echo)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a few hundred items and calls")
    if parser.parse_args().smoke:
        ITEMS, CALLS, REPEATS = 200, 50, 1
    asyncio.run(main())
