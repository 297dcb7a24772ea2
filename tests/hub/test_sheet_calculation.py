"""A workbook's sheet as its pages see it through their socket: formulas calculated in the hub,
the workbook's Python functions called in its kernel, edits kept in its file, and every
request answered once, whatever it holds."""
import asyncio
import collections
import gc
import http.client
import json
import random
import signal
import weakref

import openpyxl
import pytest

from devhub import DevHub
from devhub.access import IDE_PATH
from devhub.live_workbook import MAX_INPUT_CHARS

from ..conftest import hub_connect, scaled
from .sheet_client import FUNCTIONS, SheetClient

WB = "Calc.xlsx"


@pytest.fixture
async def book(hub, tmp_path):
    """The workbook, its kernel connected and the functions module saved."""
    await hub.open_workbook(str(tmp_path / WB))
    await hub.kernel_ready(WB, scaled(60))
    await hub.save_module(WB, "funcs", FUNCTIONS)
    return hub


@pytest.fixture
async def page(book):
    async with SheetClient.connect(book, WB) as websocket:
        client = SheetClient(websocket)
        await client.until(lambda c: c.hello is not None)
        yield client


class TestPythonFunctions:
    async def test_a_call_shows_busy_then_its_value_and_dependents_follow(self, page):
        await page.edit("A1", ["21", "=DOUBLE(A1)", "=B1+1", "=double(a1)"])
        assert page.value("Sheet1!B1") == {"error": "#BUSY!"}
        await page.shows("Sheet1!C1", 43)
        assert page.value("Sheet1!B1") == 42 and page.value("Sheet1!D1") == 42
        assert page.cells["Sheet1!B1"][1] == "=DOUBLE(A1)"  # the formula as typed
        await page.edit("A1", ["5"])
        await page.shows("Sheet1!C1", 11)

    async def test_lists_spill_down_and_blocks_show_spill(self, page):
        await page.edit("A1", ["=GRID(3)", "", "=STACK()"])
        await page.shows("Sheet1!B3", 4)
        await page.shows("Sheet1!C3", 3)
        assert [page.value(f"Sheet1!A{row}") for row in (1, 2, 3)] == [0, 1, 2]
        assert page.cells["Sheet1!A2"][1] == ""  # filled by the array, typed nowhere
        await page.edit("B2", ["in the way"])
        await page.shows("Sheet1!A1", {"error": "#SPILL!"})
        assert page.value("Sheet1!A2") is None
        await page.edit("B2", [""])
        await page.shows("Sheet1!B2", 1)

    async def test_failures_show_value_errors_with_their_message(self, page):
        await page.edit("A1", ["=BOOM(0)", "=MAPPING()", "=HUGE()", "=NOSUCH(1)", "=1+(",
                               "=A1+1"])
        await page.until(lambda c: all(c.value(f"Sheet1!{a}1") != {"error": "#BUSY!"}
                                       for a in "ABC"))
        assert page.cells["Sheet1!A1"][0] == {"error": "#VALUE!"}
        assert "ZeroDivisionError" in page.cells["Sheet1!A1"][2]
        assert page.cells["Sheet1!B1"][0] == {"error": "#VALUE!"}
        assert "dict" in page.cells["Sheet1!B1"][2]
        assert page.cells["Sheet1!C1"][0] == {"error": "#VALUE!"}
        assert "1,000,000 cells" in page.cells["Sheet1!C1"][2]
        assert page.value("Sheet1!D1") == {"error": "#NAME?"}
        assert page.value("Sheet1!E1") == {"error": "#ERROR!"}
        assert "Formula error" in page.cells["Sheet1!E1"][2]
        assert page.cells["Sheet1!E1"][1] == "=1+("  # kept as typed, not lost
        assert page.value("Sheet1!F1") == {"error": "#VALUE!"}  # errors propagate
        await page.edit("A1", ["=BOOM(4)"])
        await page.shows("Sheet1!A1", 0.25)
        assert page.cells["Sheet1!A1"][2] is None

    async def test_circular_references_show_an_error(self, page):
        await page.edit("A1", ["=B1", "=A1"])
        await page.until(lambda c: isinstance(c.value("Sheet1!A1"), dict))
        assert page.value("Sheet1!A1") == {"error": "#CIRC!"}

    async def test_each_call_runs_once_per_recalculation_volatile_every_time(self, book, page):
        await page.edit("A1", ["=COUNTED(1)"], ["=COUNTED(1)"], ["=COUNTED(1)"], ["=TICKS()"])
        await page.until(lambda c: c.value("Sheet1!A1") == 1 and c.value("Sheet1!A3") == 1
                         and c.value("Sheet1!A4") == 1)
        await page.edit("C1", ["7"])  # an edit elsewhere recalculates the volatile only
        await page.shows("Sheet1!A4", 2)
        assert page.value("Sheet1!A1") == 1
        await page.ask({"type": "recalculate"})
        await page.until(lambda c: c.value("Sheet1!A1") == 2 and c.value("Sheet1!A4") == 3)
        assert page.value("Sheet1!A2") == page.value("Sheet1!A3") == 2

    async def test_a_function_saved_later_replaces_name_errors(self, book, page):
        await page.edit("A1", ["=TRIPLE(2)"])
        await page.shows("Sheet1!A1", {"error": "#NAME?"})
        await book.save_module(WB, "more", "import quorvel\n\n@quorvel.function\n"
                                           "def triple(x):\n    return 3 * x\n")
        await page.shows("Sheet1!A1", 6)
        await book.save_module(WB, "more", "import quorvel\n\n@quorvel.function\n"
                                           "def triple(x):\n    return 30 * x\n")
        await page.shows("Sheet1!A1", 60)  # a changed module's cells run it again


