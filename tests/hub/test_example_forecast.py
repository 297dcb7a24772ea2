"""The example workbook `make run` opens: the file kept in the repository is the one its script
builds, its Python functions work with pandas and without, and the hub calculates its sheet,
its clock ticks, its Change handler notes the edits of the sales and its timer refreshes."""
import asyncio
import re
import shutil
import subprocess
import sys
import types
import zipfile
from pathlib import Path

import openpyxl

from devhub.workbook_part import read_part
from python_server.quorvel.serializer import Serializer
from python_server.quorvel.workbook_events import find_handlers, on
from python_server.quorvel.worksheet_functions import find_functions, function

from ..conftest import scaled
from .sheet_client import SheetClient

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXAMPLE = EXAMPLES / "Forecast.xlsx"
WB = "Forecast.xlsx"
TIME = re.compile(r"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")


def cells_of(path):
    sheets = openpyxl.load_workbook(path)
    return {sheet.title: [[cell.value for cell in row] for row in sheet.iter_rows()]
            for sheet in sheets}


def modules_of(path):
    with zipfile.ZipFile(path) as archive:
        return read_part(archive).modules


def settings_of(path):
    with zipfile.ZipFile(path) as archive:
        return read_part(archive).settings


def is_time(value):
    return isinstance(value, str) and TIME.fullmatch(value) is not None


class TestTheFile:
    def test_the_kept_file_is_what_its_script_builds(self, tmp_path):
        built = tmp_path / "Forecast.xlsx"
        subprocess.run([sys.executable, str(EXAMPLES / "make_forecast.py"), str(built)],
                       check=True, capture_output=True, timeout=scaled(60))
        assert cells_of(built) == cells_of(EXAMPLE)
        assert modules_of(built) == modules_of(EXAMPLE)
        assert settings_of(built) == settings_of(EXAMPLE)
        assert sorted(path.name for path in tmp_path.iterdir()) == ["Forecast.xlsx"]

    def test_every_function_its_formulas_call_is_in_its_modules(self):
        found = {entry["name"] for code in modules_of(EXAMPLE).values()
                 for entry in find_functions(code)}
        assert found == {"MONTHLY_GROWTH", "FORECAST_TABLE", "DOUBLE", "BEST_MONTH", "CLOCK"}

    def test_the_change_handler_answers_edits_that_reach_the_sales_only(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "quorvel",
                            types.SimpleNamespace(function=function, on=on, excel=None))
        code = modules_of(EXAMPLE)["live"]
        assert [(h["object_id"], h["event_name"], h["function"]) for h in find_handlers(code)] \
            == [("Forecast", "Change", "sales_edited")]
        namespace = {}
        exec(code, namespace)
        holds_sales = namespace["holds_sales"]
        for address in ("Forecast!B2", "Forecast!B13", "Forecast!$B$7", "Forecast!A1:C2",
                        "Forecast!A13:B20", "Forecast!A1:AA100"):
            assert holds_sales(address), address
        for address in ("Forecast!B1", "Forecast!B14", "Forecast!A2:A13", "Forecast!C2:F13",
                        "Forecast!E19:F19", "Forecast!E20:F20", "Forecast!AB5"):
            assert not holds_sales(address), address

    def test_the_table_is_the_same_with_pandas_and_without(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "quorvel", types.SimpleNamespace(function=function))
        code = modules_of(EXAMPLE)["forecast"]
        sales = [[value] for value in (100, 110, 121)]

        def table(**blocked):
            for name in blocked:
                monkeypatch.setitem(sys.modules, name, None)
            namespace = {}
            exec(code, namespace)
            return Serializer.to_wire(namespace["forecast_table"](sales, 2, "2027-03"))

        with_pandas = table()
        assert with_pandas == [["Month", "Forecast"], ["2027-04", 133], ["2027-05", 146]]
        assert table(pandas=True) == with_pandas


class TestInTheHub:
    async def test_its_formulas_and_python_functions_calculate(self, hub, tmp_path):
        path = tmp_path / WB
        shutil.copy(EXAMPLE, path)
        await hub.open_workbook(str(path))
        await hub.kernel_ready(WB, scaled(60))
        expected = {"E1": 180200, "E2": 15017, "E3": 0.0391, "E4": "2027-11", "E5": 24800,
                    "D9": "Month", "E9": "Forecast", "D10": "2028-01", "E10": 19638,
                    "D15": "2028-06", "E15": 23785, "E16": 129951}
        async with SheetClient.connect(hub, WB) as websocket:
            page = SheetClient(websocket)
            await page.ask({"type": "get", "sheet": "Forecast", "top": 1, "left": 1,
                            "bottom": 20, "right": 6})
            await page.until(lambda client: all(
                client.value(f"Forecast!{address}") == value
                for address, value in expected.items()), timeout=60)
            # The formulas read from the file show as they are written there.
            assert page.cells["Forecast!E3"][1] == "=MONTHLY_GROWTH(B2:B13)"
        assert modules_of(path) == modules_of(EXAMPLE)

    async def test_its_clock_ticks_its_handler_notes_sales_edits_and_its_timer_refreshes(
            self, hub, tmp_path):
        path = tmp_path / WB
        shutil.copy(EXAMPLE, path)
        await hub.open_workbook(str(path))
        await hub.kernel_ready(WB, scaled(60))
        live = hub.live_workbook(WB)
        await live.ready.wait()
        [timer] = live.timers.state()["ontime_events"]
        assert (timer["timer_id"], timer["function_name"], timer["interval_seconds"],
                timer["enabled"]) == ("refresh", "refresh", 5.0, True)
        assert timer["next_run"] is not None
        async with SheetClient.connect(hub, WB) as websocket:
            page = SheetClient(websocket)
            await page.ask({"type": "get", "sheet": "Forecast", "top": 1, "left": 1,
                            "bottom": 20, "right": 6})
            assert [page.value(f"Forecast!D{row}") for row in (17, 18, 19, 20)] == \
                ["Live", "Now", "Last edit", "Refreshed"]
            await page.until(lambda client: is_time(client.value("Forecast!E18")))
            first = page.value("Forecast!E18")
            await page.until(lambda client: is_time(client.value("Forecast!E18"))
                             and client.value("Forecast!E18") != first, timeout=10)
            assert live.streams.running == 1

            # An edit outside the sales runs the handler, which writes nothing.
            await page.edit("G1", ["note"], sheet="Forecast")
            await page.edit("A2", ["January"], sheet="Forecast")
            deadline = asyncio.get_running_loop().time() + scaled(30)
            while live.events.state()["running"] or live.events.state()["queued"]:
                assert asyncio.get_running_loop().time() < deadline, live.events.state()
                await asyncio.sleep(0.05)
            await page.drain(0.3)
            assert page.value("Forecast!E19") is None
            await page.edit("B5", ["15000"], sheet="Forecast")
            await page.until(lambda client: client.value("Forecast!E19") == "B5"
                             and is_time(client.value("Forecast!F19")))
            await page.shows("Forecast!E1", 180200 - 13600 + 15000)
            # The timer counts its runs: a count read back and written again.
            await page.until(lambda client: client.value("Forecast!E20") == 2
                             and is_time(client.value("Forecast!F20")), timeout=20)
        [timer] = live.timers.state()["ontime_events"]
        assert timer["last_outcome"] == "success", timer
