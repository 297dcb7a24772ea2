"""A live workbook through a page and the IDE's socket: cells fed by streams, handlers that run
when the sheet changes, timers, and the IDE's requests that manage them, kept in the file."""
import asyncio
import json

import pytest

from devhub import DevHub
from devhub.access import IDE_PATH

from ..conftest import hub_connect, scaled
from .sheet_client import SheetClient

WB = "Live.xlsx"

LIVE = '''import time
import quorvel
from quorvel import excel


@quorvel.function
def ticks(n, pause=0.01):
    """Counts from 0 to n - 1."""
    for i in range(int(n)):
        yield i
        time.sleep(pause)


@quorvel.function
def endless():
    i = 0
    while True:
        i += 1
        yield i
        time.sleep(0.02)


@quorvel.function
def silent():
    time.sleep(0.5)
    if False:
        yield 1


@quorvel.function
def broken():
    yield 1
    raise ValueError("the stream broke")


@quorvel.function
def spinning():
    while True:
        pass
    yield 1


@quorvel.function
def weird():
    yield {1, 2}


@quorvel.on("Change", sheet="Sheet1")
def on_change(address):
    print("changed", address)
    value = excel.range(address).value
    if address == "Sheet1!A1" and isinstance(value, (int, float)):
        excel.range("B1").value = value * 10


def stamp():
    excel.range("Sheet1!Z1").value = (excel.range("Sheet1!Z1").value or 0) + 1


def twice(x):
    return x * 2


def on_select(address):
    excel.range("Sheet1!Z2").value = address


def fails(address):
    raise RuntimeError("handler broke")


def slow(address):
    end = time.time() + float(excel.range(address).value)
    while time.time() < end:
        pass


def takes_two(a, b):
    return a
'''


class Ide:
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

    async def ask(self, message, timeout=30):
        request_id = await self.send({"workbook_id": WB, **message})
        while True:
            reply = await self.next(timeout)
            if reply.get("request_id") == request_id and reply["type"] not in (
                    "stdout", "stderr", "result_output"):
                return reply

    async def until(self, predicate, timeout=30):
        for message in self.seen:
            if predicate(message):
                return message
        deadline = asyncio.get_running_loop().time() + scaled(timeout)
        while True:
            message = await self.next(max(0.01, deadline - asyncio.get_running_loop().time()))
            if predicate(message):
                return message

    async def prints(self, text, timeout=30):
        """Reads until the console's text holds `text` (output comes in pieces)."""
        deadline = asyncio.get_running_loop().time() + scaled(timeout)
        while text not in self.console():
            await self.next(max(0.01, deadline - asyncio.get_running_loop().time()))

    def console(self):
        return "".join(str(m.get("content")) for m in self.seen
                       if m.get("type") in ("stdout", "stderr", "log_to_console"))


@pytest.fixture
async def live(hub, tmp_path):
    await hub.open_workbook(str(tmp_path / WB))
    await hub.kernel_ready(WB, scaled(60))
    await hub.save_module(WB, "live", LIVE)
    async with hub_connect(hub, IDE_PATH, max_size=None) as websocket, \
            SheetClient.connect(hub, WB) as page_socket:
        ide = Ide(websocket)
        page = SheetClient(page_socket)
        await page.until(lambda c: c.hello is not None)
        yield hub, ide, page


async def eventually(condition, timeout=30):
    deadline = asyncio.get_running_loop().time() + scaled(timeout)
    while not condition():
        assert asyncio.get_running_loop().time() < deadline, "not in time"
        await asyncio.sleep(0.02)


def _of(kind):
    return lambda message: message.get("type") == kind and message.get("workbook_id") == WB


