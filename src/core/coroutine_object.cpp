// Python coroutine objects backed by C++ coroutine frames: send/throw/close, the am_send and
// iterator doors, __await__, finalisation and repr, as CPython's own coroutines behave.
#include "core/frame.hpp"

#include <structmember.h>

namespace core::detail {
namespace {

struct CoroutineObject : FrameObject {};

// The iterator returned by __await__, as CPython's coroutine_wrapper.
struct AwaitObject {
    PyObject_HEAD
    CoroutineObject *coroutine;
};

PyTypeObject *g_coroutine_type = nullptr;
PyTypeObject *g_await_type = nullptr;

CoroutineObject *as_coroutine(PyObject *self) { return reinterpret_cast<CoroutineObject *>(self); }

// Refuses a step that CPython would refuse; true when the step may go ahead.
bool may_step(CoroutineObject *self, PyObject *value, bool throwing) {
    if (self->frame.running()) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    if (self->frame.finished()) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return false;
    }
    if (!throwing && !self->frame.started() && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return false;
    }
    return true;
}

#if PY_VERSION_HEX >= 0x030A0000
PySendResult to_send_result(Outcome outcome, PyObject *out, PyObject **result) {
    switch (outcome) {
    case Outcome::Yield:
    case Outcome::Emit:
        *result = out;
        return PYGEN_NEXT;
    case Outcome::Return:
        *result = out;
        return PYGEN_RETURN;
    default:
        replace_escaped_stop(FrameKind::Coroutine);
        *result = nullptr;
        return PYGEN_ERROR;
    }
}
#endif

// Maps an outcome to the result of a `send`-like method: the yielded value, or null with
// StopIteration(value) or the error raised.
PyObject *to_method_result(Outcome outcome, PyObject *out) {
    switch (outcome) {
    case Outcome::Yield:
    case Outcome::Emit:
        return out;
    case Outcome::Return:
        set_stop_iteration(out);
        Py_DECREF(out);
        return nullptr;
    default:
        replace_escaped_stop(FrameKind::Coroutine);
        return nullptr;
    }
}

PyObject *coroutine_send(PyObject *self_object, PyObject *value) {
    CoroutineObject *self = as_coroutine(self_object);
    if (!may_step(self, value, false))
        return nullptr;
    PyObject *out = nullptr;
    Outcome outcome = self->frame.send(value, &out);
    return to_method_result(outcome, out);
}

// tp_iternext: a return of None ends the iteration without an explicit StopIteration.
PyObject *coroutine_iternext(PyObject *self_object) {
    CoroutineObject *self = as_coroutine(self_object);
    if (!may_step(self, Py_None, false))
        return nullptr;
    PyObject *out = nullptr;
    Outcome outcome = self->frame.send(Py_None, &out);
    if (outcome == Outcome::Return && out == Py_None) {
        Py_DECREF(out);
        return nullptr;
    }
    return to_method_result(outcome, out);
}

#if PY_VERSION_HEX >= 0x030A0000
PySendResult coroutine_am_send(PyObject *self_object, PyObject *value, PyObject **result) {
    CoroutineObject *self = as_coroutine(self_object);
    if (!may_step(self, value, false)) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    PyObject *out = nullptr;
    Outcome outcome = self->frame.send(value, &out);
    return to_send_result(outcome, out, result);
}
#endif

PyObject *coroutine_throw(PyObject *self_object, PyObject *args) {
    CoroutineObject *self = as_coroutine(self_object);
    if (!may_step(self, nullptr, true))
        return nullptr;
    if (!raise_thrown(args))
        return nullptr;
    PyObject *out = nullptr;
    Outcome outcome = self->frame.throw_current(&out);
    return to_method_result(outcome, out);
}

PyObject *coroutine_close(PyObject *self_object, PyObject *) {
    Frame &frame = as_coroutine(self_object)->frame;
    if (frame.running()) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (!frame.started() || frame.finished()) {
        frame.destroy();
        Py_RETURN_NONE;
    }
    if (!close_frame(frame, FrameKind::Coroutine))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *coroutine_await(PyObject *self_object) {
    if (as_coroutine(self_object)->frame.awaiting()) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    AwaitObject *wrapper = PyObject_GC_New(AwaitObject, g_await_type);
    if (!wrapper)
        return nullptr;
    wrapper->coroutine = reinterpret_cast<CoroutineObject *>(Py_NewRef(self_object));
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject *>(wrapper);
}

// "coroutine ... was never awaited", through warnings._warn_unawaited_coroutine as CPython
// does (the warning then carries the coroutine as its source), else directly.
void warn_never_awaited(PyObject *self_object) {
    bool warned = false;
    PyObject *warnings = PyImport_ImportModule("warnings");
    PyObject *warn =
        warnings ? PyObject_GetAttrString(warnings, "_warn_unawaited_coroutine") : nullptr;
    Py_XDECREF(warnings);
    if (warn) {
        PyObject *result = PyObject_CallOneArg(warn, self_object);
        Py_DECREF(warn);
        // A RuntimeWarning raised is the warning itself, turned into an error by a filter.
        warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
        Py_XDECREF(result);
    }
    if (PyErr_Occurred())
        PyErr_WriteUnraisable(self_object);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                                    as_coroutine(self_object)->qualname) < 0)
        PyErr_WriteUnraisable(self_object);
}

