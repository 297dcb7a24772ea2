"""Workbook files through the hub, as the IDE and the kernels see them: opened from the command
line and the IDE, saves acknowledged only once durable, a hub killed in a burst of saves
losing nothing it acknowledged, cells of the file read and written by user code."""
import asyncio
import json
import os
import signal
import subprocess
import sys
import zipfile

import openpyxl
import pytest
from websockets.asyncio.client import connect

from devhub.access import IDE_PATH
from devhub.workbook_journal import journal_path, read_journal
from devhub.workbook_part import read_part

from ..conftest import hub_connect, scaled


class Ide:
    """A raw IDE connection to the hub: requests with ids, and every message kept."""

    def __init__(self, websocket):
        self.websocket = websocket
        self.seen = []
        self._n = 0

    async def send(self, message):
        self._n += 1
        message.setdefault("request_id", f"r{self._n}")
        await self.websocket.send(json.dumps(message))
        return message["request_id"]

    async def next(self, timeout=30):
        message = json.loads(await asyncio.wait_for(self.websocket.recv(), scaled(timeout)))
        self.seen.append(message)
        return message

    async def ask(self, message, timeout=60):
        request_id = await self.send(message)
        while True:
            reply = await self.next(timeout)
            if reply.get("request_id") == request_id and reply["type"] not in (
                    "stdout", "stderr", "result_output"):
                return reply

    async def cell(self, workbook_id, code):
        return await self.ask({"type": "execution_request", "workbook_id": workbook_id,
                               "code": code})


@pytest.fixture
async def ide(hub):
    async with hub_connect(hub, IDE_PATH, max_size=None) as websocket:
        client = Ide(websocket)
        assert (await client.next())["type"] == "workbook_list"
        yield client


class TestTheIdeOpensAndClosesFiles:
    async def test_new_open_close_and_a_second_file_of_the_same_name(self, hub, ide, tmp_path):
        path = tmp_path / "My Budget é.xlsx"
        opened = await ide.ask({"type": "new_workbook", "path": str(path)})
        assert opened["success"], opened
        assert (opened["workbook_id"], opened["path"]) == (path.name, str(path))
        saved = await ide.ask({"type": "update_module", "workbook_id": path.name,
                               "module_name": "calc", "code": "RATE = 0.05\n"})
        assert saved["type"] == "module_updated"
        assert (await ide.cell(path.name, "import calc; calc.RATE"))["result"] == "0.05"

        again = await ide.ask({"type": "new_workbook", "path": str(path)})
        assert not again["success"] and "exists already" in again["message"]
        (tmp_path / "other").mkdir()
        twin = tmp_path / "other" / path.name
        twin.write_bytes(path.read_bytes())
        refused = await ide.ask({"type": "open_workbook", "path": str(twin)})
        assert not refused["success"] and "is open already" in refused["message"]

        closed = await ide.ask({"type": "close_workbook", "workbook_id": path.name})
        assert closed["success"], closed
        assert any(m == {"type": "workbook_disconnected", "workbook_id": path.name}
                   for m in ide.seen)
        assert hub.workbook_ids() == [] and not os.path.exists(journal_path(str(path)))
        assert read_part(zipfile.ZipFile(path)).modules == {"calc": "RATE = 0.05\n"}

        reopened = await ide.ask({"type": "open_workbook", "path": str(path)})
        assert reopened["success"], reopened
        assert (await ide.cell(path.name, "import calc; calc.RATE * 2"))["result"] == "0.1"

    async def test_a_bad_file_is_refused_and_the_other_workbooks_keep_working(self, hub, ide,
                                                                            tmp_path):
        good = await ide.ask({"type": "new_workbook", "path": str(tmp_path / "Good.xlsx")})
        assert good["success"]
        bad = tmp_path / "Bad.xlsx"
        bad.write_bytes(b"not a workbook at all")
        refused = await ide.ask({"type": "open_workbook", "path": str(bad)})
        assert not refused["success"] and str(bad) in refused["message"]
        assert "not a zip file" in refused["message"]
        assert bad.read_bytes() == b"not a workbook at all"
        missing = await ide.ask({"type": "open_workbook", "path": str(tmp_path / "No.xlsx")})
        assert not missing["success"] and "no such file" in missing["message"]
        assert (await ide.cell("Good.xlsx", "1 + 1"))["result"] == "2"
        assert hub.workbook_ids() == ["Good.xlsx"]


