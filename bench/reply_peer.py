"""A bare websockets client that answers every frame with the three frames a formula call gets.

The baseline of bench/formula_burst.py: for each call frame it sends "result_output",
"execution_result" and "function_execution_result", each as its own frame (what a kernel
sending one frame per reply puts on the wire), with no other work.
Usage: python bench/reply_peer.py URL
"""
import asyncio
import json
import sys

from websockets.asyncio.client import connect

from peers import hub_headers


async def reply(url: str) -> None:
    async with connect(url, max_size=None, additional_headers=hub_headers()) as websocket:
        async for frame in websocket:
            call = json.loads(frame)
            request_id, value = call["request_id"], call["args"][0] * 2
            common = {"request_id": request_id, "workbook_id": "Bare", "source": "addin"}
            await websocket.send(json.dumps(
                {"type": "result_output", "content": f"Out: {value}\n", **common}))
            await websocket.send(json.dumps(
                {"type": "execution_result", "success": True, "result": value, "logs": "",
                 "module_name": call["module_name"], "function_name": call["function_name"],
                 **common}))
            await websocket.send(json.dumps(
                {"type": "function_execution_result", "request_id": request_id,
                 "status": "success", "result": value, "logs": ""}))


if __name__ == "__main__":
    asyncio.run(reply(sys.argv[1]))
