// Probes of the coroutine bridge: tiny C++ coroutines and async generators whose behaviour the
// tests compare with the same functions written in Python (tests/core/reference.py).
#include "core/async_generator.hpp"
#include "core/async_iterator.hpp"
#include "core/bridge.hpp"
#include "core/errors.hpp"
#include "core/frame.hpp"
#include "core/task.hpp"
#include "core/text.hpp"

#include <nanobind/stl/string.h>

#include <stdexcept>
#include <string>

namespace nb = nanobind;
using core::AsyncGenerator;
using core::Task;

namespace {

// Appends `what` to a Python list when destroyed: shows that a frame's cleanup ran.
struct Recorder {
    nb::list log;
    const char *what;
    ~Recorder() {
        PyObject *text = PyUnicode_FromString(what);
        if (!text || PyList_Append(log.ptr(), text) < 0)
            PyErr_Clear();
        Py_XDECREF(text);
    }
};

nb::object type_name(const nb::python_error &e) { return e.type().attr("__name__"); }

Task<nb::object> returns(nb::object value) { co_return value; }

Task<nb::object> await_one(nb::object awaitable) {
    nb::object result = co_await awaitable;
    co_return result;
}

Task<nb::object> await_each(nb::list awaitables) {
    nb::list results;
    for (nb::handle awaitable : awaitables)
        results.append(co_await awaitable);
    co_return results;
}

Task<nb::object> raises(nb::object type, nb::object message) {
    core::raise(type.ptr(), message);
    co_return nb::none();
}

Task<nb::object> cpp_throw(std::string message) {
    throw std::runtime_error(message);
    co_return nb::none();
}

Task<nb::object> catch_from(nb::object awaitable) {
    try {
        co_await awaitable;
    } catch (nb::python_error &e) {
        co_return nb::make_tuple("caught", type_name(e), nb::str(core::exception_of(e)));
    }
    co_return nb::str("no error");
}

Task<nb::object> guarded(nb::object awaitable, nb::list log) {
    Recorder recorder{log, "destroyed"};
    try {
        nb::object value = co_await awaitable;
        log.append("completed");
        co_return value;
    } catch (nb::python_error &e) {
        log.append(nb::str("caught ") + nb::str(type_name(e)));
        throw;
    }
}

Task<nb::object> absorb_cancel(nb::object awaitable) {
    try {
        co_await awaitable;
    } catch (nb::python_error &e) {
        if (!e.matches(nb::module_::import_("asyncio").attr("CancelledError")))
            throw;
        co_return nb::str("absorbed");
    }
    co_return nb::str("finished");
}

Task<nb::object> ignore_exit(nb::object first, nb::object second) {
    try {
        co_await first;
    } catch (nb::python_error &) {
    }
    co_await second;
    co_return nb::none();
}

Task<nb::object> nested(int depth) {
    if (depth == 0) {
        co_await nb::module_::import_("asyncio").attr("sleep")(0);
        co_return nb::int_(0);
    }
    nb::object below = co_await nested(depth - 1);
    co_return nb::int_(nb::cast<int>(below) + 1);
}

Task<nb::object> leak_stop_iteration() {
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
    co_return nb::none();
}

Task<nb::object> stop_on_exit(nb::object awaitable) {
    try {
        co_await awaitable;
    } catch (nb::python_error &) {
        PyErr_SetNone(PyExc_StopIteration);
        throw nb::python_error();
    }
    co_return nb::none();
}

Task<nb::object> await_many(nb::object factory, int count) {
    for (int i = 0; i < count; ++i)
        co_await factory();
    co_return nb::int_(count);
}

Task<nb::object> sum_async(nb::object iterable) {
    core::AsyncIterator items(iterable);
    long total = 0;
    while (std::optional<nb::object> item = co_await items.next())
        total += nb::cast<long>(*item);
    co_return nb::int_(total);
}

Task<> returns_nothing(nb::object awaitable) { co_await awaitable; }

AsyncGenerator count_up(int count, nb::object between) {
    for (int i = 0; i < count; ++i) {
        if (!between.is_none())
            co_await between();
        co_yield nb::int_(i);
    }
}

AsyncGenerator pairs(nb::list items) {
    for (nb::handle item : items)
        co_yield nb::make_tuple("item", item);
}

AsyncGenerator echo() {
    nb::object received = nb::none();
    while (true)
        received = co_yield received;
}

AsyncGenerator guarded_generator(nb::list log) {
    Recorder recorder{log, "destroyed"};
    try {
        for (int i = 0; i < 3; ++i)
            co_yield nb::int_(i);
    } catch (nb::python_error &e) {
        log.append(nb::str("caught ") + nb::str(type_name(e)));
        throw;
    }
}

AsyncGenerator cleanup_awaits(nb::object awaitable, nb::list log) {
    try {
        co_yield nb::int_(1);
        co_yield nb::int_(2);
    } catch (nb::python_error &e) {
        log.append(nb::str("caught ") + nb::str(type_name(e)));
    }
    co_await awaitable;
    log.append("cleaned");
}

AsyncGenerator raise_after(nb::object type) {
    co_yield nb::int_(1);
    core::raise(type.ptr(), "from the generator");
}

} // namespace