class TestSavesAreDurableBeforeTheyAreAcknowledged:
    async def test_the_file_or_its_journal_holds_a_save_when_the_ide_hears_of_it(self, hub, ide):
        assert (await ide.ask({"type": "new_workbook", "workbook_id": "D.xlsx"}))["success"]
        path = hub.workbooks.default_path("D.xlsx")
        for n in range(20):
            code = f"VALUE = {n}\n"
            reply = await ide.ask({"type": "update_module", "workbook_id": "D.xlsx",
                                   "module_name": "m", "code": code})
            assert reply["type"] == "module_updated"
            journal = read_journal(journal_path(path))
            in_journal = journal is not None and {"op": "module", "name": "m",
                                                  "code": code} in journal.records
            assert in_journal or read_part(zipfile.ZipFile(path)).modules.get("m") == code

    async def test_a_save_without_a_kernel_reaches_the_file(self, hub, ide):
        assert (await ide.ask({"type": "new_workbook", "workbook_id": "K.xlsx"}))["success"]
        await hub.kernels.stop("K.xlsx")
        reply = await ide.ask({"type": "update_module", "workbook_id": "K.xlsx",
                               "module_name": "m", "code": "X = 1\n"})
        assert reply["type"] == "module_updated"
        bad = await ide.ask({"type": "update_module", "workbook_id": "K.xlsx",
                             "module_name": "m", "code": ["not", "text"]})
        assert bad["type"] == "request_refused" and "not text" in bad["message"]
        assert hub.workbooks.get("K.xlsx").modules == {"m": "X = 1\n"}


    async def test_breakpoints_are_kept_in_the_file_and_bad_ones_refused(self, hub, ide):
        assert (await ide.ask({"type": "new_workbook", "workbook_id": "B.xlsx"}))["success"]
        stops = [{"module_name": "m", "line": 3}, {"module_name": "m", "line": 9,
                                                   "condition": "x > 1"}]
        reply = await ide.ask({"type": "save_breakpoints", "workbook_id": "B.xlsx",
                               "breakpoints": stops})
        assert reply["type"] == "breakpoints_saved" and reply["success"]
        for bad, reason in (("all", "must be a list"), ([{"line": 1}], "module_name"),
                            ([{"module_name": "m", "line": 0}], "line number"),
                            ([{"module_name": "m", "line": 1, "hits": 2}], "record")):
            reply = await ide.ask({"type": "save_breakpoints", "workbook_id": "B.xlsx",
                                   "breakpoints": bad})
            assert not reply["success"] and reason in reply["message"]
        path = hub.workbooks.get("B.xlsx").path
        assert (await ide.ask({"type": "close_workbook", "workbook_id": "B.xlsx"}))["success"]
        assert (await ide.ask({"type": "open_workbook", "path": path}))["success"]
        state = await ide.ask({"type": "watch_workbooks", "version": -1})
        entry = next(e for e in state["workbooks"] if e["id"] == "B.xlsx")
        assert entry["breakpoints"] == stops


class TestTheCellsOfTheFile:
    async def test_user_code_reads_and_writes_the_files_cells(self, hub, ide, tmp_path):
        path = tmp_path / "Cells.xlsx"
        made = openpyxl.Workbook()
        made.active.title = "Data"
        made["Data"]["A1"], made["Data"]["A2"] = 20, "=A1*2"
        made.save(path)
        assert (await ide.ask({"type": "open_workbook", "path": str(path)}))["success"]
        read = await ide.cell(path.name, "excel.range('A1:A2').value")
        assert read["result"] == "[[20], [40]]"  # a formula cell reads as its value
        wrote = await ide.cell(path.name, "excel.range('B1').value = 'from Python'")
        assert wrote["success"], wrote
        for _ in range(int(scaled(50))):
            if openpyxl.load_workbook(path)["Data"]["B1"].value == "from Python":
                break
            await asyncio.sleep(0.1)
        assert openpyxl.load_workbook(path)["Data"]["B1"].value == "from Python"


