// Iterator steps for the coroutine bridge, with a fallback below Python 3.10.
#include "core/iter_protocol.hpp"

#include "core/coroutine_object.hpp"

namespace core::detail {

PyObject *fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

void restore_exception(PyObject *exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

void set_stop_iteration(PyObject *value) {
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!stop)
        return;
    restore_exception(stop);
}

// A null result with StopIteration raised means "returned": takes the value out of it.
static bool fetch_stop_iteration_value(PyObject **value) {
    if (!PyErr_Occurred()) {
        *value = Py_NewRef(Py_None);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return false;
    PyObject *stop = fetch_exception();
    PyObject *v = reinterpret_cast<PyStopIterationObject *>(stop)->value;
    *value = Py_NewRef(v ? v : Py_None);
    Py_DECREF(stop);
    return true;
}

Step step_from_call(PyObject *call_result, PyObject **result) {
    if (call_result) {
        *result = call_result;
        return Step::Next;
    }
    if (fetch_stop_iteration_value(result))
        return Step::Return;
    *result = nullptr;
    return Step::Error;
}

Step send_into(PyObject *iter, PyObject *value, PyObject **result) {
#if PY_VERSION_HEX >= 0x030A0000
    switch (PyIter_Send(iter, value, result)) {
    case PYGEN_NEXT:
        return Step::Next;
    case PYGEN_RETURN:
        return Step::Return;
    default:
        return Step::Error;
    }
#else
    PyObject *r;
    if (value == Py_None && PyIter_Check(iter))
        r = Py_TYPE(iter)->tp_iternext(iter);
    else
        r = PyObject_CallMethod(iter, "send", "O", value);
    return step_from_call(r, result);
#endif
}

// Generator-based coroutines (types.coroutine) are awaitable without __await__.
static bool is_iterable_coroutine(PyObject *object) {
    if (!PyGen_CheckExact(object))
        return false;
    PyObject *code = PyObject_GetAttrString(object, "gi_code");
    if (!code) {
        PyErr_Clear();
        return false;
    }
    bool iterable = (reinterpret_cast<PyCodeObject *>(code)->co_flags & CO_ITERABLE_COROUTINE) != 0;
    Py_DECREF(code);
    return iterable;
}

PyObject *awaitable_iter(PyObject *awaitable) {
    if (PyCoro_CheckExact(awaitable) || is_iterable_coroutine(awaitable))
        return Py_NewRef(awaitable);
    if (is_coroutine_object(awaitable)) {
        if (coroutine_is_delegating(awaitable)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(awaitable);
    }
    PyAsyncMethods *async = Py_TYPE(awaitable)->tp_as_async;
    if (!async || !async->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     Py_TYPE(awaitable)->tp_name);
        return nullptr;
    }
    PyObject *iter = async->am_await(awaitable);
    if (!iter)
        return nullptr;
    if (PyCoro_CheckExact(iter) || is_coroutine_object(iter)) {
        Py_DECREF(iter);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(iter)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iter)->tp_name);
        Py_DECREF(iter);
        return nullptr;
    }
    return iter;
}

// Builds the exception of throw(type[, value[, traceback]]) and raises it; false on bad
// arguments (with TypeError raised instead), as CPython's generator throw checks them.
bool raise_thrown(PyObject *args) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback))
        return false;
    if (traceback == Py_None)
        traceback = nullptr;
    if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    PyObject *exception = nullptr;
    if (PyExceptionClass_Check(type)) {
        if (value && value != Py_None && PyObject_IsInstance(value, type) == 1)
            exception = Py_NewRef(value);
        else if (value && value != Py_None)
            exception = PyTuple_Check(value) ? PyObject_Call(type, value, nullptr)
                                             : PyObject_CallOneArg(type, value);
        else
            exception = PyObject_CallNoArgs(type);
        if (!exception)
            return false;
        if (!PyExceptionInstance_Check(exception)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         type, Py_TYPE(exception)->tp_name);
            Py_DECREF(exception);
            return false;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        exception = Py_NewRef(type);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    if (traceback)
        PyException_SetTraceback(exception, traceback);
    detail::restore_exception(exception);
    return true;
}

} // namespace core::detail
