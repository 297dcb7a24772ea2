import datetime as dt
import json
import math

import pytest

from python_server.quorvel.serializer import Serializer

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
        assert Serializer.to_wire(dt.date(2024, 1, 31)) == {"__type__": "date", "value": "2024-01-31"}
        assert Serializer.to_wire(dt.datetime(2024, 1, 31, 13, 45)) == {
            "__type__": "datetime", "value": "2024-01-31T13:45:00"}


class TestToWireRefusals:
    @pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, [1.0, math.nan], [[math.inf]]])
    def test_non_finite_floats(self, value):
        with pytest.raises(ValueError):
            Serializer.to_wire(value)

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
