// `async for` inside a C++ coroutine:
//
//     core::AsyncIterator frames(websocket);
//     while (std::optional<nb::object> frame = co_await frames.next()) { ... }
#pragma once

#include "core/task.hpp"

#include <optional>

namespace core {

// co_await of one __anext__(): the item, or nullopt when the iteration ends (StopAsyncIteration).
class NextAwaiter : public PyAwaiter {
public:
    using PyAwaiter::PyAwaiter;
    std::optional<nb::object> await_resume();
};

class AsyncIterator {
public:
    // Calls iterable.__aiter__(); raises TypeError when it has none.
    explicit AsyncIterator(nb::handle iterable);
    // The awaiter of iterator.__anext__().
    NextAwaiter next();

private:
    nb::object m_iterator;
};

} // namespace core
