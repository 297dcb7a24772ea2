// C++20 coroutines that Python sees as coroutine objects, and `co_await` of Python awaitables.
//
// A function returning core::Task<T> is a C++ coroutine; Task::into_python() hands its frame to
// a Python coroutine object, which asyncio drives like any `async def` coroutine. Inside the
// frame, `co_await` accepts any Python awaitable with the semantics of `yield from`: what the
// awaitable yields goes up to the event loop unchanged, sent values and thrown exceptions go down
// to it, its return value is the value of the co_await, and its exception is thrown there as
// nb::python_error. Frames run only while the GIL is held.
//
// Compiler caveat (g++ 12): a lambda expression written inside a co_await expression is
// destroyed twice, so its captured objects are released twice. Bind the lambda to a local
// first: `auto work = [...] {...}; co_await run(work);`.
#pragma once

#include "core/py_compat.hpp"

#include <nanobind/nanobind.h>

#include <concepts>
#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace core {
namespace nb = nanobind;

template <class T> class Task;

namespace detail {

// A point where a suspended frame waits; the driver resumes it with a value or an exception.
struct Resumption {
    nb::object value;
    std::optional<nb::python_error> error;

    // The raised Python error becomes what this point throws.
    void take_error() { error.emplace(); }
    nb::object result();
};

struct PromiseBase;

} // namespace detail

// `co_await awaitable`: steps the awaitable once right away, as `yield from` does, and suspends
// the frame only when the awaitable hands out a value for the event loop.
class PyAwaiter : public detail::Resumption {
public:
    explicit PyAwaiter(nb::handle awaitable) : m_awaitable(nb::borrow(awaitable)) {}

    bool await_ready();
    template <class Promise> void await_suspend(std::coroutine_handle<Promise> frame) noexcept;
    nb::object await_resume() { return result(); }

private:
    nb::object m_awaitable;
    nb::object m_iter;    // the iterator delegated to while suspended
    nb::object m_yielded; // its first yielded value, handed up at suspension
};

namespace detail {

struct PromiseBase {
    Resumption *m_waiting = nullptr; // where the frame is suspended; null before the first step
    nb::object m_inner;              // the iterator delegated to, while suspended in a co_await
    nb::object m_outgoing;           // handed up at the suspension (yielded by m_inner, or emitted)
    bool m_emitted = false;          // m_outgoing came from co_yield (async generators)
    nb::object m_result;             // the co_return value
    std::exception_ptr m_exception;  // what escaped the body

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { m_exception = std::current_exception(); }

    PyAwaiter await_transform(nb::handle awaitable) { return PyAwaiter(awaitable); }
    template <class A>
        requires std::derived_from<std::remove_cvref_t<A>, PyAwaiter>
    A &&await_transform(A &&awaiter) {
        return std::forward<A>(awaiter);
    }
    template <class T> auto await_transform(Task<T> &&task);
};

template <class T> struct ReturnOf : PromiseBase {
    void return_value(T value) { m_result = nb::cast(std::move(value)); }
};
template <> struct ReturnOf<void> : PromiseBase {
    void return_void() { m_result = nb::none(); }
};

// Wraps a frame into a new Python coroutine object that owns it (see coroutine_object.hpp).
nb::object make_coroutine(std::coroutine_handle<> frame, PromiseBase *promise,
                          const char *qualname);

} // namespace detail

// The return type of asynchronous C++ functions. Owns its frame until into_python().
template <class T = void> class [[nodiscard]] Task {
public:
    struct promise_type : detail::ReturnOf<T> {
        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
    };

    Task(Task &&other) noexcept : m_frame(std::exchange(other.m_frame, {})) {}
    Task &operator=(Task &&) = delete;
    ~Task() {
        if (m_frame)
            m_frame.destroy();
    }

    // The Python coroutine object running this frame; its repr and __qualname__ show `qualname`.
    nb::object into_python(const char *qualname = "coroutine") && {
        auto frame = std::exchange(m_frame, {});
        return detail::make_coroutine(frame, &frame.promise(), qualname);
    }

private:
    explicit Task(std::coroutine_handle<promise_type> frame) : m_frame(frame) {}
    std::coroutine_handle<promise_type> m_frame;
};

template <class Promise>
void PyAwaiter::await_suspend(std::coroutine_handle<Promise> frame) noexcept {
    detail::PromiseBase &promise = frame.promise();
    promise.m_waiting = this;
    promise.m_inner = std::move(m_iter);
    promise.m_outgoing = std::move(m_yielded);
    promise.m_emitted = false;
}

// co_await of a C++ Task evaluates to its C++ result type (void, nb::object, or what nb::cast
// gives), so that `co_await check()` of a Task<bool> is a bool, not a (always valid) handle.
template <class T> class TaskAwaiter : public PyAwaiter {
public:
    using PyAwaiter::PyAwaiter;
    T await_resume() {
        nb::object value = PyAwaiter::await_resume();
        if constexpr (std::is_void_v<T>)
            return;
        else if constexpr (std::is_same_v<T, nb::object>)
            return value;
        else
            return nb::cast<T>(value);
    }
};

template <class T> auto detail::PromiseBase::await_transform(Task<T> &&task) {
    return TaskAwaiter<T>(std::move(task).into_python());
}

} // namespace core
