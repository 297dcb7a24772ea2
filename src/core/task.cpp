// The first step of a co_await, taken before the frame decides whether to suspend.
#include "core/task.hpp"

#include "core/iter_protocol.hpp"

namespace core {

nb::object detail::Resumption::result() {
    if (error) {
        nb::python_error raised = std::move(*error);
        error.reset();
        throw raised;
    }
    return std::move(value);
}

bool PyAwaiter::await_ready() {
    PyObject *iter = detail::awaitable_iter(m_awaitable.ptr());
    m_awaitable.reset();
    if (!iter) {
        take_error();
        return true;
    }
    PyObject *step_result = nullptr;
    switch (detail::send_into(iter, Py_None, &step_result)) {
    case detail::Step::Next:
        m_iter = nb::steal(iter);
        m_yielded = nb::steal(step_result);
        return false;
    case detail::Step::Return:
        Py_DECREF(iter);
        value = nb::steal(step_result);
        return true;
    case detail::Step::Error:
    default:
        Py_DECREF(iter);
        take_error();
        return true;
    }
}

} // namespace core
