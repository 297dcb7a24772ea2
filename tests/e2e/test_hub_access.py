"""Who gets into the hub: refused handshakes carry no message and run no code, a workbook takes
one kernel, a second IDE takes the first one's place, and hub.json tells the hub's own processes
the token."""
import asyncio
import gc
import json
import logging
import os
import stat
import subprocess
import sys
import tracemalloc

import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosedError
from websockets.frames import Frame, Opcode

from devhub import DevHub
from devhub.access import IDE_PATH, KERNEL_PATH

from ..conftest import hub_connect, scaled

WB = "Book1.xlsx"
HUB_LOGGER = "devhub.hub"


def bearer(token):
    return {"Authorization": f"Bearer {token}"}


def marker_cell(path) -> str:
    """A cell that leaves a file behind if it ever runs."""
    return json.dumps({"type": "execution_request", "workbook_id": WB, "request_id": "evil",
                       "code": f"open({str(path)!r}, 'w').write('ran')"})


def handshake_request(port, path, headers, then=None) -> bytes:
    """A WebSocket handshake written by hand, with `then` (a text) pipelined behind it as a
    masked frame, as a client that does not wait for the answer would send it."""
    lines = [f"GET {path} HTTP/1.1", f"Host: 127.0.0.1:{port}", "Upgrade: websocket",
             "Connection: Upgrade", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
             "Sec-WebSocket-Version: 13", *(f"{k}: {v}" for k, v in headers.items())]
    request = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")
    if then is not None:
        request += Frame(Opcode.TEXT, then.encode()).serialize(mask=True)
    return request


async def answer_to(reader, writer):
    """(status, everything the hub sent) for a handshake written to `writer`."""
    try:
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), scaled(10))
        status = int(head.split(b" ", 2)[1])
        # A refusal is followed by its body and the end of the connection; an accepted
        # handshake by the socket, which stays open.
        rest = b"" if status == 101 else await asyncio.wait_for(reader.read(), scaled(10))
    except asyncio.IncompleteReadError as ended:
        return None, ended.partial
    finally:
        writer.close()
    return status, head + rest


async def raw_handshake(port, path, headers, then=None):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(handshake_request(port, path, headers, then))
    return await answer_to(reader, writer)


@pytest.fixture
async def kernel(hub):
    """The workbook's real kernel, launched by the hub (it gets the token from the hub)."""
    process = await hub.launch_kernel(WB)
    await hub.wait_for_kernel(WB, timeout=scaled(60))
    yield process
    await process.kill()


async def ran_cell(ide, code: str) -> dict:
    """Runs a cell through the hub as the IDE; its execution_result."""
    await ide.send(json.dumps({"type": "execution_request", "workbook_id": WB, "code": code,
                               "request_id": "check"}))
    while True:
        message = json.loads(await asyncio.wait_for(ide.recv(), scaled(30)))
        if message.get("type") == "execution_result" and message.get("request_id") == "check":
            return message


