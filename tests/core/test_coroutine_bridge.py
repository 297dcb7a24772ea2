"""The coroutine bridge seen from Python: every scenario runs against the C++ probe and against
the same code written as `async def`, and both must behave alike."""
import asyncio
import collections.abc
import gc
import subprocess
import sys
import threading
import warnings
import weakref

import pytest

import coroutine_probe

from . import reference

RETURN_KINDS = [None, 42, (1, 2), {"a": [1]}]


class Forever:
    """An awaitable that suspends at every step and never finishes (needs no event loop)."""

    def __await__(self):
        while True:
            yield "tick"


async def python_sleep_return(value):
    await asyncio.sleep(0)
    return value


class TestEntryPoints:
    @pytest.mark.parametrize("value", RETURN_KINDS)
    def test_asyncio_run(self, impl, value):
        assert asyncio.run(impl.await_one(python_sleep_return(value))) == value

    @pytest.mark.parametrize("value", RETURN_KINDS)
    async def test_create_task_and_await(self, impl, value):
        task = asyncio.create_task(impl.await_one(asyncio.sleep(0.001, value)))
        assert await task == value
        assert await impl.returns(value) == value

    async def test_gather_and_wait_for(self, impl):
        results = await asyncio.gather(*(impl.await_one(asyncio.sleep(0.001, i)) for i in range(5)))
        assert results == [0, 1, 2, 3, 4]
        assert await asyncio.wait_for(impl.returns((3, 4)), timeout=1) == (3, 4)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(impl.await_one(asyncio.sleep(10)), timeout=0.01)

    async def test_run_coroutine_threadsafe_from_another_thread(self, impl):
        loop = asyncio.get_running_loop()
        outcome = {}

        def worker():
            future = asyncio.run_coroutine_threadsafe(
                impl.await_one(asyncio.sleep(0.001, (5, 6))), loop)
            outcome["value"] = future.result(timeout=5)
            failing = asyncio.run_coroutine_threadsafe(impl.raises(ValueError, "bad"), loop)
            try:
                failing.result(timeout=5)
            except ValueError as e:
                outcome["error"] = str(e)

        thread = threading.Thread(target=worker)
        thread.start()
        while thread.is_alive():
            await asyncio.sleep(0.001)
        assert outcome == {"value": (5, 6), "error": "bad"}

    @pytest.mark.parametrize("entry", ["run", "task", "await", "gather"])
    def test_exception_return_kind(self, impl, entry):
        async def drive():
            if entry == "task":
                return await asyncio.create_task(impl.raises(KeyError, "k"))
            if entry == "gather":
                return await asyncio.gather(impl.raises(KeyError, "k"))
            return await impl.raises(KeyError, "k")

        with pytest.raises(KeyError, match="k"):
            asyncio.run(drive() if entry != "run" else impl.raises(KeyError, "k"))

    def test_tuple_result_is_not_unpacked(self, impl):
        coro = impl.returns((1, 2))
        with pytest.raises(StopIteration) as info:
            coro.send(None)
        assert info.value.value == (1, 2)

    def test_return_of_void_task_is_none(self):
        assert asyncio.run(coroutine_probe.returns_nothing(asyncio.sleep(0))) is None


class TestAwaitingPythonObjects:
    async def test_futures_tasks_executor_and_nested(self, impl):
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        loop.call_later(0.001, future.set_result, "fut")
        task = asyncio.create_task(python_sleep_return("task"))
        executor = loop.run_in_executor(None, lambda: "pool")
        assert await impl.await_each([future, task, executor, python_sleep_return("coro")]) == [
            "fut", "task", "pool", "coro"]
        assert await impl.nested(20) == 20

    async def test_error_of_the_awaitable_reaches_the_caller_with_traceback(self, impl):
        async def failing():
            await asyncio.sleep(0)
            raise LookupError("deep")

        with pytest.raises(LookupError, match="deep") as info:
            await impl.await_one(failing())
        names = [entry.name for entry in info.traceback]
        assert "failing" in names
        assert await impl.catch_from(failing()) == ("caught", "LookupError", "deep")

    async def test_sent_values_reach_the_inner_awaitable(self, impl):
        class Probe:
            def __await__(self):
                received = yield "first"
                return ("got", received)

        coro = impl.await_one(Probe())
        assert coro.send(None) == "first"
        with pytest.raises(StopIteration) as info:
            coro.send("reply")
        assert info.value.value == ("got", "reply")

    async def test_not_awaitable(self, impl):
        with pytest.raises(TypeError, match="can't be used in 'await' expression"):
            await impl.await_one(12)

    async def test_async_for_over_python_and_cpp_iterables(self, impl):
        async def numbers():
            for i in range(5):
                await asyncio.sleep(0)
                yield i

        assert await impl.sum_async(numbers()) == 10
        assert await impl.sum_async(coroutine_probe.count_up(5, None)) == 10


