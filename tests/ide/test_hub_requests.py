"""The development hub's answers to the IDE, as an IDE client on its socket sees them, with real
kernel processes behind the hub."""
import asyncio
import json

import pytest

from ..conftest import hub_connect
from .conftest import seconds


class IdeClient:
    """The IDE's end of the hub's /ws/ide/main_ide socket."""

    def __init__(self, websocket) -> None:
        self.websocket = websocket
        self.seen = []
        self._n = 0

    async def ask(self, message: dict, timeout: float = 30) -> dict:
        """Sends `message` with a fresh request id and returns the reply carrying that id."""
        self._n += 1
        request_id = message["request_id"] = f"r{self._n}"
        await self.websocket.send(json.dumps(message))
        return await self.reply_to(request_id, timeout)

    async def reply_to(self, request_id: str, timeout: float = 30) -> dict:
        async def first():
            while True:
                message = json.loads(await self.websocket.recv())
                self.seen.append(message)
                if message.get("request_id") == request_id and message.get("type") not in (
                        "stdout", "stderr", "result_output"):
                    return message
        return await asyncio.wait_for(first(), seconds(timeout))


@pytest.fixture
async def ide(hub):
    async with hub_connect(hub, "/ws/ide/main_ide") as websocket:
        client = IdeClient(websocket)
        assert json.loads(await websocket.recv())["type"] == "workbook_list"
        yield client


async def opened(hub, ide, workbook_id: str) -> None:
    reply = await ide.ask({"type": "new_workbook", "workbook_id": workbook_id}, 60)
    assert reply["success"], reply


class TestRelayedRequests:
    async def test_a_save_is_confirmed_with_its_request_id_then_listed(self, hub, ide):
        await opened(hub, ide, "A.xlsx")
        reply = await ide.ask({"type": "update_module", "workbook_id": "A.xlsx",
                               "module_name": "m", "code": "X = 1\n"})
        assert reply == {"type": "module_updated", "workbook_id": "A.xlsx", "module_name": "m",
                         "request_id": reply["request_id"]}
        listing = json.loads(await ide.websocket.recv())
        assert listing == {"type": "module_list", "workbook_id": "A.xlsx", "modules": ["m"]}
        reset = await ide.ask({"type": "reset_namespace", "workbook_id": "A.xlsx"})
        assert reset["type"] == "namespace_reset"

    async def test_answers_without_ids_go_to_the_requests_in_order(self, hub, ide):
        await opened(hub, ide, "E.xlsx")
        requests = [("update_module", "m", "u1"), ("update_module", "n", "u2"),
                    ("delete_module", "m", "d1"), ("update_module", "m", "u3")]
        for kind, module, request_id in requests:
            await ide.websocket.send(json.dumps({
                "type": kind, "workbook_id": "E.xlsx", "module_name": module,
                "code": f"# {request_id}", "request_id": request_id}))
        replies = [await ide.reply_to(request_id) for _k, _m, request_id in requests]
        assert [(r["type"], r["module_name"]) for r in replies] == [
            ("module_updated", "m"), ("module_updated", "n"), ("module_deleted", "m"),
            ("module_updated", "m")]
        assert hub.workbooks.get("E.xlsx").modules == {"m": "# u3", "n": "# u2"}

    async def test_language_requests_are_answered_by_the_kernel_with_their_ids(self, hub, ide):
        await opened(hub, ide, "L.xlsx")
        reply = await ide.ask({"type": "diagnostic_request", "workbook_id": "L.xlsx",
                               "module_name": "m", "code": "print(missing)\n"})
        assert (reply["type"], reply["module_name"]) == ("diagnostic_response", "m")
        assert [d["message"] for d in reply["diagnostics"]] == ["undefined name 'missing'"]
        refused = await ide.ask({"type": "hover_request", "workbook_id": "None.xlsx",
                                 "code": "x", "line": 1, "column": 0})
        assert refused["type"] == "request_refused"

    async def test_requests_for_a_workbook_without_kernel_are_refused_and_not_kept(self, hub,
                                                                                     ide):
        save = await ide.ask({"type": "update_module", "workbook_id": "None.xlsx",
                              "module_name": "m", "code": "X = 1\n"})
        assert save["type"] == "request_refused"
        assert "No workbook 'None.xlsx' is open" in save["message"]
        run = await ide.ask({"type": "run_module", "workbook_id": "None.xlsx",
                             "module_name": "m", "function_name": "f", "args": []})
        assert (run["type"], run["success"], run["function_name"]) == (
            "execution_result", False, "f")
        assert "None.xlsx" not in hub.workbook_ids()

    async def test_a_run_whose_kernel_dies_ends_with_a_failure(self, hub, ide):
        await opened(hub, ide, "B.xlsx")
        await ide.ask({"type": "update_module", "workbook_id": "B.xlsx", "module_name": "m",
                       "code": "import time\ndef f():\n    print('started', flush=True)\n"
                               "    time.sleep(600)\n"})
        await ide.websocket.send(json.dumps({
            "type": "run_module", "workbook_id": "B.xlsx", "module_name": "m",
            "function_name": "f", "args": [], "request_id": "long"}))
        while not any("started" in str(m.get("content")) for m in ide.seen):
            ide.seen.append(json.loads(await ide.websocket.recv()))
        await hub.kernels._processes["B.xlsx"].kill()
        reply = await ide.reply_to("long")
        assert (reply["type"], reply["success"]) == ("execution_result", False)
        assert "went away" in reply["error"]