def start_hub(data_dir, *arguments):
    process = subprocess.Popen(
        [sys.executable, "-m", "devhub", "--port", "0", "--data-dir", str(data_dir), *arguments],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = process.stdout.readline()
    assert first.startswith("development hub listening on"), process.stderr.read()
    for _ in range(3):
        process.stdout.readline()
    info = json.loads((data_dir / "hub.json").read_text())
    return process, info


async def connect_ide(info):
    websocket = await connect(info["url"] + IDE_PATH, max_size=None,
                              additional_headers={"Authorization": f"Bearer {info['token']}"})
    ide = Ide(websocket)
    await ide.next()  # the workbook list
    return ide


async def until_connected(ide, workbook_id):
    version = -1
    while True:
        state = await ide.ask({"type": "watch_workbooks", "version": version})
        version = state["version"]
        if any(w["id"] == workbook_id and w["kernel"] == "connected" for w in state["workbooks"]):
            return


class TestTheHubProcess:
    async def test_files_on_the_command_line_and_a_name_taken_twice(self, tmp_path):
        (tmp_path / "a").mkdir()
        (tmp_path / "b").mkdir()
        process, info = start_hub(tmp_path / "data", str(tmp_path / "a" / "Book1.xlsx"),
                                  str(tmp_path / "b" / "Book1.xlsx"), "--kernel", "Other.xlsx")
        try:
            ide = await connect_ide(info)
            await until_connected(ide, "Book1.xlsx")
            await until_connected(ide, "Other.xlsx")
            assert os.path.exists(tmp_path / "a" / "Book1.xlsx")
            assert not os.path.exists(tmp_path / "b" / "Book1.xlsx")
            assert os.path.exists(tmp_path / "data" / "workbooks" / "Other.xlsx")
            await ide.websocket.close()
        finally:
            process.send_signal(signal.SIGTERM)
            _, errors = process.communicate(timeout=scaled(30))
        assert "not opened:" in errors and "a workbook named Book1.xlsx is open already" in errors
        assert not (tmp_path / "data" / "hub.json").exists()

    async def test_a_hub_killed_in_a_burst_of_saves_loses_nothing_it_acknowledged(
            self, tmp_path):
        path = tmp_path / "Burst.xlsx"
        process, info = start_hub(tmp_path / "data", str(path))
        acknowledged = {}
        try:
            ide = await connect_ide(info)
            await until_connected(ide, path.name)
            sent = {}
            for n in range(400):
                module = f"m{n % 20}"
                sent[await ide.send({"type": "update_module", "workbook_id": path.name,
                                     "module_name": module, "code": f"N = {n}\n"})] = (module, n)
            acks = 0
            while acks < 150:
                reply = await ide.next()
                if reply.get("type") == "module_updated" and reply["request_id"] in sent:
                    acks += 1
                    module, n = sent[reply["request_id"]]
                    acknowledged[module] = max(n, acknowledged.get(module, -1))
        finally:
            process.kill()  # SIGKILL, in the middle of the burst
            process.wait()
        assert len(acknowledged) == 20
        # The file on disk is a workbook whatever the moment of the kill.
        openpyxl.load_workbook(path)

        process, info = start_hub(tmp_path / "data", str(path))
        try:
            ide = await connect_ide(info)
            await until_connected(ide, path.name)
            modules = next(w["modules"] for w in [m for m in ide.seen
                                                  if m.get("type") == "workbook_connected"])
            for module, n in acknowledged.items():
                assert int(modules[module].split("=")[1]) >= n, module
            values = await ide.cell(path.name, "import m0; m0.N")
            assert int(values["result"]) >= acknowledged["m0"]
        finally:
            process.send_signal(signal.SIGTERM)
            process.communicate(timeout=scaled(30))
        assert not os.path.exists(journal_path(str(path)))  # the stop wrote it into the file
        assert read_part(zipfile.ZipFile(path)).modules == modules


class TestLanguageServicesWhenWanted:
    async def test_a_kernel_loads_them_at_its_first_request_or_once_the_ide_edits_it(
            self, ide, tmp_path):
        check = "import sys\nprint('loaded' if 'jedi' in sys.modules else 'not loaded')"

        async def loaded(workbook_id):
            before = len(ide.seen)
            reply = await ide.cell(workbook_id, check)
            assert reply["success"], reply
            printed = "".join(m.get("content", "") for m in ide.seen[before:]
                              if m["type"] == "stdout")
            return printed.strip() == "loaded"

        for name in ("Asked.xlsx", "Edited.xlsx"):
            opened = await ide.ask({"type": "new_workbook", "path": str(tmp_path / name)})
            assert opened["success"], opened
        await asyncio.sleep(scaled(1))
        # Nobody edits them: nothing is loaded at connect.
        assert not await loaded("Asked.xlsx") and not await loaded("Edited.xlsx")
        # A request before anything is loaded is answered, and loads them.
        reply = await ide.ask({"type": "completion_request", "workbook_id": "Asked.xlsx",
                               "module_name": "m", "code": "import os\nos.pa", "line": 2,
                               "column": 5})
        assert "path" in [item["label"] for item in reply["completions"]], reply
        assert await loaded("Asked.xlsx")
        await ide.websocket.send(json.dumps({"type": "editing_workbook",
                                             "workbook_id": "Edited.xlsx"}))
        for _ in range(int(scaled(200))):
            if await loaded("Edited.xlsx"):
                break
            await asyncio.sleep(0.1)
        else:
            raise AssertionError("the kernel did not load its language services")
