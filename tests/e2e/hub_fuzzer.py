"""A fuzzer of the hub's IDE endpoint, run as an IDE against a hub with a kernel process.

Every request type the IDE sends (``devhub.ide_protocol``) goes out with each of its fields
wrong in turn (wrongly typed, empty, absent, huge, deeply nested, holding lone surrogates), each
with a request id of the run's own. Each request must get exactly one final reply (of its own
types, or the hub's "request_refused"), and after each the hub must still run the cell 1+1 in
the workbook. With ``--kill`` the workbook's kernel is also killed at random moments, right
after a request: what waited on it must still be answered. The suite runs a few hundred frames;
by hand:

    .venv/bin/python tests/e2e/hub_fuzzer.py --frames 20000 --seed 7 [--kill]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import sys
import tempfile
import time
from typing import Any, Dict, List, Set, Tuple

WORKBOOK = "HubFuzz.xlsx"
MODULE = "fuzz_mod"
MODULE_CODE = "def f(x=1):\n    print('f', x)\n    return x\n"


ABSENT = object()  # the field is left out
WRONG_VALUES = [ABSENT, None, True, 0, -1, 2**64, 1.5, "", "\udc80", [], [1, "a"], {},
                {"a": {"b": [None]}}, json.loads("[" * 80 + "0" + "]" * 80), "x" * 70_000,
                "../../etc", "Nope.xlsx"]

# The fields of each IDE request, with a valid value each, and the types of its final reply
# (besides "request_refused", which answers any of them).
CATALOGUE: Dict[str, Tuple[Dict[str, Any], Set[str]]] = {
    "update_module": ({"workbook_id": WORKBOOK, "module_name": "fuzz_scratch",
                       "code": "x = 1\n"}, {"module_updated"}),
    "delete_module": ({"workbook_id": WORKBOOK, "module_name": "fuzz_scratch"},
                      {"module_deleted"}),
    "execution_request": ({"workbook_id": WORKBOOK, "code": "1 + 1", "source": "ide"},
                          {"execution_result"}),
    "run_module": ({"workbook_id": WORKBOOK, "module_name": MODULE, "function_name": "f",
                    "args": [2], "debug": False, "breakpoints": [], "source": "ide"},
                   {"execution_result"}),
    "reset_namespace": ({"workbook_id": WORKBOOK}, {"namespace_reset"}),
    "interrupt_execution": ({"workbook_id": WORKBOOK}, {"interrupt_result"}),
    "completion_request": ({"workbook_id": WORKBOOK, "module_name": MODULE, "path": "f.py",
                            "code": "im", "line": 1, "column": 2, "dirty_files": {}},
                           {"completion_response"}),
    "signature_help_request": ({"workbook_id": WORKBOOK, "module_name": MODULE,
                                "code": "print(", "line": 1, "column": 6},
                               {"signature_help_response"}),
    "hover_request": ({"workbook_id": WORKBOOK, "module_name": MODULE, "code": "print",
                       "line": 1, "column": 2}, {"hover_response"}),
    "diagnostic_request": ({"workbook_id": WORKBOOK, "module_name": MODULE, "code": "x = ("},
                           {"diagnostic_response"}),
    "debug_evaluate": ({"workbook_id": WORKBOOK, "expression": "1"}, {"debug_evaluate_result"}),
    "new_workbook": ({"workbook_id": "Fuzz New.xlsx"}, {"workbook_opened"}),
    "open_workbook": ({"path": "/nowhere/Fuzz.xlsx"}, {"workbook_opened"}),
    "close_workbook": ({"workbook_id": "Nope.xlsx"}, {"workbook_closed"}),
    "save_workbook_as": ({"workbook_id": "Nope.xlsx", "path": "/nowhere/x.xlsx"},
                         {"workbook_saved"}),
    "reload_workbook": ({"workbook_id": "Nope.xlsx"}, {"workbook_reloaded"}),
    "restart_kernel": ({"workbook_id": WORKBOOK}, {"kernel_restarted"}),
    "watch_workbooks": ({"version": -1}, {"workbooks_state"}),
    "get_workbook_packages": ({"workbook_id": WORKBOOK}, {"workbook_packages_update"}),
    "publish_function": ({"workbook_id": WORKBOOK, "module_name": MODULE, "function_name": "f",
                          "name": "FUZZ_F", "description": "f"}, {"published_functions_state"}),
    "unpublish_function": ({"workbook_id": WORKBOOK, "name": "FUZZ_F"},
                           {"published_functions_state"}),
    "validate_handler": ({"workbook_id": WORKBOOK, "object_id": "Sheet1", "event_name": "Change",
                          "module_name": MODULE, "function_name": "f"},
                         {"validate_handler_response"}),
    "save_event_config": ({"workbook_id": WORKBOOK, "handlers": [
        {"object_id": "Sheet1", "event_name": "Change", "module_name": MODULE,
         "function_name": "f"}]}, {"save_event_config_response"}),
    "save_ontime_events": ({"workbook_id": WORKBOOK, "ontime_events": [
        {"module_name": MODULE, "function_name": "f", "interval_seconds": 3600,
         "enabled": False}]}, {"ontime_event_manager_state"}),
    "get_automation_state": ({"workbook_id": WORKBOOK}, {"ontime_event_manager_state"}),
    "save_breakpoints": ({"workbook_id": WORKBOOK, "breakpoints": [
        {"module_name": MODULE, "line": 2, "condition": "x > 1"}]}, {"breakpoints_saved"}),
}
# Requests whose work takes seconds: sent less often, so that a run covers the others.
SLOW = {"restart_kernel", "new_workbook"}
REFUSED = "request_refused"
# Messages that carry a request's id on the way and are not its end.
ON_THE_WAY = {"stdout", "stderr", "result_output", "debug_paused", "debug_resumed",
              "debug_exception", "debug_terminated", "pip_output", "package_install_progress"}


def mutation(rng: random.Random) -> Tuple[str, Dict[str, Any], str]:
    """A request with one field wrong (or none): (type, message, what was changed)."""
    kinds = [k for k in CATALOGUE if k not in SLOW or rng.random() < 0.05]
    kind = rng.choice(kinds)
    fields = dict(CATALOGUE[kind][0])
    if fields and rng.random() < 0.85:
        name = rng.choice(sorted(fields))
        value = rng.choice(WRONG_VALUES)
        if value is ABSENT:
            del fields[name]
        else:
            fields[name] = value
        changed = f"{name}={value if value is ABSENT else repr(value)[:30]}"
    else:
        changed = "valid"
    return kind, {"type": kind, **fields}, changed


class Fuzzer:
    def __init__(self, hub: Any, ide: Any, rng: random.Random, kill: bool,
                 timeout: float) -> None:
        self.hub, self.ide, self.rng, self.kill, self.timeout = hub, ide, rng, kill, timeout
        self.finished: Set[str] = set()
        self.doubles: List[str] = []
        self.kills = 0
        self._n = 0

    async def until_final(self, request_id: str, finals: Set[str]) -> Dict[str, Any]:
        """Reads until the final reply of `request_id`; a second final reply of an earlier
        request seen meanwhile is noted."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.timeout
        while True:
            left = deadline - loop.time()
            if left <= 0:
                raise AssertionError(f"no final reply to {request_id} in {self.timeout:.0f} s")
            try:
                message = json.loads(await asyncio.wait_for(self.ide.recv(), left))
            except asyncio.TimeoutError:
                raise AssertionError(f"no final reply to {request_id} in "
                                     f"{self.timeout:.0f} s") from None
            rid = message.get("request_id")
            if not isinstance(rid, str) or message.get("type") in ON_THE_WAY:
                continue
            if rid in self.finished:
                self.doubles.append(f"{rid}: {message.get('type')}")
                continue
            if rid == request_id:
                if message.get("type") not in finals | {REFUSED}:
                    raise AssertionError(f"{request_id} ended with {message!r:.300}")
                self.finished.add(rid)
                return message

    async def ask(self, message: Dict[str, Any], finals: Set[str]) -> Dict[str, Any]:
        self._n += 1
        request_id = message["request_id"] = f"fuzz-{self._n}"
        await self.ide.send(json.dumps(message))
        if self.kill and self.rng.random() < 0.05:
            process = self.hub.kernels._processes.get(WORKBOOK)
            if process is not None and process.process.returncode is None:
                await asyncio.sleep(self.rng.random() * 0.02)
                try:
                    process.process.kill()
                    self.kills += 1
                except ProcessLookupError:
                    pass  # it had just ended
        return await self.until_final(request_id, finals)

    async def probe(self) -> None:
        """The workbook open, its kernel connected, and the cell 1+1 answered with 2."""
        if self.hub.workbooks.get(WORKBOOK) is None:
            path = self.hub.workbooks.default_path(WORKBOOK)
            await self.ask({"type": "open_workbook", "path": path}, {"workbook_opened"})
        if self.hub.kernels.connected(WORKBOOK) is None:
            started = await self.ask({"type": "restart_kernel", "workbook_id": WORKBOOK},
                                     {"kernel_restarted"})
            assert started.get("success"), started
        result = await self.ask({"type": "execution_request", "workbook_id": WORKBOOK,
                                 "code": "1 + 1"}, {"execution_result"})
        if not result.get("success") and self.kill:  # the kernel went just now: once more
            await self.probe()
            return
        assert result.get("result") == "2", result