class TestStreamingCells:
    async def test_each_value_reaches_the_engine_and_a_finished_stream_keeps_its_last(
            self, live):
        hub, ide, page = live
        await page.edit("A1", ["=TICKS(50)", "=A1*2"])
        await page.shows("Sheet1!B1", 98)
        assert page.value("Sheet1!A1") == 49
        functions = await ide.until(_of("published_functions_state"))
        ticks = next(f for f in functions["functions"] if f["name"] == "TICKS")
        assert ticks["streaming"] and ticks["parameters"] == ["n", "pause"]
        assert ticks["description"] == "Counts from 0 to n - 1."
        assert not next(f for f in functions["functions"] if f["name"] == "BROKEN")["volatile"]

    async def test_every_value_is_calculated_in_order(self, live):
        hub, _ide, page = live
        seen = []
        workbook = hub.live_workbook(WB)
        original = workbook.broadcast

        def watch(message):
            for record in message.get("cells", ()):
                if message.get("sheet") == "Sheet1" and record[:2] == [1, 2]:
                    seen.append(record[2])
            return original(message)

        workbook.broadcast = watch
        await page.edit("A1", ["=TICKS(200, 0)", "=A1"])
        await page.shows("Sheet1!B1", 199)
        numbers = [v for v in seen if isinstance(v, int)]
        assert numbers == list(range(200))

    async def test_editing_the_cell_cancels_its_stream_and_the_kernel_goes_on(self, live):
        hub, ide, page = live
        await page.edit("C3", ["=ENDLESS()"])
        await page.until(lambda c: isinstance(c.value("Sheet1!C3"), int)
                         and c.value("Sheet1!C3") > 3)
        workbook = hub.live_workbook(WB)
        assert workbook.streams.running == 1
        await page.edit("C3", ["plain"])
        assert workbook.streams.running == 0
        await page.drain(0.3)
        assert page.value("Sheet1!C3") == "plain"
        await page.edit("D1", ["=TICKS(3)"])  # the kernel still serves
        await page.shows("Sheet1!D1", 2)

    async def test_failures_unconvertible_values_and_silent_streams(self, live):
        hub, _ide, page = live
        await page.edit("A1", ["=BROKEN()", "=WEIRD()", "=SILENT()"])
        await page.shows("Sheet1!A1", {"error": "#VALUE!"})
        assert "the stream broke" in page.cells["Sheet1!A1"][2]
        await page.shows("Sheet1!B1", {"error": "#VALUE!"})
        await page.shows("Sheet1!C1", "")  # yielded nothing: empty

    async def test_a_stream_that_never_yields_is_stopped_when_its_cell_changes(self, live):
        hub, ide, page = live
        await page.edit("A1", ["=SPINNING()"])
        workbook = hub.live_workbook(WB)
        await page.drain(0.3)
        assert workbook.streams.running == 1 and page.value("Sheet1!A1") == {"error": "#BUSY!"}
        await page.edit("A1", ["=TICKS(2)"])
        await page.shows("Sheet1!A1", 1)
        await eventually(lambda: workbook.streams.running == 0)

    async def test_a_restarted_kernel_cancels_streams_and_they_keep_their_value(self, live):
        hub, ide, page = live
        await page.edit("A1", ["=ENDLESS()"])
        await page.until(lambda c: isinstance(c.value("Sheet1!A1"), int))
        reply = await ide.ask({"type": "restart_kernel"}, timeout=90)
        assert reply["success"], reply
        value = page.value("Sheet1!A1")
        await page.drain(0.5)
        assert isinstance(value, int) and page.value("Sheet1!A1") >= value
        assert hub.live_workbook(WB).streams.running == 0


