"""Workbook files as the hub keeps them: what the file holds comes back identical, what was
acknowledged is on disk, bad files are refused with a reason and left as they are, and a file
another program changed is not overwritten."""
import asyncio
import hashlib
import io
import os
import shutil
import stat
import subprocess
import zipfile

import openpyxl
import pytest

from devhub.workbook_file import MAX_WORKBOOK_BYTES, WorkbookFile, WorkbookFileError
from devhub.workbook_journal import journal_path, read_journal
from devhub.workbook_part import NAMESPACE, PartContents, read_part, with_part

from ..conftest import scaled, without_sanitizer

SOURCES = {
    "plain": "def f(x):\n    return x * 2\n",
    "markup": "s = '<a href=\"x\">&amp;</a>'  # ]]> and & and <\n",
    "unicode": "name = 'Zürich 東京 \U0001F600'\n",
    "windows": "a = 1\r\nb = 2\r\n",
    "control": "form = '\x0c'\nbell = '\x07'\n",
    "surrogate": "lone = '\ud800'\n",
    "empty": "",
    "pkg.sub": "X = 1\n",
}


def digest(path) -> str:
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


async def reopened(path) -> WorkbookFile:
    """The file opened afresh, as a hub started again (or after a crash) would."""
    workbook = await WorkbookFile.open(str(path))
    await workbook.cells_ready()
    return workbook


class TestWhatTheFileKeeps:
    async def test_modules_packages_and_settings_come_back_identical(self, tmp_path):
        path = tmp_path / "Book1.xlsx"
        workbook = await WorkbookFile.open(str(path))
        for name, code in SOURCES.items():
            await workbook.set_module(name, code)
        await workbook.set_packages([{"name": "tinypkg", "version": "1.0", "paths": ["c/t"]}])
        await workbook.set_setting("timers", [{"every": 5, "function": "tick"}])
        await workbook.close()
        assert not os.path.exists(journal_path(str(path)))  # all of it is in the file now
        again = await reopened(path)
        assert again.modules == SOURCES
        assert again.packages == [{"name": "tinypkg", "version": "1.0", "paths": ["c/t"]}]
        assert again.settings == {"timers": [{"every": 5, "function": "tick"}]}
        await again.close()

    async def test_a_new_file_is_a_workbook_with_one_empty_sheet(self, tmp_path):
        path = tmp_path / "New Book é.xlsx"  # spaces and non-ASCII characters are fine
        workbook = await WorkbookFile.open(str(path))
        await workbook.close()
        cells = openpyxl.load_workbook(path)
        assert cells.sheetnames == ["Sheet1"] and cells.active.max_row == 1
        assert stat.S_IMODE(path.stat().st_mode) == 0o644

    async def test_cells_are_read_and_written_and_a_formula_keeps_its_text(self, tmp_path):
        path = tmp_path / "Cells.xlsx"
        made = openpyxl.Workbook()
        made.active.title = "Data"
        made.create_sheet("Other")
        made["Data"]["A1"], made["Data"]["B1"] = 4, "=A1*2"
        made.save(path)
        workbook = await reopened(path)
        ask = workbook.answer_request
        assert (await ask({"action": "sheet.names"}))["value"] == ["Data", "Other"]
        assert (await ask({"action": "range.get", "address": "A1:B1"}))["value"] == [[4, "=A1*2"]]
        assert await ask({"action": "range.set", "sheet": "Other", "address": "A1:B2",
                          "value": [[1, "x"], [{"__type__": "date", "value": "2024-01-31"},
                                               None]]}) == {"value": None}
        assert await ask({"action": "range.clear", "address": "A1"}) == {"value": None}
        assert (await ask({"action": "range.get", "sheet": "Other", "address": "A2"}))[
            "value"] == {"__type__": "date", "value": "2024-01-31"}
        refused = await ask({"action": "range.get", "address": "A1:ZZ99999"})
        assert "at most 1,000,000 cells" in refused["error"]
        await workbook.close()
        saved = openpyxl.load_workbook(path)
        assert (saved["Data"]["A1"].value, saved["Data"]["B1"].value) == (None, "=A1*2")
        assert saved["Other"]["A1"].value == 1 and saved["Other"]["B1"].value == "x"

    async def test_the_part_is_found_by_its_namespace_and_other_parts_are_kept(self, tmp_path):
        path = tmp_path / "Shared.xlsx"
        cells = openpyxl.Workbook()
        buffer = io.BytesIO()
        cells.save(buffer)
        foreign = b'<?xml version="1.0"?><data xmlns="urn:another:add-in">keep me</data>'
        with zipfile.ZipFile(buffer, "a") as archive:
            archive.writestr("customXml/item1.xml", foreign)
        path.write_bytes(buffer.getvalue())
        workbook = await WorkbookFile.open(str(path))
        await workbook.set_module("m", "X = 1\n")
        await workbook.close()  # cells unchanged: every other part is copied as it is
        with zipfile.ZipFile(path) as archive:
            assert archive.read("customXml/item1.xml") == foreign
            assert NAMESPACE.encode() in archive.read("customXml/item2.xml")
            assert NAMESPACE.encode() in archive.read("customXml/itemProps2.xml")
            assert read_part(archive).modules == {"m": "X = 1\n"}
        assert (await reopened(path)).modules == {"m": "X = 1\n"}

    async def test_another_spreadsheet_application_reads_the_values(self, tmp_path):
        path = tmp_path / "Sales.xlsx"
        workbook = await WorkbookFile.open(str(path))
        await workbook.cells_ready()
        await workbook.answer_request({"action": "range.set", "address": "A1:C1",
                                       "value": [[10, 32, "=A1+B1"]]})
        await workbook.set_module("calc", "def f():\n    return 1\n")
        await workbook.close()
        converted = subprocess.run(
            ["soffice", "--headless", "--convert-to", "csv", "--outdir", str(tmp_path / "csv"),
             str(path)], capture_output=True, text=True, timeout=scaled(120),
            env=without_sanitizer({**os.environ, "HOME": str(tmp_path)}))
        assert converted.returncode == 0, converted.stderr
        assert (tmp_path / "csv" / "Sales.csv").read_text().strip() == "10,32,42"


