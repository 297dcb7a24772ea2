"""Kernel round trips and chunked throughput, each against a bare websockets baseline.

1. 5,000 sequential "update_module" -> "module_updated" round trips from the hub to a kernel
   process, against 5,000 round trips from the same hub code to a bare websockets echo client
   process (bench/echo_peer.py). Both responders are clients of the same hub over plain ws on
   loopback; the requester code is the same.
2. One 8 MiB message sent by a kernel through chunking, against the same text sent as 64 KiB
   frames by a bare websockets client, both received by the hub in this process.
3. What the hub's token costs: the "update_module" round trips of (1) to a kernel of a hub that
   asks every connection for its token, against a kernel of a hub that asks for none, in blocks
   taken in turn (target: at most 1.05).

Prints medians and ratios (kernel / baseline).
Run: .venv/bin/python bench/roundtrip.py [--smoke]   (--smoke: a few rounds, a small message)
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import time

from websockets.asyncio.client import connect

from devhub import DevHub
from peers import start_peer, stop_peer

ROUNDS = 5000
WARMUP = 200
BIG = 8 * 1024 * 1024
REPEATS = 7
FRAME = 64 * 1024


async def round_trips(session, make_frame, rounds):
    times = []
    for n in range(rounds):
        frame = make_frame(n)
        start = time.perf_counter()
        await session.send_raw(frame)
        await session.receive_frame()
        times.append(time.perf_counter() - start)
    return times


def update_frame(n):
    return json.dumps({"type": "update_module", "module_name": "bench_mod",
                       "code": f"VALUE = {n}\n"})


async def measure_round_trips(hub):
    os.environ["QUORVEL_SECURED"] = "0"
    # One frame per message, as the bare echo client answers.
    kernel = await hub.launch_kernel("Bench.xlsx", {"gather_output": False})
    echo, echo_session = await start_peer(hub, "echo_peer.py", "Echo")
    try:
        kernel_session = await hub.wait_for_kernel("Bench.xlsx", timeout=30)
        await round_trips(kernel_session, update_frame, WARMUP)
        await round_trips(echo_session, update_frame, WARMUP)
        # Interleave in blocks so that machine noise hits both alike.
        kernel_times, echo_times = [], []
        for _ in range(10):
            kernel_times += await round_trips(kernel_session, update_frame, ROUNDS // 10)
            echo_times += await round_trips(echo_session, update_frame, ROUNDS // 10)
        await kernel_session.send({"type": "shutdown"})
        await kernel.wait(15)
    finally:
        await kernel.kill()
        await stop_peer(echo)
    return statistics.median(kernel_times), statistics.median(echo_times)


async def measure_chunked(hub):
    from python_server import kernel as kernel_module

    text = "x" * (BIG - 64)
    kernel = kernel_module.PythonKernel("Chunks.xlsx", port=str(hub.port),
                                        connection_args={"auth_token": hub.token})
    task = asyncio.create_task(kernel.run())
    session = await hub.wait_for_kernel("Chunks.xlsx")
    session.listener = None  # no IDE here: the hub need not parse frames to relay
    await session.send_raw("{")  # the first reply proves connect() finished
    await session.receive_frame()

    chunks = -(-len(kernel_module.json_dumps({"type": "bulk", "data": text})) // FRAME)

    async def via_kernel():
        start = time.perf_counter()
        await kernel.send_message({"type": "bulk", "data": text})
        for _ in range(chunks):  # raw frames, as for the bare client: no parsing at the hub
            await session.receive_frame()
        return time.perf_counter() - start

    bare_session = hub.kernel("Bare")
    bare_session.listener = None  # its frames are slices of a JSON text, not messages
    async with connect(f"ws://127.0.0.1:{hub.port}/ws/kernel/Bare", max_size=None,
                       additional_headers=hub.auth_headers) as bare:
        await bare_session.connected.wait()

        async def via_bare_client():
            payload = json.dumps({"type": "bulk", "data": text})
            start = time.perf_counter()
            for offset in range(0, len(payload), FRAME):
                await bare.send(payload[offset:offset + FRAME])
            for _ in range(0, len(payload), FRAME):
                await bare_session.receive_frame()
            return time.perf_counter() - start

        kernel_times, bare_times = [], []
        for _ in range(REPEATS):
            kernel_times.append(await via_kernel())
            bare_times.append(await via_bare_client())
    await session.send({"type": "shutdown"})
    await task
    return statistics.median(kernel_times), statistics.median(bare_times)


async def measure_token_cost():
    """Median update_module round trips through a hub with a token and one without."""
    async with DevHub() as guarded, DevHub(authenticate=False) as open_hub:
        kernels = [await hub.launch_kernel("Bench.xlsx", {"gather_output": False})
                   for hub in (guarded, open_hub)]
        try:
            sessions = [await hub.wait_for_kernel("Bench.xlsx", timeout=30)
                        for hub in (guarded, open_hub)]
            for session in sessions:
                await round_trips(session, update_frame, WARMUP)
            times = [[], []]
            for _ in range(10):
                for index, session in enumerate(sessions):
                    times[index] += await round_trips(session, update_frame, ROUNDS // 10)
        finally:
            for kernel in kernels:
                await kernel.kill()
    return statistics.median(times[0]), statistics.median(times[1])


async def main():
    with_token, without = await measure_token_cost()
    print(f"update_module round trip, median of {ROUNDS}: hub with a token {with_token * 1e6:.1f} "
          f"us, without {without * 1e6:.1f} us, ratio {with_token / without:.3f} (target <= 1.05)")
    async with DevHub() as hub:
        kernel_rt, echo_rt = await measure_round_trips(hub)
        print(f"round trip, median of {ROUNDS}: kernel {kernel_rt * 1e6:.1f} us, "
              f"bare echo {echo_rt * 1e6:.1f} us, ratio {kernel_rt / echo_rt:.2f} (target <= 1.5)")
        kernel_big, bare_big = await measure_chunked(hub)
        mib = BIG / (1024 * 1024)
        print(f"{mib:g} MiB message, median of {REPEATS}: kernel chunked {kernel_big * 1e3:.1f} ms "
              f"({mib / kernel_big:.0f} MiB/s), bare 64 KiB frames {bare_big * 1e3:.1f} ms "
              f"({mib / bare_big:.0f} MiB/s), throughput ratio {bare_big / kernel_big:.2f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a few rounds, a small message")
    if parser.parse_args().smoke:
        ROUNDS, WARMUP, BIG, REPEATS = 50, 10, 256 * 1024, 2
    asyncio.run(main())