async def fuzz(hub: Any, frames: int, seed: int = 1, kill: bool = False,
               timeout: float = 60.0, progress: Any = None) -> Dict[str, Any]:
    """Runs `frames` requests against `hub` as an IDE; the figures of the run."""
    from websockets.asyncio.client import connect

    started = time.monotonic()
    rng = random.Random(seed)
    async with connect(hub.url + "/ws/ide/main_ide", max_size=None,
                       additional_headers=hub.auth_headers) as ide:
        await ide.recv()  # the workbook list
        fuzzer = Fuzzer(hub, ide, rng, kill, timeout)
        opened = await fuzzer.ask({"type": "new_workbook", "workbook_id": WORKBOOK},
                                  {"workbook_opened"})
        assert opened.get("success"), opened
        await fuzzer.ask({"type": "update_module", "workbook_id": WORKBOOK,
                          "module_name": MODULE, "code": MODULE_CODE}, {"module_updated"})
        refused = 0
        for number in range(frames):
            kind, message, changed = mutation(rng)
            try:
                reply = await fuzzer.ask(message, CATALOGUE[kind][1])
            except AssertionError as failure:
                raise AssertionError(f"frame {number} ({kind}, {changed}): {failure}") from None
            refused += reply.get("type") == REFUSED or reply.get("success") is False
            if number % 10 == 9 or kill:
                await fuzzer.probe()
            if progress is not None and number % 1000 == 999:
                progress(f"{number + 1} frames, {time.monotonic() - started:.0f} s")
        await fuzzer.probe()
    return {"frames": frames, "refused": refused, "doubles": fuzzer.doubles,
            "kills": fuzzer.kills, "seconds": time.monotonic() - started}


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--kill", action="store_true", help="kill the kernel at random moments")
    options = parser.parse_args()
    os.environ["QUORVEL_SECURED"] = "0"
    from devhub import DevHub

    # Wrong paths are relative ones too: what the hub writes for them lands in a scratch folder.
    with tempfile.TemporaryDirectory(prefix="hub-fuzz-") as scratch:
        os.chdir(scratch)
        async with DevHub(keep_frames=False) as hub:
            figures = await fuzz(hub, options.frames, options.seed, options.kill,
                                 progress=print)
    print(f"{figures['frames']} requests in {figures['seconds']:.1f} s, each with one final "
          f"reply: {figures['refused']} refused or failed, {len(figures['doubles'])} answered "
          f"twice, the kernel killed {figures['kills']} times; 1+1 answered throughout")
    return 1 if figures["doubles"] else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