class TestCancellation:
    async def test_cancel_before_first_step(self, impl):
        log = []
        task = asyncio.create_task(impl.guarded(Forever(), log))
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        gc.collect()
        assert "completed" not in log

    async def test_cancel_during_inner_sleep_runs_cleanup(self, impl):
        log = []
        task = asyncio.create_task(impl.guarded(asyncio.sleep(10), log))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert log == ["caught CancelledError", "destroyed"]

    async def test_cancellation_can_be_absorbed(self, impl):
        task = asyncio.create_task(impl.absorb_cancel(asyncio.sleep(10)))
        await asyncio.sleep(0.01)
        task.cancel()
        assert await task == "absorbed"

    def test_throw_forms(self, impl):
        for args in [(ValueError,), (ValueError, "v"), (ValueError("i"),),
                     (ValueError, ValueError("j"), None)]:
            coro = impl.catch_from(python_sleep_return(1))
            coro.send(None)
            with pytest.raises(StopIteration) as info:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    coro.throw(*args)
            assert info.value.value[:2] == ("caught", "ValueError")

    def test_throw_into_unstarted_coroutine_ends_it(self, impl):
        log = []
        coro = impl.guarded(Forever(), log)
        with pytest.raises(KeyError):
            coro.throw(KeyError("x"))
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)
        assert "completed" not in log


class TestClose:
    def test_close_of_suspended_coroutine_runs_destructors(self, impl):
        log = []
        coro = impl.guarded(Forever(), log)
        coro.send(None)
        coro.close()
        assert log == ["caught GeneratorExit", "destroyed"]
        coro.close()  # a second close does nothing

    def test_close_closes_the_delegate_first(self, impl):
        inner_log = []

        async def inner():
            try:
                await Forever()
            finally:
                inner_log.append("inner closed")

        coro = impl.await_one(inner())
        coro.send(None)
        coro.close()
        assert inner_log == ["inner closed"]

    def test_suspension_after_generator_exit_is_an_error(self, impl):
        coro = impl.ignore_exit(Forever(), Forever())
        coro.send(None)
        with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
            coro.close()

    def test_dropping_a_suspended_coroutine_closes_it(self, impl):
        log = []
        coro = impl.guarded(Forever(), log)
        coro.send(None)
        del coro
        gc.collect()
        assert log == ["caught GeneratorExit", "destroyed"]

    def test_stop_iteration_escaping_the_cleanup_becomes_runtime_error(self, impl):
        coro = impl.stop_on_exit(Forever())
        coro.send(None)
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
            coro.close()

    def test_never_awaited_warns(self, impl):
        with pytest.warns(RuntimeWarning, match="was never awaited"):
            impl.returns(1)
            gc.collect()


