"""Streaming a cell's output, and the round trip of a spreadsheet request, each against a bare
websockets baseline measured in the same run.

1. A cell printing 20,000 short lines (40,000 "stdout" messages: print writes the text and the
   line end separately) in a kernel process: time from sending "execution_request" to receiving
   "execution_result" at the hub, with all 40,000 messages checked in order. Baseline: a bare
   websockets client process (bench/blast_peer.py) sending 40,000 frames of the same size to
   the same hub. Target: kernel time <= 2x baseline.
2. 2,000 blocking spreadsheet requests from a cell (worker -> hub -> worker), timed in the
   worker, median; against the median round trip of a bare websockets echo client.

Run: .venv/bin/python bench/stream.py [--smoke]   (--smoke: a few hundred lines and requests)
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import time

from devhub import DevHub, SimulatedWorkbook
from peers import median_round_trip, start_peer, stop_peer

LINES = 20_000
REQUESTS = 2_000
REPEATS = 3


def print_cell():
    return f"for i in range({LINES}):\n    print(f'line {{i}}')\n"


def request_cell():
    return f"""
import time
from quorvel import messaging
times = []
for i in range({REQUESTS}):
    start = time.perf_counter()
    messaging.send_request_sync({{"action": "sheet.active"}})
    times.append(time.perf_counter() - start)
times.sort()
request_median = times[len(times) // 2]
"""



async def time_kernel_stream(session):
    start = time.perf_counter()
    await session.send({"type": "execution_request", "code": print_cell(), "request_id": "bench"})
    contents = []
    while True:
        message = json.loads(await session.receive_frame(timeout=120))
        if message["type"] == "execution_result":
            break
        contents.append(message["content"])
    elapsed = time.perf_counter() - start
    expected = []
    for i in range(LINES):
        expected += [f"line {i}", "\n"]
    assert contents == expected, "output lost or out of order"
    return elapsed, len(contents)


async def time_baseline_stream(session, count, sample):
    start = time.perf_counter()
    await session.send_raw(json.dumps({"count": count, "frames": sample}))
    received = 0
    while await session.receive_frame(timeout=120) != "done":
        received += 1
    assert received == count
    return time.perf_counter() - start


async def run_to_result(session, code):
    await session.send({"type": "execution_request", "code": code, "function_name": "bench"})
    while True:
        message = await session.receive(timeout=120)
        if message["type"] == "execution_error":
            raise RuntimeError(message["error"])
        if message["type"] == "execution_result":
            return message


ECHO_FRAME = json.dumps({"type": "sys_response",
                         "payload": {"requestId": "0" * 32, "value": "Sheet1"}})


async def main():
    os.environ["QUORVEL_SECURED"] = "0"
    async with DevHub() as hub:
        # One frame per message, as the bare baseline sends them.
        kernel = await hub.launch_kernel("Bench.xlsx", {"gather_output": False})
        blaster, blast_session = await start_peer(hub, "blast_peer.py", "Blast")
        echo, echo_session = await start_peer(hub, "echo_peer.py", "Echo")
        try:
            session = await hub.wait_for_kernel("Bench.xlsx", timeout=30)
            kernel_times, baseline_times, count = [], [], 0
            for _ in range(REPEATS):
                elapsed, count = await time_kernel_stream(session)
                kernel_times.append(elapsed)
                # Frames shaped like the kernel's: the same fields, the same lengths.
                sample = [json.dumps({"type": "stdout", "content": text, "request_id": "bench",
                                      "workbook_id": "Bench.xlsx", "source": "ide"})
                          for text in ("line 12345", "\n")]
                baseline_times.append(await time_baseline_stream(blast_session, count, sample))
            kernel_best, baseline_best = min(kernel_times), min(baseline_times)
            print(f"stream of {count} messages (best of {REPEATS}): kernel {kernel_best:.3f} s, "
                  f"bare client {baseline_best:.3f} s, ratio {kernel_best / baseline_best:.2f} "
                  f"(target <= 2)")

            session.workbook = SimulatedWorkbook()
            await run_to_result(session, request_cell())
            request_median = (await run_to_result(session, "request_median"))["result"]
            echo_median = await median_round_trip(echo_session, ECHO_FRAME, REQUESTS)
            print(f"spreadsheet request round trip, median of {REQUESTS}: "
                  f"{request_median * 1e6:.0f} us; bare echo {echo_median * 1e6:.0f} us; "
                  f"ratio {request_median / echo_median:.2f}")
            session.workbook = None
            await session.send({"type": "shutdown"})
            await kernel.wait(15)
        finally:
            await kernel.kill()
            for peer in (blaster, echo):
                await stop_peer(peer)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a few hundred lines and requests")
    if parser.parse_args().smoke:
        LINES, REQUESTS, REPEATS = 500, 50, 1
    asyncio.run(main())
