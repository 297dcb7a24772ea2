"""The example workbook `make run` opens: the file kept in the repository is the one its script
builds, its Python functions work with pandas and without, and the hub calculates its sheet."""
import shutil
import subprocess
import sys
import types
import zipfile
from pathlib import Path

import openpyxl

from devhub.workbook_part import read_part
from python_server.quorvel.serializer import Serializer
from python_server.quorvel.worksheet_functions import find_functions, function

from ..conftest import scaled
from .sheet_client import SheetClient

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXAMPLE = EXAMPLES / "Forecast.xlsx"
WB = "Forecast.xlsx"


def cells_of(path):
    sheets = openpyxl.load_workbook(path)
    return {sheet.title: [[cell.value for cell in row] for row in sheet.iter_rows()]
            for sheet in sheets}


def modules_of(path):
    with zipfile.ZipFile(path) as archive:
        return read_part(archive).modules


class TestTheFile:
    def test_the_kept_file_is_what_its_script_builds(self, tmp_path):
        built = tmp_path / "Forecast.xlsx"
        subprocess.run([sys.executable, str(EXAMPLES / "make_forecast.py"), str(built)],
                       check=True, capture_output=True, timeout=scaled(60))
        assert cells_of(built) == cells_of(EXAMPLE)
        assert modules_of(built) == modules_of(EXAMPLE)
        assert sorted(path.name for path in tmp_path.iterdir()) == ["Forecast.xlsx"]

    def test_every_function_its_formulas_call_is_in_its_modules(self):
        found = {entry["name"] for code in modules_of(EXAMPLE).values()
                 for entry in find_functions(code)}
        assert found == {"MONTHLY_GROWTH", "FORECAST_TABLE", "DOUBLE", "BEST_MONTH"}

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