async def test_a_call_that_never_returns_times_out(hub, tmp_path, monkeypatch):
    async with DevHub(data_dir=str(tmp_path / "data"), call_timeout=2) as short:
        monkeypatch.setenv("QUORVEL_HUB_TOKEN", short.token)
        await short.open_workbook(str(tmp_path / WB))
        await short.kernel_ready(WB, scaled(60))
        await short.save_module(WB, "funcs", FUNCTIONS)
        async with SheetClient.connect(short, WB) as websocket:
            page = SheetClient(websocket)
            await page.edit("A1", ["=FOREVER()", "=DOUBLE(4)"])
            await page.shows("Sheet1!B1", 8)  # other calls go on meanwhile
            await page.shows("Sheet1!A1", {"error": "#VALUE!"}, timeout=20)
            assert "did not return within 2 s" in page.cells["Sheet1!A1"][2]


async def test_a_workbook_without_kernel_shows_busy_and_calculates_when_one_connects(
        hub, tmp_path):
    path = tmp_path / WB
    await hub.workbooks.open(str(path))
    await hub.save_module(WB, "funcs", FUNCTIONS)
    async with SheetClient.connect(hub, WB) as websocket:
        page = SheetClient(websocket)
        await page.edit("A1", ["4", "=DOUBLE(A1)"])
        await page.drain(1.0)
        assert page.value("Sheet1!B1") == {"error": "#BUSY!"}
        process = await hub.launch_kernel(WB)
        try:
            await page.shows("Sheet1!B1", 8, timeout=60)
        finally:
            await process.kill()


async def test_a_closed_workbook_is_let_go_of(hub, tmp_path):
    await hub.workbooks.open(str(tmp_path / WB))
    await hub.save_module(WB, "funcs", FUNCTIONS)
    live = hub.live_workbook(WB)
    await live.ready.wait()
    live.edit("Sheet1", 1, 1, [["=DOUBLE(2)"]])  # a call waits for a kernel
    kept = weakref.ref(live)
    del live
    await hub.workbooks.close(WB)
    gc.collect()
    assert kept() is None, gc.get_referrers(kept())


