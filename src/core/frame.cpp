// Stepping a C++ coroutine frame with the semantics CPython gives `yield from`.
#include "core/frame.hpp"

#include "core/errors.hpp"
#include "core/iter_protocol.hpp"

namespace core::detail {

namespace {
// Marks the frame as running for the duration of a step (re-entrant sends are refused by the
// Python objects before they get here).
struct RunningScope {
    bool &flag;
    explicit RunningScope(bool &f) : flag(f) { flag = true; }
    ~RunningScope() { flag = false; }
};
} // namespace

void Frame::destroy() {
    if (!m_handle)
        return;
    PyObject *saved = fetch_exception();
    std::coroutine_handle<> handle = std::exchange(m_handle, {});
    handle.destroy();
    if (saved)
        restore_exception(saved);
}

int Frame::traverse(visitproc visit, void *arg) const {
    if (!m_handle)
        return 0;
    Py_VISIT(m_promise->m_inner.ptr());
    Py_VISIT(m_promise->m_outgoing.ptr());
    Py_VISIT(m_promise->m_result.ptr());
    return 0;
}

Outcome Frame::resume(PyObject **out) {
    m_started = true;
    m_handle.resume();
    PromiseBase &promise = *m_promise;
    if (m_handle.done()) {
        std::exception_ptr error = std::exchange(promise.m_exception, {});
        nb::object result = std::move(promise.m_result);
        destroy();
        if (error) {
            restore_as_python_error(error);
            return Outcome::Raise;
        }
        *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
        return Outcome::Return;
    }
    *out = promise.m_outgoing.release().ptr();
    if (promise.m_emitted) {
        promise.m_emitted = false;
        return Outcome::Emit;
    }
    return Outcome::Yield;
}

Outcome Frame::after_delegate_step(Step step, PyObject *result, PyObject **out) {
    if (step == Step::Next) {
        *out = result;
        return Outcome::Yield;
    }
    // The delegate finished: its value or error is what the frame's co_await evaluates to.
    PromiseBase &promise = *m_promise;
    promise.m_inner.reset();
    if (step == Step::Return)
        promise.m_waiting->value = nb::steal(result);
    else
        promise.m_waiting->take_error();
    return resume(out);
}

Outcome Frame::send(PyObject *value, PyObject **out) {
    RunningScope running(m_running);
    PromiseBase &promise = *m_promise;
    if (promise.m_inner.is_valid()) {
        PyObject *result = nullptr;
        Step step = send_into(promise.m_inner.ptr(), value, &result);
        return after_delegate_step(step, result, out);
    }
    if (promise.m_waiting)
        promise.m_waiting->value = nb::borrow(value);
    return resume(out);
}

Outcome Frame::throw_into_delegate(PyObject **out) {
    PromiseBase &promise = *m_promise;
    PyObject *inner = promise.m_inner.ptr();
    PyObject *exception = fetch_exception();
    if (PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit)) {
        // Close the delegate first; a failure of its close replaces the GeneratorExit.
        PyObject *close = PyObject_GetAttrString(inner, "close");
        if (!close) {
            PyErr_Clear();
            restore_exception(exception);
        } else {
            PyObject *closed = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (closed) {
                Py_DECREF(closed);
                restore_exception(exception);
            } else {
                Py_DECREF(exception);
            }
        }
        promise.m_inner.reset();
        promise.m_waiting->take_error();
        return resume(out);
    }
    PyObject *method = PyObject_GetAttrString(inner, "throw");
    if (!method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            restore_exception(exception);
        } else {
            Py_DECREF(exception);
        }
        promise.m_inner.reset();
        promise.m_waiting->take_error();
        return resume(out);
    }
    PyObject *call_result = PyObject_CallOneArg(method, exception);
    Py_DECREF(method);
    Py_DECREF(exception);
    PyObject *result = nullptr;
    Step step = step_from_call(call_result, &result);
    return after_delegate_step(step, result, out);
}

Outcome Frame::throw_current(PyObject **out) {
    if (!m_started) {
        // Nothing of the body ran: the exception simply ends the frame.
        destroy();
        return Outcome::Raise;
    }
    RunningScope running(m_running);
    if (m_promise->m_inner.is_valid())
        return throw_into_delegate(out);
    m_promise->m_waiting->take_error();
    return resume(out);
}

} // namespace core::detail