NB_MODULE(coroutine_probe, m) {
    // Whether CORE_CHECK is compiled in, and a call that breaks one of the core's preconditions
    // (a failed step that left no error), for the test that the check catches it.
    m.attr("CHECKS_ENABLED") = bool(CORE_CHECKS_ENABLED);
    m.def("step_without_error", [] {
        PyObject *result = nullptr;
        core::detail::step_from_call(nullptr, &result);
    });
    core::init_bridge();
    m.def(
        "returns", [](nb::object v) { return returns(v).into_python("returns"); },
        nb::arg("value").none());
    m.def("await_one", [](nb::object a) { return await_one(a).into_python("await_one"); });
    m.def("await_each", [](nb::list a) { return await_each(a).into_python("await_each"); });
    m.def("raises",
          [](nb::object t, nb::object msg) { return raises(t, msg).into_python("raises"); });
    m.def("cpp_throw", [](std::string msg) { return cpp_throw(msg).into_python("cpp_throw"); });
    m.def("catch_from", [](nb::object a) { return catch_from(a).into_python("catch_from"); });
    m.def("guarded",
          [](nb::object a, nb::list log) { return guarded(a, log).into_python("guarded"); });
    m.def("absorb_cancel",
          [](nb::object a) { return absorb_cancel(a).into_python("absorb_cancel"); });
    m.def("ignore_exit",
          [](nb::object a, nb::object b) { return ignore_exit(a, b).into_python("ignore_exit"); });
    m.def("nested", [](int depth) { return nested(depth).into_python("nested"); });
    m.def("leak_stop_iteration",
          []() { return leak_stop_iteration().into_python("leak_stop_iteration"); });
    m.def("stop_on_exit", [](nb::object a) { return stop_on_exit(a).into_python("stop_on_exit"); });
    m.def("within", [](double seconds) { return core::text("within ", seconds, " s"); });
    m.def("await_many",
          [](nb::object f, int n) { return await_many(f, n).into_python("await_many"); });
    m.def("sum_async", [](nb::object it) { return sum_async(it).into_python("sum_async"); });
    m.def("returns_nothing",
          [](nb::object a) { return returns_nothing(a).into_python("Probe.returns_nothing"); });
    m.def(
        "count_up",
        [](int n, nb::object between) { return count_up(n, between).into_python("count_up"); },
        nb::arg("count"), nb::arg("between").none());
    m.def("pairs", [](nb::list items) { return pairs(items).into_python("pairs"); });
    m.def("echo", []() { return echo().into_python("echo"); });
    m.def("guarded_generator",
          [](nb::list log) { return guarded_generator(log).into_python("guarded_generator"); });
    m.def("cleanup_awaits", [](nb::object a, nb::list log) {
        return cleanup_awaits(a, log).into_python("cleanup_awaits");
    });
    m.def("raise_after", [](nb::object t) { return raise_after(t).into_python("raise_after"); });
}
