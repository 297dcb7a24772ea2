// C++20 coroutines that Python sees as asynchronous generators: `co_yield` hands a value to the
// `async for` of the caller, `co_await` accepts any Python awaitable as in core::Task.
#pragma once

#include "core/task.hpp"

namespace core {

namespace detail {

// The suspension of a co_yield: the frame waits until the next __anext__/asend/athrow.
class YieldAwaiter : public Resumption {
public:
    explicit YieldAwaiter(nb::object emitted) : m_emitted(std::move(emitted)) {}
    bool await_ready() const noexcept { return false; }
    template <class Promise> void await_suspend(std::coroutine_handle<Promise> frame) noexcept {
        PromiseBase &promise = frame.promise();
        promise.m_waiting = this;
        promise.m_outgoing = std::move(m_emitted);
        promise.m_emitted = true;
    }
    // The value sent by asend(), None for __anext__(); athrow() throws here.
    nb::object await_resume() { return result(); }

private:
    nb::object m_emitted;
};

nb::object make_async_generator(std::coroutine_handle<> frame, PromiseBase *promise,
                                const char *qualname);

} // namespace detail

// The return type of C++ async generators. Owns its frame until into_python().
class [[nodiscard]] AsyncGenerator : detail::FrameOwner {
public:
    // The part of the promise that co_yield and the end of the body need.
    struct Promise : detail::PromiseBase {
        template <class T> detail::YieldAwaiter yield_value(T &&value) {
            return detail::YieldAwaiter(nb::cast(std::forward<T>(value)));
        }
        void return_void() {}
    };

    // The Python asynchronous generator running this frame.
    nb::object into_python(const char *qualname = "async_generator") && {
        return detail::make_async_generator(release(), m_promise, qualname);
    }

private:
    template <class, class, class...> friend struct detail::Promise;
    AsyncGenerator(std::coroutine_handle<> frame, detail::PromiseBase *promise)
        : FrameOwner(frame, promise) {}
};

} // namespace core

// Every async generator frame gets the promise that knows its parameters (see detail::Promise).
template <class... Params> struct std::coroutine_traits<core::AsyncGenerator, Params...> {
    using promise_type =
        core::detail::Promise<core::AsyncGenerator::Promise, core::AsyncGenerator, Params...>;
};
