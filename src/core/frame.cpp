// Driving C++ coroutine frames from Python, as CPython drives generator frames: the iterator
// steps of `yield from`, the frame's own steps, and the object head that owns a frame.
#include "core/frame.hpp"
#include "core/errors.hpp"

#include <cstring>
#include <new>

namespace core {

// --- the first step of a co_await, taken before the frame decides whether to suspend --------

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

namespace detail {

// --- iterator steps, with a fallback below Python 3.10 ---------------------------------------

void set_stop_iteration(PyObject *value) {
    CORE_CHECK(value, "set_stop_iteration: no value");
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
    CORE_CHECK(call_result || PyErr_Occurred(), "step_from_call: a failed call left no error");
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
    CORE_CHECK(PyGILState_Check(), "send_into: the GIL is not held");
    CORE_CHECK(iter && value, "send_into: no iterator or no value");
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

// --- the frame ------------------------------------------------------------------------------

namespace {
// Marks the frame as running for the duration of a step.
struct RunningScope {
    bool &flag;
    explicit RunningScope(bool &f) : flag(f) { flag = true; }
    ~RunningScope() { flag = false; }
};
} // namespace

bool Frame::refuse(bool throwing) {
    if (m_running) {
        PyErr_SetString(PyExc_ValueError, "coroutine frame already executing");
        return true;
    }
    if (m_handle)
        return false;
    // A finished generator lets a thrown exception out as it came; a send has nothing to resume.
    if (!throwing)
        PyErr_SetString(PyExc_RuntimeError, "cannot resume a finished coroutine frame");
    return true;
}

void Frame::destroy() {
    if (!m_handle)
        return;
    PyObject *saved = fetch_exception();
    std::coroutine_handle<> handle = std::exchange(m_handle, {});
    m_promise = nullptr; // freed with the frame
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
    for (size_t i = 0; i < m_promise->m_parameter_count; ++i)
        Py_VISIT(m_promise->m_parameters[i]->ptr()); // null once the body moved it away
    return 0;
}

Outcome Frame::resume(PyObject **out) {
    CORE_CHECK(m_handle && !m_handle.done(), "Frame::resume: the frame has finished");
    CORE_CHECK(m_running || !m_started, "Frame::resume: resumed outside send or throw");
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
    CORE_CHECK(m_promise->m_waiting, "Frame::after_delegate_step: the frame waits nowhere");
    CORE_CHECK(step == Step::Return || PyErr_Occurred(),
               "Frame::after_delegate_step: the delegate failed with no error");
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
    CORE_CHECK(PyGILState_Check(), "Frame::send: the GIL is not held");
    CORE_CHECK(value && out, "Frame::send: no value or no place for the outcome");
    if (refuse(false))
        return Outcome::Raise;
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

// Ends the delegation with the error now raised: the frame's co_await throws it.
static void stop_delegating(PromiseBase &promise) {
    promise.m_inner.reset();
    promise.m_waiting->take_error();
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
        stop_delegating(promise);
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
        stop_delegating(promise);
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
    CORE_CHECK(PyGILState_Check(), "Frame::throw_current: the GIL is not held");
    CORE_CHECK(PyErr_Occurred(), "Frame::throw_current: no error is raised to throw in");
    if (refuse(true))
        return Outcome::Raise;
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

// --- the Python objects that own a frame -----------------------------------------------------

nb::object new_frame_object(PyTypeObject *type, std::coroutine_handle<> handle,
                            PromiseBase *promise, const char *qualname) {
    CORE_CHECK(type && handle && promise, "new_frame_object: no type, frame or promise");
    FrameObject *self = reinterpret_cast<FrameObject *>(_PyObject_GC_New(type));
    if (!self) {
        handle.destroy();
        throw nb::python_error();
    }
    new (&self->frame) Frame(handle, promise);
    self->weakrefs = nullptr;
    self->qualname = PyUnicode_FromString(qualname);
    const char *dot = std::strrchr(qualname, '.');
    self->name = PyUnicode_FromString(dot ? dot + 1 : qualname);
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(self));
    if (!self->qualname || !self->name)
        throw nb::python_error();
    return result;
}

int traverse_frame_object(PyObject *self, visitproc visit, void *arg) {
    FrameObject *object = as_frame_object(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(object->name);
    Py_VISIT(object->qualname);
    return object->frame.traverse(visit, arg);
}

void finalize_frame_object(PyObject *self, void (*finish)(PyObject *self)) {
    if (as_frame_object(self)->frame.finished())
        return;
    PyObject *saved = fetch_exception();
    finish(self);
    if (PyErr_Occurred())
        PyErr_WriteUnraisable(self);
    if (saved)
        restore_exception(saved);
}

void dealloc_frame_object(PyObject *self, void (*clear_extension)(PyObject *self)) {
    // CPython's order for generators: weak references go before the finalizer runs, and the
    // object is tracked while it runs, so that one resurrected by it (kept by an event loop's
    // finalizer hook, or by the warning it issued) is an ordinary tracked object again.
    FrameObject *object = as_frame_object(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (object->weakrefs)
        PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0)
        return; // resurrected
    PyObject_GC_UnTrack(self);
    if (clear_extension)
        clear_extension(self);
    object->frame.~Frame();
    Py_CLEAR(object->name);
    Py_CLEAR(object->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

void replace_escaped_stop(FrameKind kind) {
    const char *message;
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        message = kind == FrameKind::Coroutine ? "coroutine raised StopIteration"
                                               : "async generator raised StopIteration";
    else if (kind == FrameKind::AsyncGenerator && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
        message = "async generator raised StopAsyncIteration";
    else
        return;
    PyObject *stop = fetch_exception();
    PyErr_SetString(PyExc_RuntimeError, message);
    PyObject *error = fetch_exception();
    PyException_SetCause(error, Py_NewRef(stop));
    PyException_SetContext(error, stop);
    restore_exception(error);
}

bool closed_quietly(Outcome outcome, PyObject *out, FrameKind kind) {
    CORE_CHECK((outcome == Outcome::Raise) == (PyErr_Occurred() != nullptr),
               "closed_quietly: an error is raised exactly when the frame raised");
    switch (outcome) {
    case Outcome::Return:
        Py_DECREF(out);
        return true;
    case Outcome::Raise:
        replace_escaped_stop(kind);
        if (!PyErr_ExceptionMatches(PyExc_GeneratorExit))
            return false;
        PyErr_Clear();
        return true;
    default:
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, kind == FrameKind::Coroutine
                                                ? "coroutine ignored GeneratorExit"
                                                : "async generator ignored GeneratorExit");
        return false;
    }
}

bool close_frame(Frame &frame, FrameKind kind) {
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject *out = nullptr;
    Outcome outcome = frame.throw_current(&out);
    return closed_quietly(outcome, out, kind);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_frame_object(self)->name); }
PyObject *get_qualname(PyObject *self, void *) {
    return Py_NewRef(as_frame_object(self)->qualname);
}

static int set_text(PyObject **field, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(&as_frame_object(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(&as_frame_object(self)->qualname, value, "__qualname__");
}

PyObject *get_await(PyObject *self, void *) {
    PyObject *inner = as_frame_object(self)->frame.awaiting();
    return Py_NewRef(inner ? inner : Py_None);
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

// --- type creation ----------------------------------------------------------------------------

// collections.abc.<abc_name>.register(type), so asyncio.iscoroutine and isinstance accept it.
static bool register_abc(PyTypeObject *type, const char *abc_name) {
    PyObject *abc = PyImport_ImportModule("collections.abc");
    if (!abc)
        return false;
    PyObject *base = PyObject_GetAttrString(abc, abc_name);
    Py_DECREF(abc);
    if (!base)
        return false;
    PyObject *result = PyObject_CallMethod(base, "register", "O", type);
    Py_DECREF(base);
    if (!result)
        return false;
    Py_DECREF(result);
    return true;
}

bool create_types(PyType_Spec *spec, PyType_Spec *helper_spec, const char *abc_name,
                  PyTypeObject **type, PyTypeObject **helper) {
    if (*type)
        return true;
    PyObject *created = PyType_FromSpec(spec);
    PyObject *created_helper = created ? PyType_FromSpec(helper_spec) : nullptr;
    if (!created_helper || !register_abc(reinterpret_cast<PyTypeObject *>(created), abc_name)) {
        Py_XDECREF(created);
        Py_XDECREF(created_helper);
        return false;
    }
    *helper = reinterpret_cast<PyTypeObject *>(created_helper);
    *type = reinterpret_cast<PyTypeObject *>(created);
    return true;
}

} // namespace detail

} // namespace core
