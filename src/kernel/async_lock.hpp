// Holding an asyncio.Lock across co_awaits, released on every way out of the scope.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// Constructed after `co_await lock.acquire()` succeeded; releases in its destructor, including
// when the frame unwinds from an exception or is closed. GIL held (frames run with it).
class AsyncLockHold {
public:
    explicit AsyncLockHold(nb::object lock) : m_lock(std::move(lock)) {}
    AsyncLockHold(const AsyncLockHold &) = delete;
    ~AsyncLockHold();

private:
    nb::object m_lock;
};

} // namespace kernel
