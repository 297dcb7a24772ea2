"""A bare websockets server standing in for the hub's IDE endpoint in the IDE benchmarks.

It echoes every frame back, except a {"type": "flood", "count": N} request, which it answers
with N "stdout" messages sent as fast as the connection takes them. It prints its port on the
first line of its standard output. Usage: python bench/ide_hub_peer.py
"""
import asyncio
import functools
import json

from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed


@functools.lru_cache(maxsize=4)
def flood_frames(count: int) -> list:
    """The frames of a flood, encoded once: the server's own work stays out of the timings."""
    return [json.dumps({"type": "stdout", "content": f"output line {n}\n", "source": "ide",
                        "request_id": "flood", "workbook_id": "Bench.xlsx"})
            for n in range(count)]


async def handle(connection) -> None:
    try:
        await serve_frames(connection)
    except ConnectionClosed:
        pass  # the benchmark's client goes away without a closing handshake


async def serve_frames(connection) -> None:
    async for frame in connection:
        if frame.startswith('{"type": "flood"'):
            for text in flood_frames(json.loads(frame)["count"]):
                await connection.send(text)
        else:
            await connection.send(frame)


async def main() -> None:
    async with serve(handle, "127.0.0.1", 0, max_size=None) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.Event().wait()


if __name__ == "__main__":
    asyncio.run(main())