class TestDebugRunsThroughTheHub:
    async def test_controls_reach_the_kernel_and_each_run_ends_with_its_own_result(self, hub,
                                                                                    ide):
        await opened(hub, ide, "D.xlsx")
        await ide.ask({"type": "update_module", "workbook_id": "D.xlsx", "module_name": "m",
                       "code": "def f(x):\n    y = x + 1\n    return 10 / x\n"})

        async def debug(request_id, args):
            await ide.websocket.send(json.dumps({
                "type": "run_module", "workbook_id": "D.xlsx", "module_name": "m",
                "function_name": "f", "args": args, "debug": True, "request_id": request_id,
                "breakpoints": [{"module_name": "m", "line": 3}]}))

        async def until(kind, request_id=None):
            while True:
                message = json.loads(await asyncio.wait_for(ide.websocket.recv(), seconds(30)))
                ide.seen.append(message)
                if message["type"] == kind and request_id in (None, message.get("request_id")):
                    return message

        await debug("raises", [0])
        assert (await until("debug_paused"))["reason"] == "breakpoint"
        await ide.websocket.send(json.dumps({"type": "debug_evaluate", "workbook_id": "D.xlsx",
                                             "expression": "y * 7"}))
        assert (await until("debug_evaluate_result"))["result"] == "7"
        await ide.websocket.send(json.dumps({"type": "debug_continue", "workbook_id": "D.xlsx"}))
        assert (await until("debug_paused"))["reason"] == "exception"
        await ide.websocket.send(json.dumps({"type": "debug_continue", "workbook_id": "D.xlsx"}))
        result = await until("execution_result", "raises")
        kinds = [m["type"] for m in ide.seen]
        assert kinds.index("debug_exception") < kinds.index("debug_terminated") < len(kinds) - 1
        assert (result["success"], result["error"], result["function_name"]) == (
            False, "ZeroDivisionError: division by zero", "f")

        await debug("stopped", [1])
        await until("debug_paused")
        await ide.websocket.send(json.dumps({"type": "debug_stop", "workbook_id": "D.xlsx"}))
        assert (await until("execution_result", "stopped"))["success"] is False

        await debug("returns", [2])
        await until("debug_paused")
        await ide.websocket.send(json.dumps({"type": "debug_continue", "workbook_id": "D.xlsx"}))
        assert (await until("execution_result", "returns"))["success"] is True


class TestWorkbooksAndKernels:
    async def test_a_restart_keeps_the_modules_and_loses_the_namespace(self, hub, ide):
        await opened(hub, ide, "C.xlsx")
        await ide.ask({"type": "update_module", "workbook_id": "C.xlsx", "module_name": "m",
                       "code": "def f():\n    return 5\n"})
        await ide.ask({"type": "execution_request", "workbook_id": "C.xlsx", "code": "y = 1"})
        first_pid = hub.kernels._processes["C.xlsx"].pid
        reply = await ide.ask({"type": "restart_kernel", "workbook_id": "C.xlsx"}, 60)
        assert reply["success"], reply
        assert hub.kernels._processes["C.xlsx"].pid != first_pid
        cell = await ide.ask({"type": "execution_request", "workbook_id": "C.xlsx",
                              "code": "import m; (m.f(), 'y' in dir())"})
        assert cell["success"] and cell["result"] == "(5, False)"

    async def test_workbook_names_are_checked_and_the_watch_follows_the_kernels(self, hub, ide):
        refused = await ide.ask({"type": "new_workbook", "workbook_id": "../evil"})
        assert not refused["success"] and "without slashes" in refused["message"]
        state = await ide.ask({"type": "watch_workbooks", "version": -1})
        assert state["workbooks"] == []
        parked = {"type": "watch_workbooks", "version": state["version"], "request_id": "w"}
        await ide.websocket.send(json.dumps(parked))
        await opened(hub, ide, "D.xlsx")
        assert ("D.xlsx", "starting") in [(w["id"], w["kernel"]) for m in ide.seen
                                          if m.get("request_id") == "w" for w in m["workbooks"]]
        again = await ide.ask({"type": "new_workbook", "workbook_id": "D.xlsx"})
        assert not again["success"] and "exists already" in again["message"]
        now = await ide.ask({"type": "watch_workbooks", "version": -1})
        assert now["workbooks"] == [{"id": "D.xlsx", "name": "D.xlsx", "kernel": "connected",
                                     "busy": False, "path": hub.workbooks.default_path("D.xlsx"),
                                     "problem": None, "read_only": False, "breakpoints": []}]


@pytest.mark.parametrize("reply, problem", [
    ({"type": "execution_result", "success": False,
      "error": "No kernel is connected for workbook 'Budget.xlsx'."},
     "No kernel is connected for workbook 'Budget.xlsx'"),
    ({"type": "request_refused", "message": "Still loading..."}, "Still loading..."),
    ({"type": "execution_result", "success": True}, None),
])
def test_a_refusal_reads_as_part_of_the_ides_own_sentence(reply, problem):
    # "The cell did not run: {problem}." once showed "'Budget.xlsx'.."
    from ide.gui.hub_channel import reply_problem
    assert reply_problem(reply, "execution_result") == problem
