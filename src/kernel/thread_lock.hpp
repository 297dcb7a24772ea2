// Holding a threading.Lock for a scope (the pending host-request tables' guard).
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Acquires in the constructor (threading.Lock.acquire releases the GIL while it waits) and
// releases in the destructor. Critical sections are a few dictionary operations.
class ThreadLockHold {
public:
    explicit ThreadLockHold(nb::object lock) : m_lock(std::move(lock)) { m_lock.attr("acquire")(); }
    ThreadLockHold(const ThreadLockHold &) = delete;
    ~ThreadLockHold() {
        PyObject *result = PyObject_CallMethod(m_lock.ptr(), "release", nullptr);
        if (result)
            Py_DECREF(result);
        else
            PyErr_WriteUnraisable(m_lock.ptr());
    }

private:
    nb::object m_lock;
};

} // namespace kernel
