import datetime as dt
import enum
import json
import math
import subprocess
import sys
from decimal import Decimal

import pytest

from python_server.quorvel.serializer import CellError, Serializer

D = dt.date(2024, 1, 31)
DT = dt.datetime(2024, 1, 31, 13, 45, 0, 123456)
DT_TZ = dt.datetime(2024, 1, 31, 13, 45, tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30)))


def _through_json(value):
    return Serializer.from_wire(json.loads(json.dumps(Serializer.to_wire(value))))


class TestRoundTrip:
    @pytest.mark.parametrize(
        "value",
        [None, True, False, 0, -7, 2**40, 1.5, -0.25, "", "héllo", D, DT, DT_TZ,
         [], [1, "a", None, 2.5], [[1, 2], [3]], [[D, DT_TZ], [None]], [[]]],
    )
    def test_value_survives_json(self, value):
        back = _through_json(value)
        assert back == value
        assert type(back) is type(value)

    def test_tz_offset_kept(self):
        assert _through_json(DT_TZ).utcoffset() == dt.timedelta(hours=5, minutes=30)

    def test_tuples_come_back_as_lists(self):
        assert _through_json(((1, 2), (3, 4))) == [[1, 2], [3, 4]]
        assert _through_json((1, "x")) == [1, "x"]

    def test_date_and_datetime_tags(self):
        assert Serializer.to_wire(dt.date(2024, 1, 31)) == {"__type__": "date",
                                                            "value": "2024-01-31"}
        assert Serializer.to_wire(dt.datetime(2024, 1, 31, 13, 45)) == {
            "__type__": "datetime", "value": "2024-01-31T13:45:00"}


class TestToWireRefusals:
    @pytest.mark.parametrize(
        "value, type_name",
        [({"a": 1}, "dict"), ({1}, "set"), (b"x", "bytes"), (object(), "object"),
         ([1, {"a": 1}], "dict"), ([[1, b"x"]], "bytes"), (dt.time(1, 2), "time")],
    )
    def test_unsupported_types_are_named(self, value, type_name):
        with pytest.raises(TypeError, match=f"'{type_name}'.*supported are None, bool"):
            Serializer.to_wire(value)

    @pytest.mark.parametrize("value", [[[[1]]], [[1, [2]]], [1, [2]], [[1], 2]])
    def test_bad_nesting(self, value):
        with pytest.raises(TypeError):
            Serializer.to_wire(value)


class TestFromWireRefusals:
    @pytest.mark.parametrize(
        "wire",
        [{"a": 1}, {"__type__": "complex", "value": "1"}, {"__type__": "date"},
         {"__type__": "date", "value": "31/01/2024"}, {"__type__": "date", "value": 20240131},
         {"__type__": "date", "value": "2024-01-31", "extra": 1}, [[{"__type__": 1}]], math.nan],
    )
    def test_malformed_wire_values(self, wire):
        with pytest.raises(ValueError):
            Serializer.from_wire(wire)

    def test_non_json_python_value(self):
        with pytest.raises(TypeError, match="'set'"):
            Serializer.from_wire({1, 2})

    def test_too_deep(self):
        with pytest.raises(TypeError):
            Serializer.from_wire([[[1]]])



def _error(code):
    return {"__type__": "error", "value": code}


def _dt(text):
    return {"__type__": "datetime", "value": text}


NUM = _error("#NUM!")


def _json_text(value):
    """The wire value as it reaches the spreadsheet (refusing anything JSON cannot carry); as
    text, 1 and 1.0 differ."""
    return json.dumps(Serializer.to_wire(value), allow_nan=False)


def _plain_json(value):
    return json.loads(_json_text(value))


class Colour(enum.IntEnum):
    RED = 1


