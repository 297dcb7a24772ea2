// Conversions between C++ exceptions and Python errors.
#include "core/errors.hpp"

#include "core/objects.hpp"

#include <cstdio>
#include <cstdlib>

namespace core {

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

void raise(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

void raise_current() { throw nb::python_error(); }

static PyObject *builtin_type(nb::exception_type type) {
    switch (type) {
    case nb::exception_type::stop_iteration:
        return PyExc_StopIteration;
    case nb::exception_type::index_error:
        return PyExc_IndexError;
    case nb::exception_type::key_error:
        return PyExc_KeyError;
    case nb::exception_type::value_error:
        return PyExc_ValueError;
    case nb::exception_type::type_error:
        return PyExc_TypeError;
    case nb::exception_type::buffer_error:
        return PyExc_BufferError;
    case nb::exception_type::import_error:
        return PyExc_ImportError;
    case nb::exception_type::attribute_error:
        return PyExc_AttributeError;
    default:
        return PyExc_RuntimeError;
    }
}

void restore_as_python_error(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyErr_SetString(builtin_type(e.type()), e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

bool is_ordinary(const nb::python_error &error) { return error.matches(PyExc_Exception); }

nb::object exception_of(const nb::python_error &error) {
    nb::handle value = error.value();
    if (value.is_valid() && PyExceptionInstance_Check(value.ptr())) {
        // Below 3.12 the traceback travels beside the exception until Python code catches it.
        nb::object traceback = error.traceback();
        if (traceback.is_valid() && !traceback.is_none())
            PyException_SetTraceback(value.ptr(), traceback.ptr());
        return nb::borrow(value);
    }
    PyObject *type = Py_NewRef(error.type().ptr());
    PyObject *instance = Py_XNewRef(value.ptr());
    PyObject *traceback = error.traceback().release().ptr();
    if (traceback == Py_None) {
        Py_DECREF(traceback);
        traceback = nullptr;
    }
    PyErr_NormalizeException(&type, &instance, &traceback);
    if (traceback && instance)
        PyException_SetTraceback(instance, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (!instance)
        throw nb::python_error();
    return nb::steal(instance);
}

namespace detail {

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

} // namespace detail

bool withdraw_pending(PyObject *type) {
    PyThreadState *tstate = PyThreadState_Get();
    if (tstate->async_exc != type)
        return false;
    // Compiled on first use, not run: making a function would run bytecode, which the pending
    // exception would hit before it is ready to take it.
    static PyObject *nothing = Py_CompileString("None", "<withdrawn>", Py_eval_input);
    static PyObject *scope = PyDict_New();
    PyObject *raised = detail::fetch_exception();
    PyObject *result = nothing && scope ? PyEval_EvalCode(nothing, scope, scope) : nullptr;
    if (result)
        Py_DECREF(result);
    else if (PyErr_ExceptionMatches(type))
        PyErr_Clear();
    else
        PyErr_WriteUnraisable(nothing);
    if (raised)
        detail::restore_exception(raised);
    return true;
}

std::optional<nb::python_error> OrdinaryFailure::await_resume() {
    try {
        PyAwaiter::await_resume();
    } catch (nb::python_error &e) {
        if (!is_ordinary(e))
            throw;
        return std::move(e);
    }
    return std::nullopt;
}

namespace detail {

void check_failed(const char *condition, const char *message, const char *file, int line) noexcept {
    std::fprintf(stderr, "core check failed: %s (%s) at %s:%d\n", message, condition, file, line);
    std::fflush(stderr);
    std::abort();
}

} // namespace detail

} // namespace core
