"""IDE dispatch throughput: 50,000 "stdout" frames pushed by a server, until the last console
line is shown, against a bare websockets client receiving the same frames.

The server (bench/ide_hub_peer.py, its own process) answers a "flood" request with the frames.
The bare client times from its request to its 50,000th frame. IdeLink times from its request,
made on the GUI thread, to the console update (on the GUI thread) that shows the 50,000th line,
with the main window shown (offscreen). Two intermediate set-ups, and the CPU time each thread
spends per frame, show where the time goes:

  receive + parse + dispatch   the "stdout" entry of the table replaced by a plain function:
                               no GUI hand-off, no GUI work
  + hand-off to the GUI        the entry replaced by a marked function with an empty body
  + console (full)             the real handler and console

Prints the median of the rounds of each, and each as a ratio to the bare client.
Run: QT_QPA_PLATFORM=offscreen .venv/bin/python bench/ide_dispatch.py [--smoke]   (one small round)
"""
from __future__ import annotations

import argparse
import asyncio
import statistics
import threading
import time

from ide_session import ide_session
from PySide6.QtCore import QEventLoop, QTimer
from websockets.asyncio.client import connect

from ide.gui import MainWindow, run_in_qt_thread
from ide.gui.idelink import IdeLink

FRAMES = 50_000
ROUNDS = 3


def flood() -> str:
    return '{"type": "flood", "count": %d}' % FRAMES

# stage -> [(GUI thread CPU seconds, connection thread CPU seconds)] per round
cpu: dict = {"dispatch": [], "hand-off": [], "full": []}


async def bare_round(url: str) -> float:
    async with connect(url, max_size=None) as websocket:
        started = time.perf_counter()
        await websocket.send(flood())
        for _ in range(FRAMES):
            await websocket.recv()
        return time.perf_counter() - started


def wait_qt(done: threading.Event, timeout: float = 300) -> None:
    loop = QEventLoop()
    timer = QTimer()
    timer.timeout.connect(lambda: loop.quit() if done.is_set() else None)
    timer.start(1)
    deadline = time.monotonic() + timeout
    while not done.is_set() and time.monotonic() < deadline:
        loop.exec()


def link_round(link: IdeLink, window: MainWindow, stage: str) -> float:
    done = threading.Event()
    counter = [0]

    def count(_message) -> None:
        counter[0] += 1
        if counter[0] == FRAMES:
            done.set()

    original = link.MESSAGE_HANDLERS["stdout"]
    if stage == "dispatch":
        link.MESSAGE_HANDLERS["stdout"] = count
    elif stage == "hand-off":
        link.MESSAGE_HANDLERS["stdout"] = run_in_qt_thread(count)
    else:
        target = window.console.entry_count + FRAMES

        def on_shown(total: int) -> None:
            if total >= target:
                done.set()

        window.console.shown.connect(on_shown)
    started = time.perf_counter()
    gui_cpu, process_cpu = time.thread_time(), time.process_time()
    link.send_text_message(flood())
    wait_qt(done)
    elapsed = time.perf_counter() - started
    gui_cpu = time.thread_time() - gui_cpu
    cpu[stage].append((gui_cpu, time.process_time() - process_cpu - gui_cpu))
    link.MESSAGE_HANDLERS["stdout"] = original
    if stage == "full":
        window.console.shown.disconnect(on_shown)
        window.console.clear()
    return elapsed


def main() -> None:
    times = {"bare": [], "dispatch": [], "hand-off": [], "full": []}
    with ide_session(show=True) as (link, window, url):
        for _ in range(ROUNDS):
            times["bare"].append(asyncio.run(bare_round(url)))
            for stage in ("dispatch", "hand-off", "full"):
                times[stage].append(link_round(link, window, stage))
    bare = statistics.median(times["bare"])
    print(f"frames per round: {FRAMES}, rounds: {ROUNDS} (medians)")
    labels = {"bare": "bare websockets client", "dispatch": "IdeLink receive+parse+dispatch",
              "hand-off": "  + hand-off to the GUI", "full": "  + console (full)"}
    for stage, label in labels.items():
        median = statistics.median(times[stage])
        line = f"{label:32s} {median:7.3f} s  {median / bare:5.2f}x  ({FRAMES / median:,.0f}/s)"
        if stage in cpu:
            gui = statistics.median(g for g, _ in cpu[stage]) / FRAMES * 1e6
            other = statistics.median(o for _, o in cpu[stage]) / FRAMES * 1e6
            line += f"  CPU per frame: GUI thread {gui:5.1f} us, other threads {other:5.1f} us"
        print(line)
    print(f"ratio IdeLink (full) / bare: {statistics.median(times['full']) / bare:.2f}x "
          f"(target <= 3x)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="one round of a few frames")
    if parser.parse_args().smoke:
        FRAMES, ROUNDS = 2000, 1
    main()