class TestErrorsAndDecimals:
    @pytest.mark.parametrize("value, wire", [
        (math.nan, NUM), (-math.inf, NUM), ([1.0, math.inf], [1.0, NUM]),
        ([[math.nan], [2]], [[NUM], [2]]),
        (Decimal("1.5"), 1.5), (Decimal(10) ** 20, 1e20), (Decimal("NaN"), NUM),
        (Decimal("sNaN"), NUM),
        (Decimal("-Infinity"), NUM), (Decimal("1e400"), NUM), (Colour.RED, 1), ([Colour.RED], [1]),
    ])
    def test_to_wire(self, value, wire):
        assert _json_text(value) == json.dumps(wire)

    def test_every_code_survives_json(self):
        errors = [[CellError(code) for code in CellError.CODES]]
        assert Serializer.to_wire(errors)[0][1] == _error("#DIV/0!")
        back = _through_json(errors)
        assert back == errors and all(isinstance(error, CellError) for error in back[0])

    def test_codes_are_normalised_values(self):
        assert repr(CellError(" #n/a ")) == "CellError('#N/A')"
        assert len({CellError("#N/A"), CellError("#n/a"), CellError("#REF!")}) == 2

    @pytest.mark.parametrize("code", ["", "N/A", "#FOO!", "#N/A#N/A"])
    def test_invalid_codes_name_the_valid_ones(self, code):
        with pytest.raises(ValueError, match=r"valid codes: #NULL!, #DIV/0!.*#BUSY!"):
            CellError(code)
        with pytest.raises(ValueError):
            Serializer.from_wire(_error(code))


@pytest.fixture
def np():
    return pytest.importorskip("numpy")


@pytest.fixture
def pd():
    return pytest.importorskip("pandas")


class TestNumpy:
    @pytest.mark.parametrize("make, wire", [
        (lambda np: np.int64(-3), -3), (lambda np: np.uint8(200), 200),
        (lambda np: np.float32(0.5), 0.5),
        (lambda np: np.bool_(True), True), (lambda np: np.str_("é"), "é"),
        (lambda np: np.float64("nan"), NUM), (lambda np: [np.float16("inf")], [NUM]),
        (lambda np: np.datetime64("2024-01-31"), _dt("2024-01-31T00:00:00")),
        (lambda np: np.datetime64("2024-01-31T13:45:00.123456789"),
         _dt("2024-01-31T13:45:00.123456")),
        (lambda np: np.datetime64("NaT"), None),
        (lambda np: np.array(4), 4), (lambda np: np.array([1, 2]), [1, 2]),
        (lambda np: np.arange(4).reshape(2, 2), [[0, 1], [2, 3]]),
        (lambda np: np.zeros((0, 3)), []),
        (lambda np: [np.array(2.5), 1], [2.5, 1]),
        (lambda np: np.array([[1.5, np.nan], [np.inf, 0]], dtype=np.float32),
         [[1.5, NUM], [NUM, 0.0]]),
        (lambda np: np.array(["2024-01-31T10:00:00.000000001", "NaT"], dtype="datetime64[ns]"),
         [_dt("2024-01-31T10:00:00"), None]),
        (lambda np: np.array([CellError("#N/A"), Decimal("1"), None], dtype=object),
         [_error("#N/A"), 1.0, None]),
    ])
    def test_to_wire(self, np, make, wire):
        assert _json_text(make(np)) == json.dumps(wire)

    @pytest.mark.parametrize("make, message", [
        (lambda np: np.timedelta64(1, "D"), "'timedelta64'"),
        (lambda np: np.complex128(1j), "'complex128'"),
        (lambda np: np.zeros((1, 1, 1)), "3-dimensional"),
        (lambda np: np.array([1], dtype="timedelta64[s]"), "dtype"),
        (lambda np: [np.array([1, 2]), np.array([3, 4])], "inside a list"),
        (lambda np: np.array([[1], [2, 3]], dtype=object), "holding lists"),
    ])
    def test_refused(self, np, make, message):
        with pytest.raises(TypeError, match=message):
            Serializer.to_wire(make(np))

    @pytest.mark.parametrize("text", ["10000-01-01", "-0001-01-01"])
    def test_datetime64_outside_datetime_range(self, np, text):
        for value in (np.datetime64(text), np.array([text, "2000-01-01"], dtype="datetime64[D]")):
            with pytest.raises(ValueError, match="years 1 to 9999"):
                Serializer.to_wire(value)


