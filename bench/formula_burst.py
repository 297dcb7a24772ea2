"""A burst of formula calls ("custom_function_call" of a trivial function) against a kernel
process, every reply checked, against a bare client answering the same three frames per call.

The hub sends 10,000 calls as fast as it can and reads until every call has its
"function_execution_result"; each call's replies must be "result_output", "execution_result"
and "function_execution_result" in that order, with the right result. Baseline: a bare
websockets client process (bench/reply_peer.py) answering each call with the same three
messages, one frame each. Both run in the same hub, interleaved. Target: >= 10,000 calls/s.

Run: .venv/bin/python bench/formula_burst.py [--smoke] [--no-gather]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import time

from devhub import DevHub
from peers import start_peer, stop_peer

MODULE = "def double(x):\n    return x * 2\n"
EXPECTED_ORDER = ["result_output", "execution_result", "function_execution_result"]


async def burst(session, calls: int) -> float:
    """Sends `calls` calls at once; returns calls per second once every reply was checked."""
    frames = [json.dumps({"type": "custom_function_call", "module_name": "burst_mod",
                          "function_name": "double", "args": [n], "request_id": f"c{n}",
                          "workbook_id": "Bench.xlsx"}) for n in range(calls)]
    seen = {}
    start = time.perf_counter()

    async def send_all():
        for frame in frames:
            await session.send_raw(frame)

    sender = asyncio.create_task(send_all())
    finished = 0
    while finished < calls:
        message = await session.receive(timeout=120)
        kinds = seen.setdefault(message["request_id"], [])
        kinds.append(message["type"])
        if message["type"] == "function_execution_result":
            n = int(message["request_id"][1:])
            assert message["status"] == "success" and message["result"] == 2 * n, message
            assert kinds == EXPECTED_ORDER, (message["request_id"], kinds)
            finished += 1
    elapsed = time.perf_counter() - start
    await sender
    assert len(seen) == calls
    return calls / elapsed


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a few small rounds")
    parser.add_argument("--no-gather", action="store_true", help="our kernel without gathering")
    options = parser.parse_args()
    calls, rounds = (100, 1) if options.smoke else (10_000, 5)
    os.environ["QUORVEL_SECURED"] = "0"
    async with DevHub() as hub:
        kernel = await hub.launch_kernel("Bench.xlsx", {"gather_output": not options.no_gather})
        peer, peer_session = await start_peer(hub, "reply_peer.py", "Bare")
        try:
            session = await hub.wait_for_kernel("Bench.xlsx", timeout=30)
            await session.send({"type": "update_module", "module_name": "burst_mod",
                                "code": MODULE})
            await session.expect("module_updated")
            await burst(session, min(calls, 500))  # warm-up
            await burst(peer_session, min(calls, 500))
            ours, bare = [], []
            for _ in range(rounds):
                ours.append(await burst(session, calls))
                bare.append(await burst(peer_session, calls))
            await session.send({"type": "shutdown"})
            await kernel.wait(15)
        finally:
            await kernel.kill()
            await stop_peer(peer)
    mode = "gathering off" if options.no_gather else "gathering on"
    print(f"{calls:,} formula calls, {rounds} interleaved rounds, kernel with {mode}: "
          f"kernel median {statistics.median(ours):,.0f} calls/s (best {max(ours):,.0f}), "
          f"bare 3-frame client median {statistics.median(bare):,.0f} calls/s "
          f"(best {max(bare):,.0f}), ratio {statistics.median(ours) / statistics.median(bare):.2f} "
          f"[target >= 10,000 calls/s]")


if __name__ == "__main__":
    asyncio.run(main())
