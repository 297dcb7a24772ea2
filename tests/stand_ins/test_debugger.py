"""The line debugger on its own, driven as the kernel drives it: a worker thread runs the code,
the loop thread reads the pauses and sends commands."""
import asyncio
import concurrent.futures
import importlib
import os
import sys
import textwrap
import time

import pytest

from python_server.debugger import QuorvelDebugger

TIMEOUT = 20 * float(os.environ.get("QUORVEL_TESTS_TIMEOUT_FACTOR", "1"))
SOURCE = textwrap.dedent("""\
    import sys

    class Stuck:
        def __repr__(self):
            while True:
                pass

    class Broken:
        def __repr__(self):
            raise ValueError("no picture")

    def untraced():
        return sys.gettrace()

    def spin():
        turns = 0
        while True:
            turns += 1

    def counted(n):
        seen = []
        for i in range(n):
            seen.append(i)
            if i < 0:
                seen.clear()
        return seen

    def odd_objects():
        stuck, broken = Stuck(), Broken()
        return untraced()

    def numbers():
        yield 1
        yield 2

    def consumed():
        return list(numbers())

    @staticmethod
    def decorated():
        return "body"
""")


@pytest.fixture
def disk_module(tmp_path, monkeypatch):
    """SOURCE as the module `on_disk`, imported from a file."""
    (tmp_path / "on_disk.py").write_text(SOURCE)
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("on_disk", None)
    yield importlib.import_module("on_disk")
    sys.modules.pop("on_disk", None)


def line_of(text):
    return next(n for n, line in enumerate(SOURCE.splitlines(), 1) if line.strip() == text)


class Session:
    """One debug session: runcall on a worker thread, pauses collected on the loop."""

    def __init__(self, breakpoints):
        self.pauses = asyncio.Queue()
        self.debugger = QuorvelDebugger(self._send, "Book.xlsx")
        self.debugger.loop = asyncio.get_running_loop()
        self.debugger.set_breakpoints(breakpoints)
        self.pool = concurrent.futures.ThreadPoolExecutor(1)

    async def _send(self, message):
        await self.pauses.put(message)

    def run(self, function, *args):
        self.result = asyncio.get_running_loop().run_in_executor(
            self.pool, self.debugger.runcall, function, *args)
        return self

    async def pause(self):
        return await asyncio.wait_for(self.pauses.get(), TIMEOUT)

    async def end(self):
        try:
            return await asyncio.wait_for(self.result, TIMEOUT)
        finally:
            self.pool.shutdown(wait=False)


def at(text, **fields):
    return {"module_name": "on_disk", "line": line_of(text), **fields}


async def test_breakpoints_in_a_file_on_disk_with_condition_and_hit_count(disk_module):
    session = Session([at("seen.append(i)", condition="i % 2 == 1", hit_count=">= 2")])
    session.run(disk_module.counted, 8)
    stops = []
    for _ in range(3):
        pause = await session.pause()
        stops.append(next(v["value"] for v in pause["locals"] if v["name"] == "i"))
        session.debugger.continue_execution()
    assert stops == ["3", "5", "7"]
    assert pause["file"] == disk_module.__file__ and pause["module_name"] == "on_disk"
    assert await session.end() == list(range(8))


async def test_a_def_line_breakpoint_stops_at_the_body_when_called(disk_module):
    session = Session([at("@staticmethod")]).run(disk_module.decorated.__func__)
    pause = await session.pause()
    assert (pause["line"], pause["requested_line"]) == (line_of('return "body"'),
                                                        line_of("@staticmethod"))
    session.debugger.continue_execution()
    assert await session.end() == "body"


async def test_values_whose_repr_hangs_or_fails_do_not_hold_the_pause(disk_module):
    session = Session([at("return untraced()")]).run(disk_module.odd_objects)
    started = time.monotonic()
    pause = await session.pause()
    assert time.monotonic() - started < 5
    shown = {v["name"]: v["value"] for v in pause["locals"]}
    assert shown["stuck"].startswith("<repr took longer than")
    assert shown["broken"] == "<repr failed: ValueError: no picture>"
    session.debugger.continue_execution()
    await session.end()


async def test_frames_with_nothing_to_stop_at_report_no_lines(disk_module):
    quiet = Session([at("return untraced()")]).run(disk_module.counted, 1000)
    assert await quiet.end() == list(range(1000))
    assert quiet.debugger.line_events == 0
    # A breakpoint in the loop's own function makes that frame report its lines.
    traced = Session([at("seen.clear()")]).run(disk_module.counted, 1000)
    await traced.end()
    assert traced.debugger.line_events > 0


async def test_a_step_over_yield_to_code_of_ours_stops_when_the_generator_resumes(disk_module):
    session = Session([at("yield 1")]).run(disk_module.consumed)
    await session.pause()
    session.debugger.step_over()
    pause = await session.pause()
    assert (pause["reason"], pause["line"]) == ("step", line_of("yield 2"))
    assert [f["function"] for f in pause["call_stack"]] == ["numbers", "consumed"]
    session.debugger.continue_execution()
    assert await session.end() == [1, 2]


async def test_only_the_session_thread_stops(disk_module):
    session = Session([at("seen.append(i)")]).run(disk_module.counted, 2)
    await session.pause()
    # While the worker is parked, other threads run the same code straight through.
    other = await asyncio.get_running_loop().run_in_executor(None, disk_module.counted, 3)
    assert other == [0, 1, 2]
    session.debugger.stop_debugging()
    assert await session.end() is None
    assert session.debugger.stopped


async def test_stop_unwinds_code_that_never_pauses(disk_module):
    session = Session([]).run(disk_module.spin)
    await asyncio.sleep(0.1)
    session.debugger.stop_debugging()
    assert await session.end() is None
