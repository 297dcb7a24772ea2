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

class [[nodiscard]] AsyncGenerator {
public:
    struct promise_type : detail::PromiseBase {
        AsyncGenerator get_return_object() noexcept {
            return AsyncGenerator(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        template <class T> detail::YieldAwaiter yield_value(T &&value) {
            return detail::YieldAwaiter(nb::cast(std::forward<T>(value)));
        }
        void return_void() {}
    };

    AsyncGenerator(AsyncGenerator &&other) noexcept : m_frame(std::exchange(other.m_frame, {})) {}
    AsyncGenerator &operator=(AsyncGenerator &&) = delete;
    ~AsyncGenerator() {
        if (m_frame)
            m_frame.destroy();
    }

    // The Python asynchronous generator running this frame.
    nb::object into_python(const char *qualname = "async_generator") && {
        auto frame = std::exchange(m_frame, {});
        return detail::make_async_generator(frame, &frame.promise(), qualname);
    }

private:
    explicit AsyncGenerator(std::coroutine_handle<promise_type> frame) : m_frame(frame) {}
    std::coroutine_handle<promise_type> m_frame;
};

// Creates the async generator types and registers them with collections.abc.AsyncGenerator.
bool init_async_generator_types();

} // namespace core