class TestProtocol:
    def test_identity_and_repr(self, impl):
        coro = impl.returns(1)
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert "returns" in repr(coro) and coro.__name__ == "returns"
        assert coro.cr_running is False
        coro.close()

    def test_qualified_name(self):
        coro = coroutine_probe.returns_nothing(Forever())
        assert coro.__qualname__ == "Probe.returns_nothing"
        assert coro.__name__ == "returns_nothing"
        assert repr(coro).startswith("<coroutine object Probe.returns_nothing at 0x")
        coro.close()

    def test_refusals(self, impl):
        coro = impl.returns(1)
        with pytest.raises(TypeError,
                           match="can't send non-None value to a just-started coroutine"):
            coro.send(5)
        with pytest.raises(StopIteration):
            coro.send(None)
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)

    def test_stop_iteration_inside_becomes_runtime_error(self, impl):
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
            asyncio.run(impl.leak_stop_iteration())

    def test_cpp_exception_becomes_runtime_error(self):
        with pytest.raises(RuntimeError, match="native failure"):
            asyncio.run(coroutine_probe.cpp_throw("native failure"))

    async def test_awaiting_a_coroutine_twice_is_refused(self, impl):
        coro = impl.await_one(asyncio.sleep(0.05))
        first = asyncio.create_task(impl.await_one(coro))
        await asyncio.sleep(0.001)
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            await coro
        await first

    def test_iterator_doors(self, impl):
        """`yield from`-style drivers use __await__().__next__ and .send with None."""

        class Once:
            def __await__(self):
                yield "once"
                return 7

        coro = impl.await_one(Once())
        wrapper = coro.__await__()
        assert iter(wrapper) is wrapper
        assert next(wrapper) == "once"
        with pytest.raises(StopIteration) as info:
            next(wrapper)
        assert info.value.value == 7


class TestAsyncGenerators:
    async def collect(self, agen):
        return [item async for item in agen]

    async def test_iteration_and_yielded_tuples(self, impl):
        assert await self.collect(impl.count_up(4, lambda: asyncio.sleep(0))) == [0, 1, 2, 3]
        assert await self.collect(impl.pairs(["a", ("b", 1)])) == [("item", "a"),
                                                                   ("item", ("b", 1))]
        assert isinstance(impl.pairs([]), collections.abc.AsyncGenerator)

    async def test_asend_athrow_and_exhaustion(self, impl):
        agen = impl.echo()
        assert await agen.asend(None) is None
        assert await agen.asend("x") == "x"
        assert await agen.asend((1, 2)) == (1, 2)
        with pytest.raises(ValueError, match="thrown"):
            await agen.athrow(ValueError("thrown"))
        with pytest.raises(StopAsyncIteration):
            await agen.__anext__()
        assert await agen.aclose() is None

    async def test_aclose_mid_iteration_runs_cleanup(self, impl):
        log = []
        agen = impl.guarded_generator(log)
        assert await agen.__anext__() == 0
        await agen.aclose()
        assert log == ["caught GeneratorExit", "destroyed"]
        with pytest.raises(StopAsyncIteration):
            await agen.__anext__()

    async def test_cleanup_may_await(self, impl):
        log = []
        agen = impl.cleanup_awaits(asyncio.sleep(0.001), log)
        assert await agen.__anext__() == 1
        await agen.aclose()
        assert log == ["caught GeneratorExit", "cleaned"]

    async def test_errors_and_pep479(self, impl):
        agen = impl.raise_after(KeyError)
        assert await agen.__anext__() == 1
        with pytest.raises(KeyError):
            await agen.__anext__()
        agen = impl.raise_after(StopAsyncIteration)
        await agen.__anext__()
        with pytest.raises(RuntimeError, match="async generator raised StopAsyncIteration"):
            await agen.__anext__()

    async def test_concurrent_anext_is_refused(self, impl):
        agen = impl.count_up(3, lambda: asyncio.sleep(0.01))
        first = asyncio.ensure_future(agen.__anext__())
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="already running"):
            await agen.__anext__()
        assert await first == 0
        await agen.aclose()

    def test_event_loop_finalizes_unfinished_generators(self, impl):
        log = []

        async def main():
            agen = impl.guarded_generator(log)
            await agen.__anext__()
            main.keep = agen  # still referenced when the loop shuts down

        asyncio.run(main())
        assert log[0] == "caught GeneratorExit"
        del main.keep
        gc.collect()
        assert log == ["caught GeneratorExit", "destroyed"]


def run(awaitable):
    """Drives an awaitable that needs no event loop to its end."""
    while True:
        try:
            awaitable.send(None)
        except StopIteration as stop:
            return stop.value


