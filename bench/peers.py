"""Shared pieces of the kernel benchmarks: baseline peer processes and round-trip timing."""
from __future__ import annotations

import asyncio
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).parent
TOKEN_ENV = "QUORVEL_HUB_TOKEN"


async def start_peer(hub, script: str, name: str):
    """Starts bench/<script> as a client of the hub at /ws/kernel/<name>; (process, session)."""
    # Its frames are not a kernel's messages: the hub keeps them for the benchmark, relays none.
    hub.kernel(name).listener = None
    process = await asyncio.create_subprocess_exec(
        sys.executable, str(HERE / script), f"ws://127.0.0.1:{hub.port}/ws/kernel/{name}",
        env={**os.environ, TOKEN_ENV: hub.token or ""})
    return process, await hub.wait_for_kernel(name, timeout=30)


def hub_headers() -> dict:
    """The handshake headers of a peer process: the hub's token, as start_peer hands it on."""
    token = os.environ.get(TOKEN_ENV)
    return {"Authorization": f"Bearer {token}"} if token else {}


async def stop_peer(process) -> None:
    process.kill()
    await process.wait()


async def median_round_trip(session, frame: str, rounds: int) -> float:
    """Median time, in seconds, from sending `frame` to the next frame back."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        await session.send_raw(frame)
        await session.receive_frame()
        times.append(time.perf_counter() - start)
    return statistics.median(times)