class TestEvents:
    async def test_a_change_handler_writes_a_cell_without_calling_itself_again(self, live):
        hub, ide, page = live
        await page.edit("A1", ["4"])
        await page.shows("Sheet1!B1", 40)
        await ide.prints("changed Sheet1!A1")
        assert all(m.get("source") == "addin" for m in ide.seen if m["type"] == "stdout")
        await page.drain(0.5)
        # The handler's own write to B1 raised no second Change.
        assert "changed Sheet1!B1" not in ide.console()
        await page.edit("A2", ["x", "y"])
        await ide.prints("changed Sheet1!A2:B2")

    async def test_bind_validate_save_and_the_bindings_come_back_with_the_file(
            self, live, tmp_path):
        hub, ide, page = live
        wrong = await ide.ask({"type": "validate_handler", "object_id": "Sheet1",
                               "event_name": "SelectionChange", "module_name": "live",
                               "function_name": "takes_two"})
        assert not wrong["valid"] and "takes 2" in wrong["message"]
        right = await ide.ask({"type": "validate_handler", "object_id": "Sheet1",
                               "event_name": "SelectionChange", "module_name": "live",
                               "function_name": "on_select"})
        assert right["valid"], right
        binding = {"object_id": "Sheet1", "event_name": "SelectionChange",
                   "module_name": "live", "function_name": "on_select"}
        bad = {**binding, "object_id": "Nowhere"}
        saved = await ide.ask({"type": "save_event_config", "handlers": [binding, bad]})
        assert not saved["success"] and "1 refused" in saved["message"]
        results = [m for m in ide.seen if m["type"] == "register_handler_result"]
        assert [(r["object_id"], r["success"]) for r in results] == \
            [("Sheet1", True), ("Nowhere", False)]
        state = await ide.until(lambda m: _of("event_manager_state")(m) and any(
            h["function_name"] == "on_select" for h in m["handlers"]))
        assert {"object_id": "Sheet1", "event_name": "Change", "module_name": "live",
                "function_name": "on_change", "origin": "decorator"} in state["handlers"]
        await page.send({"type": "select", "sheet": "Sheet1", "address": "C2:D3"})
        await page.shows("Sheet1!Z2", "Sheet1!C2:D3")
        # Unbinding answers per handler.
        await ide.ask({"type": "save_event_config", "handlers": []})
        assert any(m["type"] == "unregister_handler_result" and m["success"]
                   for m in ide.seen)
        await ide.ask({"type": "save_event_config", "handlers": [binding]})
        await ide.ask({"type": "publish_function", "module_name": "live",
                       "function_name": "twice"})
        await ide.ask({"type": "save_ontime_events", "ontime_events": [
            {"module_name": "live", "function_name": "stamp", "time_of_day": "04:30",
             "enabled": False}]})
        path = hub.workbooks.get(WB).path
        await hub.stop()
        async with DevHub(data_dir=str(tmp_path / "again")) as again:
            await again.workbooks.open(path)
            workbook = again.live_workbook(WB)
            await workbook.ready.wait()
            assert any(h.function_name == "on_select" for h in workbook.events.handlers)
            assert workbook.functions["TWICE"].origin == "published"
            assert [(t.function_name, t.time_of_day, t.enabled)
                    for t in workbook.timers.timers] == [("stamp", "04:30", False)]

    async def test_a_failing_handler_is_told_and_the_sheet_goes_on(self, live):
        hub, ide, page = live
        await ide.ask({"type": "save_event_config", "handlers": [
            {"object_id": "Sheet1", "event_name": "Change", "module_name": "live",
             "function_name": "fails"}]})
        await page.edit("C1", ["1"])
        await ide.until(lambda m: m.get("type") == "log_to_console"
                        and "handler broke" in m.get("content", ""))
        await page.edit("A1", ["6"])
        await page.shows("Sheet1!B1", 60)

    async def test_a_slow_handler_holds_the_next_events_and_can_be_interrupted(
            self, live, monkeypatch):
        hub, ide, page = live
        monkeypatch.setattr("devhub.workbook_events.SLOW_HANDLER_SECONDS", 0.3)
        await ide.ask({"type": "save_event_config", "handlers": [
            {"object_id": "Sheet1", "event_name": "Change", "module_name": "live",
             "function_name": "slow"}]})
        await page.edit("E1", ["30"])
        notice = await ide.until(lambda m: m.get("type") == "log_to_console"
                                 and "has run for" in m.get("content", ""))
        assert "live.slow" in notice["content"]
        events = hub.live_workbook(WB).events
        running = events.state()["running"]
        assert running["function_name"] == "slow"
        await page.edit("A1", ["2"])  # waits behind the slow handler
        assert events.state()["queued"] >= 1
        await ide.send({"type": "interrupt_execution", "workbook_id": WB,
                        "request_id": running["request_id"]})
        await page.shows("Sheet1!B1", 20, timeout=20)

    async def test_events_switched_off_by_user_code_stay_off_until_switched_on(self, live):
        hub, ide, page = live
        reply = await ide.ask({"type": "execution_request", "source": "ide",
                               "code": "import quorvel\nquorvel.set_enable_events(False)"})
        assert reply["success"], reply
        await page.edit("A1", ["3"])
        await page.drain(0.5)
        assert page.value("Sheet1!B1") != 30
        await ide.ask({"type": "execution_request", "source": "ide",
                       "code": "import quorvel\nquorvel.set_enable_events(True)"})
        await page.edit("A1", ["5"])
        await page.shows("Sheet1!B1", 50)

    async def test_a_deleted_module_unbinds_its_handlers_and_says_so(self, live):
        hub, ide, page = live
        await hub.save_module(WB, "extra", "def handler(address):\n    pass\n")
        saved = await ide.ask({"type": "save_event_config", "handlers": [
            {"object_id": "Sheet1", "event_name": "Calculate", "module_name": "extra",
             "function_name": "handler"}]})
        assert saved["success"], saved
        await ide.ask({"type": "delete_module", "module_name": "extra"})
        await ide.until(lambda m: m.get("type") == "log_to_console"
                        and "was unbound" in m.get("content", ""))
        assert hub.live_workbook(WB).events.bound() == []


    async def test_open_runs_when_the_reopened_workbook_has_its_kernel(self, live):
        hub, ide, page = live
        await hub.save_module(WB, "opening", "import quorvel\nfrom quorvel import excel\n\n"
                              "@quorvel.on('Open')\ndef opened():\n"
                              "    excel.range('Y1').value = 'opened'\n")
        path = hub.workbooks.get(WB).path
        closed = await ide.ask({"type": "close_workbook"}, timeout=60)
        assert closed["success"], closed
        opened = await ide.ask({"type": "open_workbook", "path": path}, timeout=90)
        assert opened["success"], opened
        workbook = hub.live_workbook(WB)
        await eventually(lambda: workbook.ready.is_set()
                         and workbook.engine.value("Sheet1", 1, 25) == "opened")

    async def test_handlers_still_run_once_the_file_is_reloaded(self, live):
        hub, ide, page = live
        await hub.workbooks.get(WB).save()
        reply = await ide.ask({"type": "reload_workbook"}, timeout=60)
        assert reply["success"], reply
        workbook = hub.live_workbook(WB)
        await workbook.ready.wait()
        workbook.edit("Sheet1", 1, 1, [["9"]])
        await eventually(lambda: workbook.engine.value("Sheet1", 1, 2) == 90)

    async def test_a_hundred_handlers_of_one_event_run_in_order(self, live):
        hub, ide, page = live
        many = "SEEN = []\n" + "".join(f"def h{n}(address):\n    SEEN.append({n})\n"
                                      for n in range(100))
        await hub.save_module(WB, "many", many)
        saved = await ide.ask({"type": "save_event_config", "handlers": [
            {"object_id": "Sheet1", "event_name": "Change", "module_name": "many",
             "function_name": f"h{n}"} for n in range(100)]})
        assert saved.get("success"), (saved, ide.console()[-500:])
        await page.edit("F1", ["go"])
        events = hub.live_workbook(WB).events
        await eventually(lambda: events.running is None and not events.state()["queued"])
        reply = await ide.ask({"type": "execution_request", "source": "ide",
                               "code": "import many\nprint(many.SEEN == list(range(100)))"})
        assert reply["success"] and "True" in ide.console(), reply
        await page.edit("A1", ["7"])  # and the sheet goes on
        await page.shows("Sheet1!B1", 70)


