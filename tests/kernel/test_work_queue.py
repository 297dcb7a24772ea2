"""The queue between the listener loop and the worker pool."""
import asyncio
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from python_server import kernel as kernel_module


def waiting(tag, release, started):
    def body():
        started.append(tag)
        assert release.wait(5)
        return tag
    return body


async def test_runs_at_most_its_workers_at_once_and_settles_every_outcome():
    pool = ThreadPoolExecutor(4)
    queue = kernel_module._WorkQueue(pool, asyncio.get_running_loop(), 2)
    release, started = threading.Event(), []
    futures = [queue.submit(waiting(tag, release, started)) for tag in "abc"]
    await asyncio.sleep(0.2)
    assert sorted(started) == ["a", "b"]  # "c" waits for a runner although the pool has room
    release.set()
    assert await asyncio.gather(*futures) == ["a", "b", "c"]

    def fails():
        raise ValueError("bad")

    with pytest.raises(ValueError, match="bad"):
        await queue.submit(fails)
    many = [queue.submit(lambda n=n: n * 2) for n in range(2000)]
    assert await asyncio.gather(*many) == [n * 2 for n in range(2000)]
    pool.shutdown()


async def test_work_cancelled_or_left_queued_at_close_never_starts():
    pool = ThreadPoolExecutor(2)
    queue = kernel_module._WorkQueue(pool, asyncio.get_running_loop(), 1)
    release, started = threading.Event(), []
    first = queue.submit(waiting("first", release, started))
    cancelled = queue.submit(waiting("cancelled", release, started))
    second = queue.submit(waiting("second", release, started))
    await asyncio.sleep(0.1)
    cancelled.cancel()
    release.set()
    assert await asyncio.gather(first, second) == ["first", "second"]

    release.clear()
    running = queue.submit(waiting("running", release, started))
    queue.submit(waiting("queued", release, started))
    await asyncio.sleep(0.1)
    queue.close()
    with pytest.raises(RuntimeError):
        queue.submit(lambda: None)
    release.set()
    assert await running == "running"
    await asyncio.sleep(0.1)
    assert started == ["first", "second", "running"]
    pool.shutdown()


async def test_an_outcome_is_settled_while_the_runner_goes_on_with_later_work():
    pool = ThreadPoolExecutor(2)
    queue = kernel_module._WorkQueue(pool, asyncio.get_running_loop(), 1)
    first, later, started = threading.Event(), threading.Event(), []
    busy = queue.submit(waiting("busy", first, started))
    await asyncio.sleep(0.1)
    quick = queue.submit(lambda: "quick")
    slow = queue.submit(waiting("slow", later, started))
    first.set()  # the runner goes from "busy" to "quick" to "slow" without waiting
    assert await asyncio.wait_for(asyncio.gather(busy, quick), 2) == ["busy", "quick"]
    later.set()
    assert await slow == "slow"
    pool.shutdown()