class TestFinishedAndDroppedObjects:
    async def test_throw_into_a_step_of_an_ended_generator_raises_what_was_thrown(self, impl):
        agen = impl.count_up(1, None)
        assert [x async for x in agen] == [0]
        with pytest.raises(ValueError):
            agen.asend(None).throw(ValueError())
        with pytest.raises(StopAsyncIteration):
            await agen.__anext__()

    def test_a_step_collected_half_way_frees_the_generator_as_a_dropped_one_does(self, impl):
        def next_after_drop(in_cycle):
            agen = impl.count_up(3, lambda: asyncio.sleep(0))
            assert run(agen.__anext__()) == 0
            box = {}
            step = agen.asend(box)
            if in_cycle:
                box["step"] = step  # the collector, not the last reference, ends the step
            assert step.send(None) is None  # suspended in the sleep between two values
            del step, box
            gc.collect()
            try:
                return run(agen.__anext__())
            except RuntimeError as error:
                return str(error)

        assert next_after_drop(in_cycle=True) == next_after_drop(in_cycle=False)

    def test_a_cycle_through_the_arguments_is_collected(self, impl):
        awaitable = Forever()
        awaitable.coro = impl.await_one(awaitable)  # the coroutine holds what holds it
        awaitable.coro.send(None)
        collected = weakref.ref(awaitable.coro)
        del awaitable
        gc.collect()
        assert collected() is None

    def test_a_coroutine_kept_by_its_never_awaited_warning_stays_tracked(self, impl):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            impl.returns(1)
            gc.collect()
        coro = caught[0].source
        assert gc.is_tracked(coro)
        coro.close()

    def test_a_generator_kept_by_the_loop_finalizer_stays_tracked_and_closes(self, impl):
        log, kept = [], []
        hooks = sys.get_asyncgen_hooks()
        sys.set_asyncgen_hooks(firstiter=None, finalizer=kept.append)
        try:
            agen = impl.guarded_generator(log)
            assert run(agen.__anext__()) == 0
            del agen
        finally:
            sys.set_asyncgen_hooks(*hooks)
        assert gc.is_tracked(kept[0])
        assert run(kept[0].aclose()) is None
        del kept[:]
        gc.collect()
        assert log == ["caught GeneratorExit", "destroyed"]


def test_text_shows_a_float_as_python_does():
    for seconds in [0.5, 2.0, 1e-07, 1e22, -0.0, float("inf")]:
        assert coroutine_probe.within(seconds) == reference.within(seconds)


def test_a_failed_type_creation_is_reported_again_on_the_next_import():
    script = """
import collections.abc as abc
registered, refusals = [], ["coroutine"]
def recording(base):
    register = base.register
    def record(cls):
        if cls.__name__ in refusals:
            refusals.remove(cls.__name__)
            raise RuntimeError("refused")
        registered.append(cls.__name__)
        return register(cls)
    return record
abc.Coroutine.register = recording(abc.Coroutine)
abc.AsyncGenerator.register = recording(abc.AsyncGenerator)
try:
    import coroutine_probe
except Exception:
    print("first import failed")
import coroutine_probe
print(*registered)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.splitlines() == ["first import failed", "coroutine async_generator"]


class TestLeaks:
    def test_ten_thousand_awaits_leave_nothing_behind(self, impl):
        async def run(count):
            loop = asyncio.get_running_loop()

            def factory():
                future = loop.create_future()
                loop.call_soon(future.set_result, None)
                return future

            return await impl.await_many(factory, count)

        asyncio.run(run(1000))  # warm caches
        gc.collect()
        before = sys.getallocatedblocks()
        assert asyncio.run(run(10_000)) == 10_000
        gc.collect()
        assert sys.getallocatedblocks() - before < 500

    def test_coroutines_and_generators_are_freed(self, impl):
        async def main():
            refs = []
            for i in range(1000):
                coro = impl.await_one(asyncio.sleep(0, i))
                refs.append(weakref.ref(coro))
                await coro
                agen = impl.count_up(2, None)
                refs.append(weakref.ref(agen))
                assert [x async for x in agen] == [0, 1]
                del coro, agen
            return refs

        refs = asyncio.run(main())
        assert all(r() is None for r in refs)


@pytest.mark.skipif(not coroutine_probe.CHECKS_ENABLED,
                    reason="the core's checks are compiled in the sanitizer and debug builds")
def test_a_broken_precondition_stops_the_process_naming_it():
    script = "import coroutine_probe; coroutine_probe.step_without_error()"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode != 0
    assert ("core check failed: step_from_call: a failed call left no error "
            "(call_result || PyErr_Occurred())") in result.stderr
