"""A fuzzer of the kernel's inbound frames, run against a kernel process as a hub would.

Every message type the kernel takes is sent with each of its fields wrong in turn (wrongly typed,
empty, absent, huge, deeply nested, holding lone surrogates), and so are frames that are binary,
oversized, deeply nested, not JSON or not an object, and chunks that do not fit. After each frame
the kernel must answer the cell 1+1 with 2, and every request must get its reply: a frame the
kernel cannot read gets an "error" before the cell's result, a request its own reply (or an
"error" naming it). The suite runs a few hundred frames; by hand:

    .venv/bin/python tests/kernel/frame_fuzzer.py --frames 20000 --seed 7
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Set, Union

MAX_MESSAGE_SIZE = 1048576  # the kernel's bound on an inbound frame, in characters
WORKBOOK = "Fuzz.xlsx"
MODULE = "fuzz_mod"
MODULE_CODE = ("def f(x=1):\n    print('f', x)\n    return x\n\n"
               "def gen(n=2):\n    for i in range(n):\n        yield i\n\n"
               "def on_event(*args):\n    return len(args)\n")


def nested(depth: int, leaf: Any = 0) -> Any:
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


ABSENT = object()  # the field is left out
OUR_ID = "<id>"  # replaced by a request id of the run's own, to match the reply
WRONG_VALUES = [ABSENT, None, True, 0, -1, 2**64, -(2**63) - 1, 1.5, "", "\udc80", "a\ud800b",
                [], [1, "a"], {}, {"a": {"b": [None]}}, nested(300), "x" * 70_000]

# The fields of each message type the kernel takes, with a valid value each. The fuzz module is
# synced before the run; "fuzz_scratch" is the module that update/delete play with.
CATALOGUE: Dict[str, Dict[str, Any]] = {
    "execution_request": {"code": "1 + 1", "function_name": None, "source": "ide"},
    "reset_namespace": {},
    "update_module": {"module_name": "fuzz_scratch", "code": "x = 1\n"},
    "delete_module": {"module_name": "fuzz_scratch"},
    "custom_function_call": {"module_name": MODULE, "function_name": "f", "args": [2],
                             "workbook_id": WORKBOOK, "source": "addin"},
    "run_module": {"module_name": MODULE, "function_name": "f", "args": [], "debug": False,
                   "breakpoints": [], "workbook_id": WORKBOOK, "source": "ide"},
    "event_execution": {"module_name": MODULE, "function_name": "on_event", "args": [],
                        "workbook_id": WORKBOOK, "is_com": False, "object_type": "sheet",
                        "object_name": "Sheet1", "event_type": "change"},
    "com_event_config_update": {"com_config": {}},
    "python_function_call": {"callable_id": "nowhere", "args": [], "workbook_id": WORKBOOK},
    "execute_streaming_function": {"module_name": MODULE, "function_name": "gen", "args": [2],
                                   "workbook_id": WORKBOOK, "source": "addin"},
    "cancel_streaming_function": {},
    "interrupt_execution": {"workbook_id": WORKBOOK},
    "sys_response": {"payload": {"requestId": "0" * 32, "value": 1}},
    "get_object_registry": {},
    "add_path": {"path": "fuzz_path"},
    "remove_path": {"path": "fuzz_path"},
    "reset_path": {},
    "set_package_paths": {"old_paths": [], "new_paths": []},
    "set_python_paths": {"old_paths": [], "new_paths": []},
    "unload_and_clear_paths": {"paths": []},
    "completion_request": {"code": "im", "line": 1, "column": 2, "path": None,
                           "module_name": MODULE, "dirty_files": None},
    "signature_help_request": {"code": "print(", "line": 1, "column": 6},
    "hover_request": {"code": "print", "line": 1, "column": 2},
    "diagnostic_request": {"code": "x = (", "module_name": MODULE},
    "set_hover_mode": {"mode": "full"},
    "debug_continue": {}, "debug_step_over": {}, "debug_step_into": {}, "debug_step_out": {},
    "debug_stop": {},
    "debug_evaluate": {"expression": "1"},
    "debug_update_breakpoints": {"breakpoints": []},
    "chunk": {"chunk_id": "fuzz-chunk", "chunk_index": 0, "total_chunks": 1,
              "data": '{"type": "fuzz_noop"}', "original_type": "fuzz_noop"},
}

# What answers each request: its final reply types ("error" answers any request too). Types
# without a row get no reply of their own. Add a row when a type gets a handler that answers.
REPLIES: Dict[str, Set[str]] = {
    "execution_request": {"execution_result", "execution_error"},
    "reset_namespace": {"namespace_reset"},
    "update_module": {"module_updated"},
    "delete_module": {"module_deleted"},
    "custom_function_call": {"function_execution_result"},
    "run_module": {"function_execution_result", "execution_error", "debug_terminated"},
    "event_execution": {"event_execution_result"},
    "python_function_call": {"python_function_result"},
    "execute_streaming_function": {"streaming_function_result"},
    "interrupt_execution": {"interrupt_result"},
    "get_object_registry": {"object_registry_response"},
    "add_path": {"path_added"}, "remove_path": {"path_removed"}, "reset_path": {"path_reset"},
    "set_package_paths": {"package_paths_updated"},
    "set_python_paths": {"python_paths_updated"},
    "unload_and_clear_paths": {"modules_unloaded"},
    "completion_request": {"completion_response"},
    "signature_help_request": {"signature_help_response"},
    "hover_request": {"hover_response"}, "diagnostic_request": {"diagnostic_response"},
    "set_hover_mode": {"hover_mode_updated"}, "debug_evaluate": {"debug_evaluate_result"},
}

# Requests whose replies carry the request's id; the others' replies are told by their type
# (they are answered before the next frame is read, so before the cell's result).
ECHO_ID = {"execution_request", "custom_function_call", "run_module", "event_execution",
           "python_function_call", "execute_streaming_function"}

Frame = Union[str, bytes, Dict[str, Any]]


@dataclass
class Case:
    frame: Frame
    label: str
    # "refused": an "error" before the cell's result; "reply": the request's own reply
    expect: Optional[str] = None
    reply_types: Set[str] = field(default_factory=set)


def expectation(message: Dict[str, Any]) -> Case:
    """What the kernel owes for a message it can read."""
    kind = message.get("type")
    case = Case(message, f"{kind!r:.40}")
    if not isinstance(kind, str) or kind not in REPLIES:
        return case
    if kind == "event_execution" and not (message.get("module_name", "") and
                                          message.get("function_name", "")):
        return case  # a handler without a name is dropped with a log, as a COM caller expects
    case.expect, case.reply_types = "reply", REPLIES[kind]
    return case


def mutations() -> Iterator[Case]:
    """Each field of each type wrong in turn, the request id included."""
    for kind, fields in CATALOGUE.items():
        names = list(fields) + ["request_id", "type"]
        for name in names:
            for value in WRONG_VALUES:
                message: Dict[str, Any] = {"type": kind, **fields, "request_id": OUR_ID}
                if name == "type" and value is not ABSENT and not isinstance(value, str):
                    continue  # a type that is not text is simply unknown: a few cases suffice
                if value is ABSENT:
                    message.pop(name, None)
                else:
                    message[name] = value
                case = expectation(message)
                case.label = f"{kind}.{name}={_short(value)}"
                yield case


def special_frames() -> Iterator[Case]:
    """Frames that are not a message the kernel can read, and messages of unusual shape."""
    refused = [
        (b"\xff\xfe\x00", "binary, not UTF-8"), ("", "empty"), ("   ", "blank"),
        ("{not json", "not JSON"), ("[]", "a list"), ('"text"', "a string"), ("12", "a number"),
        ("null", "null"), ("true", "true"), ("[" * 1000 + "]" * 1000, "1000 brackets"),
        ("[" * 100_000, "100,000 open brackets"), ('{"n": ' + "7" * 4301 + "}", "4,301 digits"),
        ("x" * (MAX_MESSAGE_SIZE + 1), "oversized text"),
        (json.dumps({"type": "execution_request", "code": "#" * MAX_MESSAGE_SIZE}),
         "oversized request"),
        ('{"type": "execution_request", "code": "1", "request_id": "\\udc80\\ud800"', "cut off"),
    ]
    for frame, label in refused:
        yield Case(frame, label, "refused")
    for frame, label in [
            (b'{"type": "execution_request", "code": "1+1"}', "binary JSON"),
            ('{"type": "execution_request", "code": "1", "request_id": NaN}', "NaN id"),
            ('{"type": "execution_request", "code": "1", "code": "2"}', "duplicate keys"),
            ('{"type": "execution_request", "code": "\\ud83d\\ude00\\udc80", '
             '"request_id": "\\ud800"}', "surrogates everywhere"),
            ('{"type": "\\ud800", "request_id": "\\udfff"}', "surrogate type")]:
        yield _parsed(frame, label)
    # Deep enough for orjson to refuse the echo, not so deep that this reader's parser cannot
    # take the reply at its own depth of stack.
    for depth in (200, 500, 800):
        text = ('{"type": "execution_request", "code": "1", "request_id": ' +
                "[" * depth + "]" * depth + "}")
        yield Case(text, f"request id nested {depth} deep", "reply",
                   REPLIES["execution_request"])
    whole = json.dumps({"type": "execution_request", "code": "2 + 2", "request_id": "chunked"})
    halves = [whole[:20], whole[20:]]
    for index in (1, 0):  # in reverse order: reassembled once the second arrives
        chunk = {"type": "chunk", "chunk_id": "whole", "chunk_index": index, "total_chunks": 2,
                 "data": halves[index]}
        yield Case(chunk, f"chunk {index} of a request",
                   "reply" if index == 0 else None,
                   REPLIES["execution_request"] if index == 0 else set())
    for label, chunk in [
            ("chunk beyond its buffer", {"chunk_id": "b", "chunk_index": 0, "total_chunks": 2,
                                         "data": "["}),
            ("chunk beyond its buffer (2)", {"chunk_id": "b", "chunk_index": 7,
                                             "total_chunks": 9, "data": "]"}),
            ("chunk of a list", {"chunk_id": "l", "chunk_index": 0, "total_chunks": 1,
                                 "data": "[1]"}),
            ("chunk of a chunk", {"chunk_id": "n", "chunk_index": 0, "total_chunks": 1,
                                  "data": json.dumps({"type": "chunk"})}),
            ("chunk claiming 10**12", {"chunk_id": "h", "chunk_index": 0,
                                       "total_chunks": 10**12, "data": "{"})]:
        yield Case({"type": "chunk", **chunk}, label)


def _parsed(text: str, label: str) -> Case:
    case = expectation(json.loads(text))
    case.frame, case.label = text, label
    return case


def _short(value: Any) -> str:
    if value is ABSENT:
        return "absent"
    text = repr(value)
    return text if len(text) <= 24 else f"{text[:20]}...({len(text)})"


def cases(count: int, seed: int) -> List[Case]:
    """The special frames, then mutations in a shuffled order; past those, random mixes."""
    chosen = list(special_frames())
    pool = list(mutations())
    random.Random(seed).shuffle(pool)
    chosen += pool[:max(0, count - len(chosen))]
    generator = random.Random(seed + 1)
    while len(chosen) < count:  # several fields wrong at once
        kind = generator.choice(list(CATALOGUE))
        message = {"type": kind, **CATALOGUE[kind], "request_id": OUR_ID}
        for name in generator.sample(list(message), k=min(3, len(message))):
            value = generator.choice(WRONG_VALUES)
            if name != "type" and value is not ABSENT:
                message[name] = value
        case = expectation(message)
        case.label = f"{kind} with several fields wrong"
        chosen.append(case)
    return chosen[:count]


class Failure(AssertionError):
    pass


class Run:
    """One kernel process and the bookkeeping of the replies it owes."""

    def __init__(self, session, timeout: float) -> None:
        self.session, self.timeout = session, timeout
        self.owed: Dict[str, Case] = {}  # by request id, for requests with an id of ours
        self.frames = self.refused = self.answered = 0

    async def send(self, frame: Frame) -> None:
        if isinstance(frame, dict):
            await self.session.send_raw(json.dumps(frame))
        else:
            await self.session.send_raw(frame)

    def settle(self, message: Dict[str, Any]) -> bool:
        """Marks the reply of a request with an id of ours; True when it was one."""
        request_id = message.get("request_id")
        case = self.owed.get(request_id) if isinstance(request_id, str) else None
        if case is None or not self.answers(case, message):
            return False
        del self.owed[request_id]
        self.answered += 1
        return True

    def is_owed(self, message: Dict[str, Any]) -> bool:
        """True when the message answers a request with an id of ours still waiting."""
        request_id = message.get("request_id")
        return isinstance(request_id, str) and request_id in self.owed

    @staticmethod
    def answers(case: Case, message: Dict[str, Any]) -> bool:
        kind = message.get("type")
        if kind == "error":
            return True
        if kind == "streaming_function_result":
            return bool(message.get("done")) and kind in case.reply_types
        return kind in case.reply_types

    async def one(self, number: int, case: Case) -> None:
        frame = case.frame
        ours = False
        if isinstance(frame, dict) and frame.get("request_id") == OUR_ID:
            frame = {**frame, "request_id": f"f{number}"}
            ours = case.expect == "reply" and frame["type"] in ECHO_ID
            if ours:
                self.owed[f"f{number}"] = case
        await self.send(frame)
        probe = f"probe{number}"
        await self.session.send({"type": "execution_request", "code": "1+1", "request_id": probe})
        self.frames += 1
        # Owed here: the refusal of a frame the kernel cannot read, which comes before the cell's
        # result, or the reply of a request whose id is not ours, matched by its type.
        refusal = case.expect == "refused"
        reply = case.expect == "reply" and not ours
        probed = False
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.timeout
        while not probed or reply:
            try:
                message = await self.session.receive(max(0.0, deadline - loop.time()))
            except asyncio.TimeoutError:
                raise Failure(f"frame {number} ({case.label}): no "
                              f"{'cell result' if not probed else 'reply'} in {self.timeout} s")
            kind = message.get("type")
            if message.get("request_id") == probe and kind in REPLIES["execution_request"]:
                if message.get("result") != "2":
                    raise Failure(f"frame {number} ({case.label}): 1+1 gave {message!r:.300}")
                probed = True
                if refusal:
                    raise Failure(f"frame {number} ({case.label}): not refused before the cell")
                continue
            if self.settle(message):
                continue
            if refusal and kind == "error" and "request_id" not in message:
                refusal = False
                self.refused += 1
            elif reply and self.answers(case, message) and not self.is_owed(message):
                reply = False
                self.answered += 1

    async def settle_the_rest(self) -> None:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.timeout
        try:
            while self.owed:
                self.settle(await self.session.receive(max(0.0, deadline - loop.time())))
        except asyncio.TimeoutError:
            waiting = ", ".join(f"{k} ({c.label})" for k, c in list(self.owed.items())[:5])
            raise Failure(f"{len(self.owed)} requests got no reply: {waiting}") from None


async def cell(session, code: str, timeout: float) -> Any:
    await session.send({"type": "execution_request", "code": code, "request_id": "check",
                        "function_name": "check"})
    while True:
        message = await session.receive(timeout)
        if message.get("request_id") == "check" and message["type"] == "execution_result":
            return message["result"]
        if message.get("request_id") == "check" and message["type"] == "execution_error":
            raise Failure(f"cell {code!r} failed: {message['error']}")


async def fuzz(hub, count: int, seed: int = 1, timeout: float = 30.0,
               progress=None) -> Dict[str, Any]:
    """Runs `count` frames against a kernel process of `hub`; returns figures, raises Failure."""
    process = await hub.launch_kernel(WORKBOOK)
    try:
        session = await hub.wait_for_kernel(WORKBOOK, timeout=timeout)
        await session.send({"type": "update_module", "module_name": MODULE, "code": MODULE_CODE})
        await session.expect("module_updated", timeout)
        run = Run(session, timeout)
        started = time.monotonic()
        for number, case in enumerate(cases(count, seed)):
            await run.one(number, case)
            if progress and number % 500 == 499:
                progress(f"{number + 1} frames, {time.monotonic() - started:.0f} s")
        await run.settle_the_rest()
        elapsed = time.monotonic() - started
        # Nothing is kept for streams that are gone, and the kernel still works.
        kept = await cell(session, "(lambda k: [len(k._canceled_streaming_requests), "
                                   "len(k._chunk_buffers)])(__import__('quorvel')._kernel_instance)",
                          timeout)
        await session.send({"type": "shutdown"})
        code = await process.wait(timeout)
        return {"frames": run.frames, "refused": run.refused, "answered": run.answered,
                "seconds": elapsed, "kept": kept, "exit_code": code}
    finally:
        await process.kill()


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    os.environ["QUORVEL_SECURED"] = "0"
    from devhub import DevHub

    async with DevHub() as hub:
        figures = await fuzz(hub, options.frames, options.seed, progress=print)
    print(f"{figures['frames']} frames in {figures['seconds']:.1f} s: {figures['refused']} "
          f"refused, {figures['answered']} requests answered, the cell 1+1 answered after each; "
          f"cancels and chunk buffers kept at the end {figures['kept']}; kernel exit code "
          f"{figures['exit_code']}")


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