class TestRefusedHandshakes:
    async def test_no_refused_connection_carries_a_message_or_runs_code(
            self, hub, kernel, tmp_path, caplog):
        caplog.set_level(logging.INFO, logger=HUB_LOGGER)
        token, port = hub.token, hub.port
        marker = tmp_path / "pwned"
        cases = [
            (IDE_PATH, {}, 403),
            (IDE_PATH, bearer("guessed"), 403),
            (IDE_PATH, bearer(""), 403),
            (IDE_PATH + "?token=", {}, 403),
            (IDE_PATH + "?token=guessed", {}, 403),
            (IDE_PATH, {"Authorization": f"Basic {token}"}, 403),
            (IDE_PATH + "?token=guessed", bearer(token), 403),  # header and query differ
            (f"{IDE_PATH}?token={token}&token={token}", {}, 403),
            (IDE_PATH, {**bearer(token), "Origin": "http://evil.example"}, 403),
            (IDE_PATH, {**bearer(token), "Origin": "null"}, 403),
            (IDE_PATH, {**bearer(token), "Origin": f"http://127.0.0.1:{port + 1}"}, 403),
            (IDE_PATH, {**bearer(token), "Origin": f"https://127.0.0.1:{port}"}, 403),
            (KERNEL_PATH + "Other.xlsx", {}, 403),
            (KERNEL_PATH + WB, bearer(token), 409),  # its kernel is connected
            ("/ws/other", bearer(token), 404),
            ("/nowhere", bearer(token), 404),
            (KERNEL_PATH + "..%2F..", bearer(token), 400),
            (KERNEL_PATH, bearer(token), 400),
            (KERNEL_PATH + "a" * 300, bearer(token), 400),
            (KERNEL_PATH + "a/b", bearer(token), 400),
        ]
        for path, headers, expected in cases:
            status, received = await raw_handshake(port, path, headers, then=marker_cell(marker))
            assert status == expected, (path, headers, received)
            # The answer is the refusal and nothing else: the hub closed without a frame.
            head, _, body = received.partition(b"\r\n\r\n")
            assert len(body) == int(head.split(b"Content-Length: ")[1].split(b"\r\n")[0])
        status, _ = await raw_handshake(port, IDE_PATH, bearer("a" * 100_000))
        assert status == 431  # the library's own bound on a header line

        # The kernel read on, and none of the cells sent with the refused handshakes ran.
        async with hub_connect(hub, IDE_PATH) as ide:
            result = await ran_cell(ide, f"import os; os.path.exists({str(marker)!r})")
        assert result["success"] and not marker.exists()
        assert hub.workbook_ids() == [WB]  # no slot for the ids that were refused

        refusals = [r for r in caplog.records
                    if r.name == HUB_LOGGER and r.levelno == logging.WARNING]
        assert len(refusals) == len(cases)
        assert all("127.0.0.1:" in r.getMessage() for r in refusals)
        assert "'/ws/kernel/Book1.xlsx'" in refusals[13].getMessage()
        assert not any(token in r.getMessage() for r in caplog.records)

    async def test_the_token_opens_the_endpoints_whichever_way_it_is_given(self, hub):
        token, port = hub.token, hub.port
        for path, headers in [(IDE_PATH, bearer(token)), (f"{IDE_PATH}?token={token}", {}),
                              (f"{IDE_PATH}?token={token}", bearer(token)),
                              (IDE_PATH, {"Authorization": f"bearer {token}"}),
                              (IDE_PATH, {**bearer(token), "Origin": f"http://127.0.0.1:{port}"}),
                              (IDE_PATH, {**bearer(token), "Origin": f"http://localhost:{port}"})]:
            async with connect(f"ws://127.0.0.1:{port}{path}", additional_headers=headers) as ide:
                greeting = json.loads(await asyncio.wait_for(ide.recv(), scaled(10)))
                assert greeting["type"] == "workbook_list"

    async def test_a_hub_that_asks_for_no_token_still_refuses_foreign_origins(self, monkeypatch):
        monkeypatch.setenv("QUORVEL_SECURED", "0")
        async with DevHub(authenticate=False) as hub:
            assert hub.hub_file is None
            status, _ = await raw_handshake(hub.port, IDE_PATH, {"Origin": "http://evil.example"})
            assert status == 403
            status, _ = await raw_handshake(hub.port, IDE_PATH, {})
            assert status == 101


class TestOneKernelPerWorkbook:
    async def test_a_second_kernel_connection_is_refused_and_the_first_keeps_serving(
            self, hub, kernel):
        async with hub_connect(hub, IDE_PATH) as ide:
            with pytest.raises(Exception) as refused:
                async with hub_connect(hub, KERNEL_PATH + WB):
                    pass
            assert refused.value.response.status_code == 409
            await ide.send(json.dumps({"type": "update_module", "workbook_id": WB,
                                       "module_name": "secret", "code": "X = 1\n",
                                       "request_id": "save"}))
            while True:
                reply = json.loads(await asyncio.wait_for(ide.recv(), scaled(10)))
                if reply.get("request_id") == "save":
                    break
            assert reply["type"] == "module_updated"
            assert (await ran_cell(ide, "import secret; secret.X"))["success"]

    async def test_of_handshakes_at_once_one_is_let_in(self, hub):
        sockets = [await asyncio.open_connection("127.0.0.1", hub.port) for _ in range(8)]
        request = handshake_request(hub.port, KERNEL_PATH + "Race.xlsx", bearer(hub.token))
        for _, writer in sockets:  # all in the hub's socket buffers before it reads one
            writer.write(request)
        results = await asyncio.gather(*[answer_to(*pair) for pair in sockets])
        assert sorted(status for status, _ in results) == [101] + [409] * 7