class TestALargeWorkbook:
    async def test_a_50_mb_workbook_opens_saves_and_keeps_its_other_parts(self, tmp_path):
        path = tmp_path / "Large.xlsx"
        buffer = io.BytesIO()
        openpyxl.Workbook().save(buffer)
        picture = os.urandom(50 * 1024 * 1024)  # as a workbook's pictures make it large
        with zipfile.ZipFile(buffer, "a") as archive:
            archive.writestr("xl/media/image1.png", picture, compress_type=zipfile.ZIP_STORED)
        path.write_bytes(buffer.getvalue())
        other = await WorkbookFile.open(str(tmp_path / "Other.xlsx"))
        workbook = await WorkbookFile.open(str(path))
        await other.set_module("still", "working = True\n")  # while the large one loads
        await workbook.set_module("m", "X = 1\n")
        await workbook.close()
        await other.close()
        with zipfile.ZipFile(path) as archive:
            assert archive.read("xl/media/image1.png") == picture
            assert read_part(archive).modules == {"m": "X = 1\n"}


class TestNothingAcknowledgedIsLost:
    async def test_a_change_is_on_disk_when_it_returns_before_the_file_is_rewritten(
            self, tmp_path):
        path = tmp_path / "Book.xlsx"
        workbook = await WorkbookFile.open(str(path))
        before = digest(path)
        await workbook.set_module("m", "X = 1\n")
        await workbook.delete_module("m")
        await workbook.set_module("n", "Y = 2\n")
        assert digest(path) == before  # the file follows later; the journal has it now
        records = read_journal(journal_path(str(path))).records
        assert [r["op"] for r in records] == ["module", "delete_module", "module"]
        # As after a crash: the hub that held it is gone without saving.
        again = await reopened(path)
        assert again.modules == {"n": "Y = 2\n"}
        await again.close()
        assert read_part(zipfile.ZipFile(path)).modules == {"n": "Y = 2\n"}
        assert not os.path.exists(journal_path(str(path)))

    async def test_the_file_follows_within_the_save_delay(self, tmp_path):
        path = tmp_path / "Book.xlsx"
        workbook = await WorkbookFile.open(str(path))
        await workbook.set_module("m", "X = 1\n")
        for _ in range(int(scaled(50))):
            if os.path.exists(path) and read_part(zipfile.ZipFile(path)).modules:
                break
            await asyncio.sleep(0.1)
        assert read_part(zipfile.ZipFile(path)).modules == {"m": "X = 1\n"}
        await workbook.close()

    async def test_a_line_cut_short_by_a_crash_is_not_applied_and_cells_are(self, tmp_path):
        path = tmp_path / "Book.xlsx"
        workbook = await WorkbookFile.open(str(path))
        await workbook.cells_ready()
        await workbook.answer_request({"action": "range.set", "address": "B2", "value": 7})
        await workbook.set_module("m", "X = 1\n")
        with open(journal_path(str(path)), "ab") as journal:
            journal.write(b'{"op": "module", "name": "half", "co')  # the write that was cut
        again = await reopened(path)
        assert again.modules == {"m": "X = 1\n"}
        assert (await again.answer_request({"action": "range.get", "address": "B2"}))[
            "value"] == 7
        await again.close()
        assert openpyxl.load_workbook(path).active["B2"].value == 7

    async def test_a_journal_the_file_already_holds_is_no_conflict(self, tmp_path):
        """The hub died after the file was replaced and before its journal was removed."""
        path = tmp_path / "Book.xlsx"
        workbook = await WorkbookFile.open(str(path))
        await workbook.set_module("m", "X = 1\n")
        journal = journal_path(str(path))
        kept = open(journal, "rb").read()
        await workbook.close()
        with open(journal, "wb") as file:
            file.write(kept)
        again = await reopened(path)
        assert (again.modules, again.conflict) == ({"m": "X = 1\n"}, None)
        assert not os.path.exists(journal)
        await again.close()

    async def test_a_change_the_disk_refuses_is_reported_and_undone(self, tmp_path):
        path = tmp_path / "Book.xlsx"
        workbook = await WorkbookFile.open(str(path))
        os.mkdir(journal_path(str(path)))  # where the journal would go, nothing can be written
        with pytest.raises(WorkbookFileError, match="Book.xlsx: the change could not be saved"):
            await workbook.set_module("m", "X = 1\n")
        assert workbook.modules == {}
        os.rmdir(journal_path(str(path)))
        await workbook.close()