class TestUserCode:
    async def test_user_code_reads_values_and_its_writes_reach_every_page(self, book, page):
        async with SheetClient.connect(book, WB) as second_socket, \
                hub_connect(book, IDE_PATH, max_size=None) as ide:
            second = SheetClient(second_socket)
            await page.edit("A1", ["20", "=A1*2", "=DOUBLE(A1)"])
            await page.shows("Sheet1!C1", 40)
            code = ("import quorvel\n"
                    "print(quorvel.excel.range('B1').value, quorvel.excel.range('C1').value)\n"
                    "quorvel.excel.range('A3:B3').value = [[1, '=A3+10']]\n")
            await ide.send(json.dumps({"type": "execution_request", "workbook_id": WB,
                                       "code": code, "request_id": "u1"}))
            printed = ""
            while "\n" not in printed:
                message = json.loads(await asyncio.wait_for(ide.recv(), scaled(30)))
                if message.get("type") == "stdout":
                    printed += message["content"]
            assert printed.split() == ["40", "40"]  # a formula cell reads as its value
            for client in (page, second):
                await client.shows("Sheet1!B3", 11)
            assert page.cells["Sheet1!B3"][1] == "=A3+10"

    async def test_a_message_box_reaches_the_pages(self, book, page):
        async with hub_connect(book, IDE_PATH, max_size=None) as ide:
            await ide.send(json.dumps({
                "type": "execution_request", "workbook_id": WB, "request_id": "m1",
                "code": "import quorvel\nquorvel.show_message_box('Done', 'Report', 'Info')"}))
            await page.until(lambda c: any(m.get("type") == "message_box" for m in c.other))
        box = next(m for m in page.other if m.get("type") == "message_box")
        assert (box["message"], box["title"], box["msg_type"]) == ("Done", "Report", "Info")


class TestEditsAreKept:
    async def test_edits_are_in_the_file_after_the_hub_stops(self, tmp_path, monkeypatch):
        path = tmp_path / "Kept.xlsx"
        async with DevHub(data_dir=str(tmp_path / "data")) as hub:
            monkeypatch.setenv("QUORVEL_HUB_TOKEN", hub.token)
            await hub.workbooks.open(str(path))
            async with SheetClient.connect(hub, "Kept.xlsx") as websocket:
                page = SheetClient(websocket)
                reply = await page.edit("A1", ["3", "=A1*2", "text", "TRUE"])
                assert reply["previous"] == [["", "", "", ""]]
                assert (await page.edit("A1", ["4"]))["previous"] == [["3"]]
        cells = openpyxl.load_workbook(path).active
        assert [cells.cell(1, c).value for c in range(1, 5)] == [4, "=A1*2", "text", True]
        async with DevHub(data_dir=str(tmp_path / "data")) as hub:
            monkeypatch.setenv("QUORVEL_HUB_TOKEN", hub.token)
            await hub.workbooks.open(str(path))
            async with SheetClient.connect(hub, "Kept.xlsx") as websocket:
                page = SheetClient(websocket)
                reply = await page.ask({"type": "get", "sheet": "Sheet1", "top": 1, "left": 1,
                                        "bottom": 5, "right": 5})
                assert sorted(map(tuple, reply["cells"])) == [
                    (1, 1, 4, "4"), (1, 2, 8, "=A1*2"), (1, 3, "text", "text"),
                    (1, 4, True, "TRUE")]


    async def test_a_file_of_many_formulas_opens_in_moments(self, tmp_path, monkeypatch):
        path = tmp_path / "Many.xlsx"
        book = openpyxl.Workbook()
        for n in range(1, 5_001):
            book.active.append([n, f"=A{n}*2"])
        book.save(path)
        async with DevHub(data_dir=str(tmp_path / "data")) as hub:
            monkeypatch.setenv("QUORVEL_HUB_TOKEN", hub.token)
            await hub.workbooks.open(str(path))
            live = hub.live_workbook("Many.xlsx")
            # Reading formulas out of an engine not yet calculated took 2 ms each (10 s here).
            await asyncio.wait_for(live.ready.wait(), scaled(3))
            assert live.engine.value("Sheet", 5_000, 2) == 10_000
            assert live.formulas[("Sheet", 5_000, 2)] == "=A5000*2"


