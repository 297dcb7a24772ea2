"""The probe functions of coroutine_probe written as plain `async def` code.

The bridge tests run every scenario against both implementations: whatever CPython's own
coroutines do is what the C++ ones must do.
"""
import asyncio


class _Recorder:
    def __init__(self, log, what):
        self.log, self.what = log, what

    def __del__(self):
        self.log.append(self.what)


async def returns(value):
    return value


async def await_one(awaitable):
    return await awaitable


async def await_each(awaitables):
    return [await a for a in awaitables]


async def raises(exc_type, message):
    raise exc_type(message)


async def catch_from(awaitable):
    try:
        await awaitable
    except Exception as e:  # the probe catches every Python error
        return ("caught", type(e).__name__, str(e))
    except BaseException as e:
        return ("caught", type(e).__name__, str(e))
    return "no error"


async def guarded(awaitable, log):
    recorder = _Recorder(log, "destroyed")
    try:
        value = await awaitable
        log.append("completed")
        return value
    except BaseException as e:
        log.append("caught " + type(e).__name__)
        raise
    finally:
        del recorder


async def absorb_cancel(awaitable):
    try:
        await awaitable
    except asyncio.CancelledError:
        return "absorbed"
    return "finished"


async def ignore_exit(first, second):
    try:
        await first
    except BaseException:
        pass
    await second


async def nested(depth):
    if depth == 0:
        await asyncio.sleep(0)
        return 0
    return await nested(depth - 1) + 1


async def leak_stop_iteration():
    raise StopIteration


async def stop_on_exit(awaitable):
    try:
        await awaitable
    except BaseException:
        raise StopIteration


def within(seconds):
    return f"within {seconds} s"


async def sum_async(iterable):
    total = 0
    async for item in iterable:
        total += item
    return total


async def count_up(count, between):
    for i in range(count):
        if between is not None:
            await between()
        yield i


async def pairs(items):
    for item in items:
        yield ("item", item)


async def echo():
    received = None
    while True:
        received = yield received


async def guarded_generator(log):
    recorder = _Recorder(log, "destroyed")
    try:
        for i in range(3):
            yield i
    except BaseException as e:
        log.append("caught " + type(e).__name__)
        raise
    finally:
        del recorder


async def cleanup_awaits(awaitable, log):
    try:
        yield 1
        yield 2
    except BaseException as e:
        log.append("caught " + type(e).__name__)
    await awaitable
    log.append("cleaned")


async def raise_after(exc_type):
    yield 1
    raise exc_type("from the generator")


async def await_many(factory, count):
    for _ in range(count):
        await factory()
    return count
