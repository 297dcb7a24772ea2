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

#include "core/objects.hpp"

#include <nanobind/nanobind.h>

#include <array>
#include <concepts>
#include <coroutine>
#include <cstddef>
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
    // The frame's own copies of its by-value Python object parameters, for tp_traverse.
    const nb::object *const *m_parameters = nullptr;
    size_t m_parameter_count = 0;

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

// A parameter the frame owns a Python reference through: an nb::object (or nb::str, nb::list,
// ...) taken by value. References and plain handles own nothing.
template <class P>
inline constexpr bool OWNS_OBJECT = !std::is_reference_v<P> && std::derived_from<P, nb::object>;

// The promise of a frame whose parameters are `Params` (for a member function, the object
// first). The compiler hands the constructor the frame's own copies of the parameters; those
// that hold Python objects are recorded, so that the Python object owning the frame can show
// them to the garbage collector: a cycle through a coroutine's arguments (a method's coroutine
// holding `self`, `self` holding its task) is then collected like one through an `async def`.
//
// What the collector still cannot see: the frame's locals and temporaries, parameters of other
// types (C++ objects or structs that hold Python objects, the object of a member coroutine), and
// what lambdas run by the frame capture. A cycle through those is broken only when the frame
// finishes or is closed; keep Python objects that may point back at their owner in parameters.
template <class Base, class Result, class... Params> struct Promise : Base {
    static constexpr size_t OBJECT_COUNT = (size_t(0) + ... + size_t(OWNS_OBJECT<Params>));

    explicit Promise(std::remove_reference_t<Params> &...params) {
        [[maybe_unused]] size_t next = 0;
        (record<Params>(params, next), ...);
        this->m_parameters = m_objects.data();
        this->m_parameter_count = OBJECT_COUNT;
    }

    Result get_return_object() noexcept {
        return Result(std::coroutine_handle<Promise>::from_promise(*this), this);
    }

private:
    template <class P> void record(const std::remove_reference_t<P> &param, size_t &next) {
        if constexpr (OWNS_OBJECT<P>)
            m_objects[next++] = &param;
    }

    std::array<const nb::object *, OBJECT_COUNT> m_objects{};
};

// Wraps a frame into a new Python coroutine object that owns it.
nb::object make_coroutine(std::coroutine_handle<> frame, PromiseBase *promise,
                          const char *qualname);

} // namespace detail

namespace detail {

// Owns a frame until into_python() hands it to a Python object; destroys it otherwise.
class FrameOwner {
public:
    FrameOwner(FrameOwner &&other) noexcept
        : m_frame(std::exchange(other.m_frame, {})), m_promise(other.m_promise) {}
    FrameOwner &operator=(FrameOwner &&) = delete;
    ~FrameOwner() {
        if (m_frame)
            m_frame.destroy();
    }

protected:
    FrameOwner(std::coroutine_handle<> frame, PromiseBase *promise)
        : m_frame(frame), m_promise(promise) {}
    std::coroutine_handle<> release() { return std::exchange(m_frame, {}); }

    std::coroutine_handle<> m_frame;
    PromiseBase *m_promise;
};

} // namespace detail

// The return type of asynchronous C++ functions. Owns its frame until into_python().
template <class T = void> class [[nodiscard]] Task : detail::FrameOwner {
public:
    // The Python coroutine object running this frame; its repr and __qualname__ show `qualname`.
    nb::object into_python(const char *qualname = "coroutine") && {
        return detail::make_coroutine(release(), m_promise, qualname);
    }

private:
    template <class, class, class...> friend struct detail::Promise;
    Task(std::coroutine_handle<> frame, detail::PromiseBase *promise)
        : FrameOwner(frame, promise) {}
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

// Every frame returning a Task gets the promise that knows its parameters (see detail::Promise).
template <class T, class... Params> struct std::coroutine_traits<core::Task<T>, Params...> {
    using promise_type = core::detail::Promise<core::detail::ReturnOf<T>, core::Task<T>, Params...>;
};

namespace core {

// Binding C++ coroutine functions as methods that return Python coroutines.
// A callable for nb::class_::def: `Function(self, args...)` runs as a coroutine named `qualname`
// ("Class.method"). The instance is passed as the Python object, so the coroutine reaches the
// other methods and fields through its attributes, as Python code would.
template <auto Function, class... Args> auto coroutine_method(const char *qualname) {
    return [qualname](nb::handle self, Args... args) {
        return Function(nb::borrow(self), std::move(args)...).into_python(qualname);
    };
}

} // namespace core