class TestFunctionsAndTimers:
    async def test_publish_by_hand_call_it_and_unpublish(self, live):
        hub, ide, page = live
        state = await ide.ask({"type": "publish_function", "module_name": "live",
                               "function_name": "twice", "description": "Doubles"})
        entry = next(f for f in state["functions"] if f["name"] == "TWICE")
        assert entry["origin"] == "published" and entry["parameters"] == ["x"]
        await page.edit("A5", ["=TWICE(21)"])
        await page.shows("Sheet1!A5", 42)
        refused = await ide.ask({"type": "unpublish_function", "name": "TICKS"})
        assert refused["type"] == "request_refused" and "decorator" in refused["message"]
        state = await ide.ask({"type": "unpublish_function", "name": "twice"})
        assert "TWICE" not in [f["name"] for f in state["functions"]]
        await page.shows("Sheet1!A5", {"error": "#NAME?"})

    async def test_timers_run_report_and_refuse_too_often(self, live, monkeypatch):
        hub, ide, page = live
        monkeypatch.setattr("devhub.workbook_timers.MIN_TIMER_SECONDS", 0.05)
        too_often = await ide.ask({"type": "save_ontime_events", "ontime_events": [
            {"module_name": "live", "function_name": "stamp", "interval_seconds": 0.01}]})
        assert too_often["type"] == "request_refused" and "too often" in too_often["message"]
        wrong = await ide.ask({"type": "save_ontime_events", "ontime_events": [
            {"module_name": "live", "function_name": "twice", "interval_seconds": 1}]})
        assert wrong["type"] == "request_refused" and "no argument" in wrong["message"]
        state = await ide.ask({"type": "save_ontime_events", "ontime_events": [
            {"module_name": "live", "function_name": "stamp", "interval_seconds": 0.1},
            {"module_name": "live", "function_name": "stamp", "time_of_day": "03:00",
             "enabled": False}]})
        timers = state["ontime_events"]
        assert [t["timer_id"] for t in timers] == ["timer-1", "timer-2"]
        assert timers[0]["next_run"] and timers[1]["next_run"] is None
        done = await ide.until(lambda m: _of("ontime_event_manager_state")(m)
                               and m["ontime_events"]
                               and m["ontime_events"][0]["last_outcome"] == "success")
        assert done["ontime_events"][0]["last_run"]
        await page.until(lambda c: isinstance(c.value("Sheet1!Z1"), int)
                         and c.value("Sheet1!Z1") >= 3)
        workbook = hub.live_workbook(WB)
        await ide.ask({"type": "save_ontime_events", "ontime_events": []})
        assert workbook.timers.timers == []