// A coroutine dropped while suspended is closed, so the frame's cleanup runs; one never started
// warns as CPython does.
void finish_coroutine(PyObject *self_object) {
    Frame &frame = as_coroutine(self_object)->frame;
    if (frame.started()) {
        close_frame(frame, FrameKind::Coroutine);
        return;
    }
    warn_never_awaited(self_object);
    frame.destroy();
}

void coroutine_finalize(PyObject *self_object) {
    finalize_frame_object(self_object, finish_coroutine);
}

void coroutine_dealloc(PyObject *self_object) { dealloc_frame_object(self_object, nullptr); }

PyObject *coroutine_repr(PyObject *self_object) {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coroutine(self_object)->qualname,
                                self_object);
}

PyObject *get_running(PyObject *self, void *) {
    return PyBool_FromLong(as_coroutine(self)->frame.running());
}
PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, "send(value) -> the next value yielded to the event loop"},
    {"throw", coroutine_throw, METH_VARARGS, "throw(exception) -> raise it at the suspension"},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit at the suspension"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr}, // origin tracking is not kept
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FrameObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_frame_object)},
    {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
    {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
    {Py_tp_iternext, reinterpret_cast<void *>(coroutine_iternext)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_members, coroutine_members},
    {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
#endif
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "core.coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE,
    coroutine_slots,
};

// --- the await iterator ---------------------------------------------------------------------

AwaitObject *as_await(PyObject *self) { return reinterpret_cast<AwaitObject *>(self); }
PyObject *coroutine_of(PyObject *self) {
    return reinterpret_cast<PyObject *>(as_await(self)->coroutine);
}

PyObject *await_iternext(PyObject *self) { return coroutine_iternext(coroutine_of(self)); }
PyObject *await_send(PyObject *self, PyObject *value) {
    return coroutine_send(coroutine_of(self), value);
}
PyObject *await_throw(PyObject *self, PyObject *args) {
    return coroutine_throw(coroutine_of(self), args);
}
PyObject *await_close(PyObject *self, PyObject *) {
    return coroutine_close(coroutine_of(self), nullptr);
}
#if PY_VERSION_HEX >= 0x030A0000
PySendResult await_am_send(PyObject *self, PyObject *value, PyObject **result) {
    return coroutine_am_send(coroutine_of(self), value, result);
}
#endif
PyObject *await_iter(PyObject *self) { return Py_NewRef(self); }

int await_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_await(self)->coroutine);
    return 0;
}

int await_clear(PyObject *self) {
    Py_CLEAR(as_await(self)->coroutine);
    return 0;
}

void await_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    await_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, nullptr},
    {"throw", await_throw, METH_VARARGS, nullptr},
    {"close", await_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot await_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(await_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(await_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(await_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(await_iter)},
    {Py_tp_iternext, reinterpret_cast<void *>(await_iternext)},
    {Py_tp_methods, await_methods},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void *>(await_am_send)},
#endif
    {0, nullptr},
};

PyType_Spec await_spec = {
    "core.coroutine_wrapper",
    sizeof(AwaitObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    await_slots,
};

} // namespace

bool is_coroutine_object(PyObject *object) {
    return g_coroutine_type && Py_TYPE(object) == g_coroutine_type;
}

bool coroutine_is_delegating(PyObject *object) {
    return as_coroutine(object)->frame.awaiting() != nullptr;
}

bool init_coroutine_types() {
    return create_types(&coroutine_spec, &await_spec, "Coroutine", &g_coroutine_type,
                        &g_await_type);
}

nb::object make_coroutine(std::coroutine_handle<> handle, PromiseBase *promise,
                          const char *qualname) {
    nb::object coroutine = new_frame_object(g_coroutine_type, handle, promise, qualname);
    PyObject_GC_Track(coroutine.ptr());
    return coroutine;
}

} // namespace core::detail
