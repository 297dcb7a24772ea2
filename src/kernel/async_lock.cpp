// Release of a held asyncio.Lock at scope exit.
#include "kernel/async_lock.hpp"

#include "core/interned.hpp"

namespace kernel {

AsyncLockHold::~AsyncLockHold() {
    PyObject *saved_type, *saved_value, *saved_traceback;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
    PyObject *result = PyObject_CallMethodNoArgs(m_lock.ptr(), INTERNED("release").ptr());
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(m_lock.ptr());
    PyErr_Restore(saved_type, saved_value, saved_traceback);
}

} // namespace kernel
