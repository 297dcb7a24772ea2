import datetime as dt
import re
import sys
import threading

import pytest

import python_server.quorvel as quorvel
from python_server.quorvel import Excel, ExcelError, messaging, old_com


@pytest.fixture(autouse=True)
def fresh_messaging():
    messaging.reset()
    yield
    messaging.reset()


@pytest.fixture
def spreadsheet():
    """Installs a fake sender; tests set `answers[action]` and read `sent`."""

    class Fake:
        def __init__(self):
            self.sent = []
            self.answers = {}

        def __call__(self, req, timeout=30.0):
            self.sent.append(req)
            return self.answers.get(req["action"], {"value": None})

    fake = Fake()
    messaging.send_request_sync = fake
    return fake


class TestCallableRegistry:
    def test_register_get_unregister(self):
        fn = lambda: 1  # noqa: E731
        cid = messaging.register_callable(fn)
        assert re.fullmatch(r"[0-9a-f]{32}", cid)
        assert messaging.get_callable(cid) is fn
        assert messaging.unregister_callable(cid) is True
        assert messaging.unregister_callable(cid) is False
        assert messaging.get_callable(cid) is None

    def test_refuses_non_callables(self):
        with pytest.raises(TypeError):
            messaging.register_callable(42)

    def test_concurrent_registration(self):
        ids = []
        lock = threading.Lock()

        def work():
            mine = [messaging.register_callable(print) for _ in range(300)]
            with lock:
                ids.extend(mine)

        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(set(ids)) == 2400
        assert all(messaging.get_callable(i) is print for i in ids)


class TestWithoutKernel:
    def test_requests_fail_clearly(self):
        with pytest.raises(RuntimeError, match="No kernel is connected"):
            quorvel.excel.range("A1").value

    def test_reset_restores_unconnected_state(self):
        cid = messaging.register_callable(print)
        messaging.loop = object()
        messaging.loop_thread = threading.current_thread()
        messaging.send_request_sync = lambda req, timeout=30.0: {"value": 1}
        messaging.reset()
        assert messaging.loop is None and messaging.loop_thread is None
        assert messaging.get_callable(cid) is None
        with pytest.raises(RuntimeError, match="No kernel is connected"):
            messaging.send_request_sync({"action": "sheet.names"})


class TestExcelRequests:
    def test_range_get_request_and_decoding(self, spreadsheet):
        spreadsheet.answers["range.get"] = {
            "value": [[1, {"__type__": "date", "value": "2024-01-31"}]]}
        assert quorvel.excel.range("A1:B1", sheet="Data").value == [[1, dt.date(2024, 1, 31)]]
        assert spreadsheet.sent == [{"action": "range.get", "sheet": "Data", "address": "A1:B1"}]

    def test_range_set_sends_wire_value(self, spreadsheet):
        Excel().range("C3").value = [[dt.datetime(2024, 1, 31, 13, 45)]]
        assert spreadsheet.sent == [{
            "action": "range.set", "sheet": None, "address": "C3",
            "value": [[{"__type__": "datetime", "value": "2024-01-31T13:45:00"}]],
        }]

    def test_unsupported_value_is_refused_before_sending(self, spreadsheet):
        with pytest.raises(TypeError, match="'dict'"):
            Excel().range("A1").value = {"a": 1}
        assert spreadsheet.sent == []

    def test_clear_and_sheet_queries(self, spreadsheet):
        spreadsheet.answers["sheet.names"] = {"value": ["Sheet1", "Data"]}
        spreadsheet.answers["sheet.active"] = {"value": "Data"}
        xl = Excel()
        xl.range("A1:B2", "Sheet1").clear()
        assert xl.sheet_names() == ["Sheet1", "Data"]
        assert xl.active_sheet() == "Data"
        assert spreadsheet.sent == [
            {"action": "range.clear", "sheet": "Sheet1", "address": "A1:B2"},
            {"action": "sheet.names"},
            {"action": "sheet.active"},
        ]

    @pytest.mark.parametrize("answer",
                             [{"error": "No sheet named 'Nope'"}, "garbage", {"value": 3}])
    def test_error_and_malformed_answers(self, spreadsheet, answer):
        spreadsheet.answers["sheet.names"] = answer
        with pytest.raises(ExcelError) as info:
            Excel().sheet_names()
        if isinstance(answer, dict) and "error" in answer:
            assert str(info.value) == "No sheet named 'Nope'"

    def test_generic_request_passes_params(self, spreadsheet):
        spreadsheet.answers["workbook.save"] = {"value": True}
        assert Excel().request("workbook.save", path="x.xlsx") is True
        assert spreadsheet.sent == [{"action": "workbook.save", "path": "x.xlsx"}]


class TestWindowsHost:
    def test_refused_off_windows(self, monkeypatch):
        monkeypatch.setattr(sys, "platform", "linux")
        with pytest.raises(RuntimeError, match="not available on this platform"):
            old_com.init_excel_host("tag", "wb-1")
        with pytest.raises(RuntimeError, match="COM access is not available"):
            quorvel._get_win32()

    def test_records_host_on_windows(self, monkeypatch):
        monkeypatch.setattr(sys, "platform", "win32")
        monkeypatch.setattr(old_com, "host", None)
        old_com.init_excel_host("tag", "wb-1")
        assert old_com.host == {"tag": "tag", "workbook_id": "wb-1"}
