"""A bare websockets client that, on "go", sends the frames the hub asks for as fast as it can.

The baseline sender of bench/stream.py. Usage: python bench/blast_peer.py URL
The hub sends {"count": N, "frames": [...]} (the frames to send, cycled); the peer sends N frames
and then the text "done".
"""
import asyncio
import json
import sys

from websockets.asyncio.client import connect

from peers import hub_headers


async def blast(url: str) -> None:
    async with connect(url, max_size=None, additional_headers=hub_headers()) as websocket:
        async for order in websocket:
            request = json.loads(order)
            frames = request["frames"]
            for n in range(request["count"]):
                await websocket.send(frames[n % len(frames)])
            await websocket.send("done")


if __name__ == "__main__":
    asyncio.run(blast(sys.argv[1]))