def workbook_bytes(**members) -> bytes:
    buffer = io.BytesIO()
    openpyxl.Workbook().save(buffer)
    if members:
        source = zipfile.ZipFile(io.BytesIO(buffer.getvalue()))
        buffer = io.BytesIO()
        with_part(source, PartContents(), buffer)
        buffer.seek(0)
        source = zipfile.ZipFile(io.BytesIO(buffer.getvalue()))
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as target:
            for info in source.infolist():
                target.writestr(info, members.get(info.filename, source.read(info)))
    return buffer.getvalue()


OURS = "customXml/item1.xml"
BAD_FILES = {
    "not a zip": (b"this is text", "not an .xlsx workbook (not a zip file)"),
    "a zip of something else": (None, "it is a zip file but not a workbook"),
    "a damaged part": (workbook_bytes(**{OURS: b"<quorvel:workbook xmlns:quorvel="}),
                       "its Python part is damaged"),
    "a part of ours of another kind": (workbook_bytes(**{OURS: (
        f'<q:settings xmlns:q="{NAMESPACE}"/>').encode()}), "its Python part is damaged"),
    "a module name that is no identifier": (workbook_bytes(**{OURS: (
        f'<q:workbook xmlns:q="{NAMESPACE}"><q:module name="no way" encoding="text">x'
        "</q:module></q:workbook>").encode()}), "'no way' is not a module name"),
    "a damaged module": (workbook_bytes(**{OURS: (
        f'<q:workbook xmlns:q="{NAMESPACE}"><q:module name="m" encoding="base64">%%%'
        "</q:module></q:workbook>").encode()}), "its Python part is damaged"),
}