class TestStreamBacklog:
    async def test_a_stream_far_ahead_of_its_cells_goes_on_from_its_latest(self, monkeypatch):
        from devhub.formula_engine import BUSY
        from devhub.worksheet_calls import PythonFunction
        from devhub.worksheet_streams import WorksheetStreams

        monkeypatch.setattr("devhub.worksheet_streams.MAX_BACKLOG", 10)
        told, sent = [], []

        async def send(message):
            sent.append(message)
            return True

        streams = WorksheetStreams(WB, send, lambda: None, {}, told.append)
        function = PythonFunction("FAST", "m", "fast", streaming=True)
        assert streams.call(function, "Sheet1!A1") is BUSY
        await asyncio.sleep(0)
        request_id = sent[0]["request_id"]
        for n in range(25):
            streams.answered({"request_id": request_id, "result": n, "done": False})
        assert len(told) == 1 and "values were skipped" in told[0]
        # Each time it runs more than 10 ahead it goes on from the latest: 10, then 20.
        assert streams.take_changed() == {"Sheet1!A1"}
        assert streams.call(function, "Sheet1!A1") == 20
        shown = []
        while streams.backlog:
            streams.take_changed()
            shown.append(streams.call(function, "Sheet1!A1"))
        assert shown == [21, 22, 23, 24]
        streams.answered({"request_id": request_id, "done": True})
        assert streams.call(function, "Sheet1!A1") == 24  # a finished stream keeps its value