class TestBadRequests:
    async def test_bounds_are_refused_and_nothing_is_lost(self, page):
        await page.edit("A1", ["kept"])
        long_text = "x" * (MAX_INPUT_CHARS + 1)
        for message, problem in [
                ({"type": "edit", "sheet": "Sheet1", "row": 1, "col": 1,
                  "inputs": [[long_text]]}, "characters"),
                ({"type": "edit", "sheet": "Sheet1", "row": 1, "col": 1,
                  "inputs": [["1"] * 1000] * 101}, "at most 100,000"),
                ({"type": "edit", "sheet": "Nope", "row": 1, "col": 1, "inputs": [["1"]]},
                 "No sheet"),
                ({"type": "edit", "sheet": "Sheet1", "row": 1048576, "col": 1,
                  "inputs": [["1"], ["2"]]}, "Not a block"),
                ({"type": "get", "sheet": "Sheet1", "top": 1, "left": 1, "bottom": 1000,
                  "right": 1000}, "at most"),
                ({"type": "nonsense"}, "Unknown request")]:
            reply = await page.ask(message)
            assert reply["type"] == "refused" and problem in reply["error"], (message, reply)
        assert (await page.edit("A1", ["kept too"]))["previous"] == [["kept"]]

    async def test_a_ten_thousand_cell_paste_lands_whole(self, page):
        rows = [[str(r), f"=A{r}*2"] for r in range(1, 10_001)]
        reply = await page.edit("A1", *rows)
        assert reply["type"] == "edited" and len(reply["previous"]) == 10_000
        await page.shows("Sheet1!B10000", 20_000)

    async def test_every_field_wrong_gets_one_answer_each(self, page):
        """Each request type with each field made wrong in turn: one reply per id, and the
        page's socket still works after."""
        good = {"get": {"sheet": "Sheet1", "top": 1, "left": 1, "bottom": 2, "right": 2},
                "edit": {"sheet": "Sheet1", "row": 1, "col": 1, "inputs": [["1"]]},
                "recalculate": {}}
        wrong_values = [None, True, -1, 0, 2**70, 1.5, "", "x" * 1000, [], {}, [[None]],
                        [[1, 2]], [["="]], {"a": [1]}]
        rng = random.Random(3)
        sent = []
        for kind, fields in good.items():
            for name in list(fields) + ["id"]:
                for wrong in wrong_values:
                    message = {"type": kind, **fields}
                    message[name] = wrong
                    if name != "id":
                        message["id"] = 1000 + len(sent)
                    sent.append(message)
        rng.shuffle(sent)
        for message in sent:
            await page.websocket.send(json.dumps(message))
        await page.websocket.send("{not json")
        await page.websocket.send(json.dumps([1, 2]))
        await page.websocket.send(b"\xff\xfe")
        # A frame whose numbers JSON parsers refuse (2**70) is refused without an id.
        expected = collections.Counter(m["id"] for m in sent if isinstance(m.get("id"), int)
                                       and not isinstance(m.get("id"), bool)
                                       and abs(m["id"]) < 2**63)
        await page.until(lambda c: all(len(c._replies.get(i, ())) >= n
                                       for i, n in expected.items()), timeout=60)
        await page.drain(0.5)
        assert {i: len(page._replies[i]) for i in expected} == dict(expected)
        assert (await page.edit("Z1", ["still here"]))["type"] == "edited"