class TestASecondIde:
    async def test_the_newer_ide_takes_the_place_and_the_older_is_told_why(self, hub):
        async with hub_connect(hub, IDE_PATH) as first:
            await first.recv()  # its workbook list
            async with hub_connect(hub, IDE_PATH) as second:
                assert json.loads(await second.recv())["type"] == "workbook_list"
                with pytest.raises(ConnectionClosedError) as closed:
                    await asyncio.wait_for(first.recv(), scaled(10))
                assert (closed.value.rcvd.code, closed.value.rcvd.reason) == (
                    4001, "Another IDE connected to this hub")
                await second.send(json.dumps({"type": "watch_workbooks", "version": -1,
                                              "request_id": "w"}))
                reply = json.loads(await asyncio.wait_for(second.recv(), scaled(10)))
                assert reply["type"] == "workbooks_state"


class TestHubFile:
    async def test_hub_json_names_the_hub_for_its_owner_only_while_it_runs(self, tmp_path):
        async with DevHub(data_dir=str(tmp_path)) as hub:
            path = tmp_path / "hub.json"
            assert hub.hub_file == str(path)
            assert stat.S_IMODE(path.stat().st_mode) == 0o600
            assert json.loads(path.read_text()) == {
                "url": f"ws://127.0.0.1:{hub.port}", "http_url": f"http://127.0.0.1:{hub.port}",
                "token": hub.token, "pid": os.getpid()}
            assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".hub")] == []
            first_token = hub.token
        assert not path.exists()
        async with DevHub(data_dir=str(tmp_path)) as hub:
            assert hub.token != first_token and len(hub.token) >= 43

    async def test_a_later_hub_keeps_its_file_when_an_earlier_one_stops(self, tmp_path):
        earlier = await DevHub(data_dir=str(tmp_path)).start()
        async with DevHub(data_dir=str(tmp_path)) as later:
            await earlier.stop()
            assert json.loads((tmp_path / "hub.json").read_text())["token"] == later.token

    def test_the_hub_process_says_what_to_run_and_the_ide_finds_it(self, tmp_path):
        from ide.gui.__main__ import hub_of, parse_args

        process = subprocess.Popen(
            [sys.executable, "-m", "devhub", "--port", "0", "--data-dir", str(tmp_path)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            lines = [process.stdout.readline() for _ in range(4)]
            info = json.loads((tmp_path / "hub.json").read_text())
            assert lines[0].strip() == f"development hub listening on {info['url']}"
            assert str(tmp_path / "hub.json") in lines[1]
            assert "-m ide.gui" in lines[2]
            assert info["pid"] == process.pid
            host, port, found = hub_of(parse_args(["--hub-file", str(tmp_path / "hub.json")]))
            assert (host, f"ws://{host}:{port}", found.token) == (
                "127.0.0.1", info["url"], info["token"])
            # A port given by hand that is not the file's hub's: the file's token is not sent.
            assert hub_of(parse_args(["--hub-file", str(tmp_path / "hub.json"),
                                      "--port", "1"]))[2] is None
        finally:
            process.terminate()
            process.wait(scaled(15))
        assert not (tmp_path / "hub.json").exists()


class TestRefusalsCostNothing:
    async def test_a_thousand_refused_handshakes_leave_the_hub_serving_with_flat_memory(
            self, hub):
        # The hub's log lines are not kept while memory is measured (the capture would keep
        # every record); Python's own allocations are counted, which also works in the
        # sanitizer run, whose allocator keeps freed memory in quarantine.
        for name in (HUB_LOGGER, "websockets"):
            logging.getLogger(name).setLevel(logging.CRITICAL)

        async def refuse(rounds):
            statuses = set()
            for n in range(rounds):
                path, headers = [(IDE_PATH, {}), (IDE_PATH, bearer("guess")),
                                 (IDE_PATH, bearer("x" * 100_000)),
                                 (KERNEL_PATH + "..%2F..", bearer(hub.token))][n % 4]
                statuses.add((await raw_handshake(hub.port, path, headers))[0])
            return statuses

        tracemalloc.start()
        try:
            await refuse(200)
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            assert await refuse(1000) == {403, 431, 400}
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
            for name in (HUB_LOGGER, "websockets"):
                logging.getLogger(name).setLevel(logging.NOTSET)
        assert grown < 256 * 1024, grown
        async with hub_connect(hub, IDE_PATH) as ide:
            assert json.loads(await asyncio.wait_for(ide.recv(), scaled(10)))["type"] == (
                "workbook_list")