class TestPandas:
    @pytest.mark.parametrize("make, wire", [
        (lambda pd: pd.DataFrame({"a": [1, 2], "b": ["x", "y"]}), [["a", "b"], [1, "x"], [2, "y"]]),
        (lambda pd: pd.DataFrame({"v": [1.5]}, index=pd.Index(["p"], name="key")),
         [["key", "v"], ["p", 1.5]]),
        (lambda pd: pd.DataFrame({"v": [1]}, index=pd.RangeIndex(1, 2)), [["", "v"], [1, 1]]),
        (lambda pd: pd.DataFrame({"v": [1]}, index=pd.RangeIndex(1, name="n")),
         [["n", "v"], [0, 1]]),
        (lambda pd: pd.DataFrame([[1, 2, 3]], columns=[2024, "x", pd.Timestamp("2024-01-31")]),
         [[2024, "x", _dt("2024-01-31T00:00:00")], [1, 2, 3]]),
        (lambda pd: pd.DataFrame([[1, 2]], columns=["a", "a"]), [["a", "a"], [1, 2]]),
        (lambda pd: pd.DataFrame(index=["x"]), [[""], ["x"]]),
        (lambda pd: pd.DataFrame({"t": [pd.Timestamp("2024-01-31 10:00:00.000000005", tz="UTC")]}),
         [["t"], [_dt("2024-01-31T10:00:00+00:00")]]),
        (lambda pd: pd.Series([1, 2]), [[1], [2]]),
        (lambda pd: pd.Series([1.0, None], name="v"), [["v"], [1.0], [None]]),
        (lambda pd: pd.Series([1], index=pd.Index(["a"], name="k"), name="v"),
         [["k", "v"], ["a", 1]]),
        (lambda pd: pd.Series([1], index=pd.DatetimeIndex(["2024-01-31"])),
         [[_dt("2024-01-31T00:00:00"), 1]]),
        (lambda pd: [pd.NA, pd.NaT, pd.Timestamp("2024-01-31 13:45")],
         [None, None, _dt("2024-01-31T13:45:00")]),
    ])
    def test_to_wire(self, pd, make, wire):
        assert _plain_json(make(pd)) == wire

    def test_multi_index_rows_and_columns(self, pd):
        columns = pd.MultiIndex.from_tuples([("sales", 2023), (None, 2024)])
        index = pd.MultiIndex.from_tuples([("north", 1), ("south", 2)], names=["region", None])
        frame = pd.DataFrame([[1, 2], [3, 4]], columns=columns, index=index)
        assert _plain_json(frame) == [["region", "", "sales / 2023", " / 2024"],
                                      ["north", 1, 1, 2], ["south", 2, 3, 4]]

    def test_missing_values_are_empty_and_infinity_is_num(self, np, pd):
        frame = pd.DataFrame({
            "f": [np.nan, np.inf, 1.0],
            "i": pd.array([None, 2, 3], dtype="Int64"),
            "s": ["a", None, np.nan],
            "t": pd.to_datetime(["2024-01-31 00:00", None, "2024-02-01 10:00"]),
        })
        rows = Serializer.to_wire(frame)
        assert rows == [["f", "i", "s", "t"], [None, None, "a", _dt("2024-01-31T00:00:00")],
                        [NUM, 2, None, None], [1.0, 3, None, _dt("2024-02-01T10:00:00")]]
        assert [type(value) for value in rows[3][:2]] == [float, int]

    @pytest.mark.parametrize("make, message", [
        (lambda pd: pd.DataFrame({"a": [[1, 2]]}), "holding a list"),
        (lambda pd: pd.Timedelta(days=1), "'Timedelta'"),
    ])
    def test_refused(self, pd, make, message):
        with pytest.raises(TypeError, match=message):
            Serializer.to_wire(make(pd))


def test_plain_values_import_neither_numpy_nor_pandas():
    code = ("import sys, datetime, decimal\n"
            "from python_server.quorvel.serializer import Serializer, CellError\n"
            "Serializer.to_wire([[1, 2.5, float('nan'), 'x', None, datetime.date(2024, 1, 1),\n"
            "                     decimal.Decimal('1.5'), CellError('#N/A')]])\n"
            "print(sorted(name for name in ('numpy', 'pandas') if name in sys.modules))\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