class TestBadFilesAreRefusedAndLeftAlone:
    @pytest.mark.parametrize("case", list(BAD_FILES))
    async def test_a_bad_file(self, tmp_path, case):
        data, reason = BAD_FILES[case]
        path = tmp_path / "Bad.xlsx"
        if data is None:
            with zipfile.ZipFile(path, "w") as archive:
                archive.writestr("hello.txt", "not a workbook")
            data = path.read_bytes()
        path.write_bytes(data)
        with pytest.raises(WorkbookFileError) as refused:
            await WorkbookFile.open(str(path))
        assert str(path) in str(refused.value) and reason in str(refused.value)
        assert path.read_bytes() == data
        assert sorted(os.listdir(tmp_path)) == ["Bad.xlsx"]

    async def test_a_missing_or_read_only_folder_and_a_file_too_large(self, tmp_path):
        with pytest.raises(WorkbookFileError, match="does not exist"):
            await WorkbookFile.open(str(tmp_path / "nowhere" / "Book.xlsx"))
        locked = tmp_path / "locked"
        locked.mkdir()
        locked.chmod(0o555)
        with pytest.raises(WorkbookFileError, match="is read-only"):
            await WorkbookFile.open(str(locked / "Book.xlsx"))
        assert os.listdir(locked) == []
        large = tmp_path / "Large.xlsx"
        with open(large, "wb") as file:
            file.truncate(MAX_WORKBOOK_BYTES + 1)
        with pytest.raises(WorkbookFileError, match="larger than the hub opens"):
            await WorkbookFile.open(str(large))

    async def test_a_read_only_file_opens_but_refuses_changes(self, tmp_path):
        path = tmp_path / "Locked.xlsx"
        path.write_bytes(workbook_bytes())
        path.chmod(0o444)
        before = digest(path)
        workbook = await reopened(path)
        assert workbook.read_only
        with pytest.raises(WorkbookFileError, match="read-only"):
            await workbook.set_module("m", "X = 1\n")
        refused = await workbook.answer_request({"action": "range.set", "address": "A1",
                                                 "value": 1})
        assert "read-only" in refused["error"]
        await workbook.close()
        assert digest(path) == before and sorted(os.listdir(tmp_path)) == ["Locked.xlsx"]


class TestAnotherProgramChangedTheFile:
    async def test_the_hub_does_not_overwrite_it_and_offers_save_as_and_reload(self, tmp_path):
        path = tmp_path / "Book.xlsx"
        workbook = await WorkbookFile.open(str(path))
        await workbook.set_module("mine", "X = 1\n")
        await workbook.save()
        problems = []
        workbook.on_problem = problems.append
        theirs = openpyxl.Workbook()
        theirs.active["A1"] = "their edit"
        theirs.save(path)  # another program saves over it
        theirs_bytes = path.read_bytes()
        await workbook.set_module("later", "Y = 2\n")  # still acknowledged: in the journal
        await workbook.save()
        assert path.read_bytes() == theirs_bytes
        assert workbook.conflict and "changed on disk" in workbook.conflict
        assert problems == [workbook.conflict]

        copy = tmp_path / "Book (mine).xlsx"
        await workbook.save_as(str(copy))
        assert workbook.path == str(copy) and workbook.conflict is None
        assert read_part(zipfile.ZipFile(copy)).modules == {"mine": "X = 1\n", "later": "Y = 2\n"}
        assert path.read_bytes() == theirs_bytes
        await workbook.close()

        shutil.copy(copy, path)
        other = await WorkbookFile.open(str(path))
        theirs.save(path)
        theirs_bytes = path.read_bytes()  # a save two seconds later stamps another time
        await other.check_disk()
        assert "changed on disk" in other.conflict
        await other.reload()
        assert other.conflict is None and other.modules == {}
        assert (await other.answer_request({"action": "range.get", "address": "A1"}))[
            "value"] == "their edit"
        await other.close()
        assert path.read_bytes() == theirs_bytes  # nothing to save: the file is left as it is
