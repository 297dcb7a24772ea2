"""A bare websockets client that connects to a hub endpoint and echoes every frame back.

The baseline responder of the round-trip benchmarks: the same transport as a kernel, no work.
Usage: python bench/echo_peer.py URL
"""
import asyncio
import sys

from websockets.asyncio.client import connect

from peers import hub_headers


async def echo(url: str) -> None:
    async with connect(url, max_size=None, additional_headers=hub_headers()) as websocket:
        async for frame in websocket:
            await websocket.send(frame)


if __name__ == "__main__":
    asyncio.run(echo(sys.argv[1]))