def _get(hub, path, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", hub.port, timeout=10)
    connection.request("GET", path, headers=headers or {})
    response = connection.getresponse()
    return response.status, dict(response.getheaders()), response.read().decode()


async def test_the_printed_address_sets_the_cookie_that_opens_the_pages(hub, tmp_path):
    await hub.workbooks.open(str(tmp_path / "My Book.xlsx"))
    status, headers, _ = await asyncio.to_thread(_get, hub, f"/?token={hub.token}")
    assert status == 303 and headers["Location"] == "/"
    cookie = headers["Set-Cookie"]
    assert cookie.startswith(f"quorvel_token={hub.token};")
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    with_cookie = {"Cookie": f"quorvel_token={hub.token}"}
    status, headers, listing = await asyncio.to_thread(_get, hub, "/", with_cookie)
    assert status == 200 and 'href="/workbook/My%20Book.xlsx"' in listing
    assert "frame-ancestors 'none'" in headers["Content-Security-Policy"]
    assert headers["Connection"] == "close"
    status, _, page = await asyncio.to_thread(_get, hub, "/workbook/My%20Book.xlsx", with_cookie)
    assert status == 200 and "/static/sheet.js" in page
    for path, headers, expected in [
            ("/", {}, 403), ("/workbook/My%20Book.xlsx", {"Cookie": "quorvel_token=old"}, 403),
            ("/?token=guessed", {}, 403), ("/static/sheet.js", {}, 403),
            ("/workbook/Other.xlsx", with_cookie, 404), ("/static/../hub.py", with_cookie, 404),
            ("/", {**with_cookie, "Origin": "http://evil.example"}, 403)]:
        status, _, _ = await asyncio.to_thread(_get, hub, path, headers)
        assert status == expected, (path, headers)


async def test_pages_are_refused_without_the_token_or_from_other_origins(hub, tmp_path):
    await hub.workbooks.open(str(tmp_path / WB))
    from websockets.asyncio.client import connect
    from websockets.exceptions import InvalidStatus
    for headers in ({"Origin": hub.http_url},
                    {"Origin": hub.http_url, "Cookie": "quorvel_token=guessed"},
                    {"Origin": "http://evil.example", "Cookie": f"quorvel_token={hub.token}"},
                    {"Cookie": f"quorvel_token={hub.token}"}):
        with pytest.raises(InvalidStatus) as refused:
            async with connect(hub.url + "/ws/sheet/" + WB, additional_headers=headers):
                pass
        assert refused.value.response.status_code == 403, headers
    with pytest.raises(InvalidStatus) as refused:
        async with connect(hub.url + "/ws/sheet/Other.xlsx", additional_headers={
                "Origin": hub.http_url, "Cookie": f"quorvel_token={hub.token}"}):
            pass
    assert refused.value.response.status_code == 404


async def test_edits_a_killed_hub_acknowledged_are_there_when_it_starts_again(tmp_path):
    from types import SimpleNamespace

    from .test_workbooks_in_the_hub import start_hub
    path = tmp_path / "Crash.xlsx"
    process, info = start_hub(tmp_path / "data", str(path))
    try:
        peer = SimpleNamespace(token=info["token"], url=info["url"], http_url=info["http_url"])
        for _ in range(int(scaled(100))):
            try:
                websocket = await SheetClient.connect(peer, path.name)
                break
            except Exception:  # the workbook is not open yet
                await asyncio.sleep(0.1)
        page = SheetClient(websocket)
        for row in range(1, 51):
            assert (await page.edit(f"A{row}", [str(row), f"=A{row}*2"]))["type"] == "edited"
        await websocket.close()
    finally:
        process.kill()  # SIGKILL: the file may lack the edits, its journal has them
        process.wait()
    process, info = start_hub(tmp_path / "data", str(path))
    try:
        peer = SimpleNamespace(token=info["token"], url=info["url"], http_url=info["http_url"])
        for _ in range(int(scaled(100))):
            try:
                websocket = await SheetClient.connect(peer, path.name)
                break
            except Exception:
                await asyncio.sleep(0.1)
        page = SheetClient(websocket)
        reply = await page.ask({"type": "get", "sheet": "Sheet1", "top": 1, "left": 1,
                                "bottom": 60, "right": 3})
        cells = {(r, c): (value, shown) for r, c, value, shown, *_ in reply["cells"]}
        assert all(cells[(row, 1)] == (row, str(row)) and cells[(row, 2)] == (2 * row,
                                                                             f"=A{row}*2")
                   for row in range(1, 51)), cells
        await websocket.close()
    finally:
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=scaled(30))
    sheet = openpyxl.load_workbook(path).active  # the stop wrote the journal into the file
    assert [sheet.cell(50, c).value for c in (1, 2)] == [50, "=A50*2"]
