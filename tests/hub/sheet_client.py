"""A page's socket as a test drives it: requests with ids, and the cells it has been shown."""
import asyncio
import json

from websockets.asyncio.client import connect

from devhub.formula_engine import column_name
from devhub.sheet_requests import parse_cell

from ..conftest import scaled

FUNCTIONS = '''import time
import quorvel

calls = {}


def _count(name):
    calls[name] = calls.get(name, 0) + 1
    return calls[name]


@quorvel.function
def double(x):
    _count("double")
    return x * 2


@quorvel.function(name="GRID", description="n rows of i and its square")
def grid(n):
    return [[i, i * i] for i in range(int(n))]


@quorvel.function
def boom(x):
    return 1 / x


@quorvel.function
def mapping():
    return {"a": 1}


@quorvel.function
def huge():
    return [[1] * 1000 for _ in range(1000)]


@quorvel.function
def forever():
    time.sleep(30)


@quorvel.function(volatile=True)
def ticks():
    return _count("ticks")


@quorvel.function
def counted(x):
    return _count("counted")


@quorvel.function
def stack():
    return [1, 2, 3]


@quorvel.function
def spin(marker):
    try:
        while True:
            pass
    except KeyboardInterrupt:
        open(marker, "w").write("interrupted")
        raise
'''


def sheet_path(workbook_id):
    from urllib.parse import quote
    return f"/ws/sheet/{quote(workbook_id, safe='')}"


class SheetClient:
    def __init__(self, websocket):
        self.websocket = websocket
        self.cells = {}  # "Sheet1!B2" -> [value, input, note]
        self.other = []  # messages that were neither replies nor changes
        self.hello = None
        self._n = 0
        self._replies = {}

    @classmethod
    def connect(cls, hub, workbook_id, **options):
        headers = {"Cookie": f"quorvel_token={hub.token}", "Origin": hub.http_url}
        return connect(hub.url + sheet_path(workbook_id), additional_headers=headers,
                       max_size=None, **options)

    def _take(self, message):
        kind = message.get("type")
        if kind == "hello":
            self.hello = message
        if kind in ("changed", "cells"):
            for row, column, value, shown, *note in message["cells"]:
                self.cells[f"{message['sheet']}!{column_name(column)}{row}"] = \
                    [value, shown, note[0] if note else None]
        if kind in ("cells", "edited", "recalculated", "refused") and message.get("id") \
                is not None:
            self._replies.setdefault(message["id"], []).append(message)
        elif kind not in ("changed",):
            self.other.append(message)

    async def _read(self, timeout):
        message = json.loads(await asyncio.wait_for(self.websocket.recv(), scaled(timeout)))
        self._take(message)
        return message

    async def send(self, message):
        self._n += 1
        message.setdefault("id", self._n)
        await self.websocket.send(json.dumps(message))
        return message["id"]

    async def ask(self, message, timeout=30):
        request_id = await self.send(message)
        while request_id not in self._replies:
            await self._read(timeout)
        return self._replies[request_id][0]

    async def edit(self, address, *rows, sheet="Sheet1"):
        row, column = parse_cell(address)
        return await self.ask({"type": "edit", "sheet": sheet, "row": row, "col": column,
                               "inputs": [list(line) for line in rows]})

    async def until(self, predicate, timeout=30):
        """Reads until `predicate(self)` holds."""
        deadline = asyncio.get_running_loop().time() + scaled(timeout)
        while not predicate(self):
            left = deadline - asyncio.get_running_loop().time()
            if left <= 0:
                raise AssertionError(f"not shown in time; cells: {str(self.cells)[:2000]}")
            try:
                await self._read(left)
            except asyncio.TimeoutError:
                raise AssertionError(
                    f"not shown in time; cells: {str(self.cells)[:2000]}") from None

    def value(self, address):
        return self.cells.get(address, [None, "", None])[0]

    async def shows(self, address, value, timeout=30):
        await self.until(lambda client: client.value(address) == value, timeout)

    async def drain(self, seconds=0.3):
        try:
            while True:
                await self._read(seconds)
        except asyncio.TimeoutError:
            pass
