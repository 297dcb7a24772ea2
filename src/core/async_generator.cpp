// Python asynchronous generator objects backed by C++ coroutine frames: __anext__, asend,
// athrow and aclose return awaitables that drive the frame until its next co_yield, and the
// event loop's asyncgen hooks see them as they see `async def` generators.
#include "core/async_generator.hpp"

#include "core/errors.hpp"
#include "core/frame.hpp"

#include <structmember.h>

namespace core::detail {
namespace {

struct AsyncGenObject : FrameObject {
    PyObject *finalizer; // the event loop's finalizer hook, taken at the first step
    bool hooks_called;
    bool step_active; // an __anext__/asend/athrow/aclose awaitable is under way
};

enum class StepKind { Send, Throw, Close };
enum class StepState { Init, Iter, Done };

// The awaitable returned by __anext__, asend, athrow and aclose.
struct StepObject {
    PyObject_HEAD
    AsyncGenObject *generator;
    PyObject *argument; // the value to send, or the exception to throw
    StepKind kind;
    StepState state;
};

PyTypeObject *g_generator_type = nullptr;
PyTypeObject *g_step_type = nullptr;

AsyncGenObject *as_generator(PyObject *self) { return reinterpret_cast<AsyncGenObject *>(self); }
StepObject *as_step(PyObject *self) { return reinterpret_cast<StepObject *>(self); }

// Registers the generator with the running event loop's hooks (asyncio closes generators that
// are left unfinished), as CPython does on the first step.
bool call_hooks(AsyncGenObject *self) {
    if (self->hooks_called)
        return true;
    self->hooks_called = true;
    PyObject *sys = PyImport_ImportModule("sys");
    if (!sys)
        return false;
    PyObject *hooks = PyObject_CallMethod(sys, "get_asyncgen_hooks", nullptr);
    Py_DECREF(sys);
    if (!hooks)
        return false;
    PyObject *firstiter = PySequence_GetItem(hooks, 0);
    PyObject *finalizer = firstiter ? PySequence_GetItem(hooks, 1) : nullptr;
    Py_DECREF(hooks);
    if (!finalizer) {
        Py_XDECREF(firstiter);
        return false;
    }
    if (finalizer != Py_None)
        Py_XSETREF(self->finalizer, finalizer);
    else
        Py_DECREF(finalizer);
    bool ok = true;
    if (firstiter != Py_None) {
        PyObject *result = PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject *>(self));
        ok = result != nullptr;
        Py_XDECREF(result);
    }
    Py_DECREF(firstiter);
    return ok;
}

PyObject *new_step(PyObject *generator, StepKind kind, PyObject *argument) {
    if (!call_hooks(as_generator(generator)))
        return nullptr;
    StepObject *step = PyObject_GC_New(StepObject, g_step_type);
    if (!step)
        return nullptr;
    step->generator = reinterpret_cast<AsyncGenObject *>(Py_NewRef(generator));
    step->argument = Py_XNewRef(argument);
    step->kind = kind;
    step->state = StepState::Init;
    PyObject_GC_Track(step);
    return reinterpret_cast<PyObject *>(step);
}

const char *running_message(StepKind kind) {
    switch (kind) {
    case StepKind::Send:
        return "anext(): asynchronous generator is already running";
    case StepKind::Throw:
        return "athrow(): asynchronous generator is already running";
    default:
        return "aclose(): asynchronous generator is already running";
    }
}

// Ends a step: the awaitable finishes with StopIteration(value) (null value: None).
PyObject *finish_with(PyObject *value) {
    set_stop_iteration(value ? value : Py_None);
    Py_XDECREF(value);
    return nullptr;
}

// Maps a frame outcome to the step's result: a value for the event loop, or the end of the
// awaitable (StopIteration with the emitted value, StopAsyncIteration, or an error).
PyObject *complete(StepObject *step, Outcome outcome, PyObject *out) {
    if (outcome == Outcome::Yield)
        return out; // the cleanup of aclose() may await too
    step->state = StepState::Done;
    step->generator->step_active = false;
    if (step->kind == StepKind::Close)
        return closed_quietly(outcome, out, FrameKind::AsyncGenerator) ? finish_with(nullptr)
                                                                       : nullptr;
    switch (outcome) {
    case Outcome::Emit:
        return finish_with(out);
    case Outcome::Return:
        Py_DECREF(out);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
    default:
        replace_escaped_stop(FrameKind::AsyncGenerator);
        return nullptr;
    }
}

// The first step of an awaitable: starts what the awaitable was made for.
PyObject *start_step(StepObject *step, PyObject *sent) {
    AsyncGenObject *generator = step->generator;
    if (generator->step_active) {
        PyErr_SetString(PyExc_RuntimeError, running_message(step->kind));
        return nullptr;
    }
    Frame &frame = generator->frame;
    if (frame.finished() || (step->kind == StepKind::Close && !frame.started())) {
        step->state = StepState::Done;
        frame.destroy();
        if (step->kind == StepKind::Close)
            return finish_with(nullptr);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
    }
    PyObject *out = nullptr;
    Outcome outcome;
    switch (step->kind) {
    case StepKind::Send: {
        PyObject *value = sent != Py_None ? sent : (step->argument ? step->argument : Py_None);
        if (!frame.started() && value != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started async generator");
            return nullptr;
        }
        step->state = StepState::Iter;
        generator->step_active = true;
        outcome = frame.send(value, &out);
        break;
    }
    case StepKind::Throw:
        step->state = StepState::Iter;
        generator->step_active = true;
        restore_exception(Py_NewRef(step->argument));
        outcome = frame.throw_current(&out);
        break;
    default:
        step->state = StepState::Iter;
        generator->step_active = true;
        PyErr_SetNone(PyExc_GeneratorExit);
        outcome = frame.throw_current(&out);
        break;
    }
    return complete(step, outcome, out);
}

bool refuse_reuse(StepObject *step) {
    if (step->state != StepState::Done)
        return false;
    PyErr_SetString(PyExc_RuntimeError, step->kind == StepKind::Send
                                            ? "cannot reuse already awaited __anext__()/asend()"
                                            : "cannot reuse already awaited aclose()/athrow()");
    return true;
}

PyObject *step_send(PyObject *self, PyObject *value) {
    StepObject *step = as_step(self);
    if (refuse_reuse(step))
        return nullptr;
    if (step->state == StepState::Init)
        return start_step(step, value);
    if (step->generator->frame.running()) {
        PyErr_SetString(PyExc_ValueError, "async generator already executing");
        return nullptr;
    }
    PyObject *out = nullptr;
    Outcome outcome = step->generator->frame.send(value, &out);
    return complete(step, outcome, out);
}

PyObject *step_iternext(PyObject *self) { return step_send(self, Py_None); }

PyObject *step_throw(PyObject *self, PyObject *args) {
    StepObject *step = as_step(self);
    if (refuse_reuse(step))
        return nullptr;
    if (step->state == StepState::Init) {
        if (step->generator->step_active) {
            PyErr_SetString(PyExc_RuntimeError, running_message(step->kind));
            return nullptr;
        }
        step->state = StepState::Iter;
        step->generator->step_active = true;
    }
    if (!raise_thrown(args))
        return nullptr;
    PyObject *out = nullptr;
    Outcome outcome = step->generator->frame.throw_current(&out);
    return complete(step, outcome, out);
}

PyObject *step_close(PyObject *self, PyObject *) {
    StepObject *step = as_step(self);
    if (step->state == StepState::Iter)
        step->generator->step_active = false;
    step->state = StepState::Done;
    Py_RETURN_NONE;
}

#if PY_VERSION_HEX >= 0x030A0000
PySendResult step_am_send(PyObject *self, PyObject *value, PyObject **result) {
    *result = step_send(self, value);
    if (*result)
        return PYGEN_NEXT;
    PyObject *returned = nullptr;
    if (step_from_call(nullptr, &returned) == Step::Return) {
        *result = returned;
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}
#endif

PyObject *step_self(PyObject *self) { return Py_NewRef(self); }

int step_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_step(self)->generator);
    Py_VISIT(as_step(self)->argument);
    return 0;
}

// A step dropped half-way (by its last reference or by the collector) no longer holds the
// generator: it is ended first, so that the generator can take its next step.
int step_clear(PyObject *self) {
    StepObject *step = as_step(self);
    if (step->state == StepState::Iter && step->generator)
        step->generator->step_active = false;
    step->state = StepState::Done;
    Py_CLEAR(step->generator);
    Py_CLEAR(step->argument);
    return 0;
}

void step_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    step_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef step_methods[] = {
    {"send", step_send, METH_O, nullptr},
    {"throw", step_throw, METH_VARARGS, nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot step_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(step_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(step_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(step_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(step_self)},
    {Py_tp_iternext, reinterpret_cast<void *>(step_iternext)},
    {Py_tp_methods, step_methods},
    {Py_am_await, reinterpret_cast<void *>(step_self)},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void *>(step_am_send)},
#endif
    {0, nullptr},
};

PyType_Spec step_spec = {
    "core.async_generator_step",
    sizeof(StepObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    step_slots,
};

// --- the generator --------------------------------------------------------------------------

PyObject *generator_anext(PyObject *self) { return new_step(self, StepKind::Send, nullptr); }
PyObject *generator_asend(PyObject *self, PyObject *value) {
    return new_step(self, StepKind::Send, value);
}
PyObject *generator_aclose(PyObject *self, PyObject *) {
    return new_step(self, StepKind::Close, nullptr);
}
PyObject *generator_athrow(PyObject *self, PyObject *args) {
    // The exception is built now, as the arguments are checked when athrow() is called.
    if (!raise_thrown(args))
        return nullptr;
    PyObject *exception = fetch_exception();
    PyObject *step = new_step(self, StepKind::Throw, exception);
    Py_DECREF(exception);
    return step;
}

// An unfinished generator goes to the event loop's finalizer (which schedules aclose()); without
// one it is closed here, so that the frame's cleanup runs.
void finish_generator(PyObject *self_object) {
    AsyncGenObject *self = as_generator(self_object);
    Frame &frame = self->frame;
    if (!frame.started()) {
        frame.destroy();
    } else if (self->finalizer) {
        PyObject *finalizer = self->finalizer;
        self->finalizer = nullptr;
        PyObject *result = PyObject_CallOneArg(finalizer, self_object);
        Py_DECREF(finalizer);
        Py_XDECREF(result);
    } else if (!frame.running()) {
        close_frame(frame, FrameKind::AsyncGenerator);
        frame.destroy();
    }
}

void generator_finalize(PyObject *self_object) {
    finalize_frame_object(self_object, finish_generator);
}

int generator_traverse(PyObject *self_object, visitproc visit, void *arg) {
    Py_VISIT(as_generator(self_object)->finalizer);
    return traverse_frame_object(self_object, visit, arg);
}

void clear_finalizer(PyObject *self_object) { Py_CLEAR(as_generator(self_object)->finalizer); }

void generator_dealloc(PyObject *self_object) {
    dealloc_frame_object(self_object, clear_finalizer);
}

PyObject *generator_repr(PyObject *self) {
    return PyUnicode_FromFormat("<async_generator object %S at %p>", as_generator(self)->qualname,
                                self);
}

PyObject *get_running(PyObject *self, void *) {
    return PyBool_FromLong(as_generator(self)->step_active);
}
PyMethodDef generator_methods[] = {
    {"asend", generator_asend, METH_O, "asend(value) -> awaitable of the next yielded value"},
    {"athrow", generator_athrow, METH_VARARGS, "athrow(exception) -> awaitable"},
    {"aclose", generator_aclose, METH_NOARGS, "aclose() -> awaitable that closes the generator"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"ag_running", get_running, nullptr, nullptr, nullptr},
    {"ag_await", get_await, nullptr, nullptr, nullptr},
    {"ag_frame", get_none, nullptr, nullptr, nullptr},
    {"ag_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef generator_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FrameObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot generator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(generator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(generator_traverse)},
    {Py_tp_finalize, reinterpret_cast<void *>(generator_finalize)},
    {Py_tp_repr, reinterpret_cast<void *>(generator_repr)},
    {Py_tp_methods, generator_methods},
    {Py_tp_getset, generator_getset},
    {Py_tp_members, generator_members},
    {Py_am_aiter, reinterpret_cast<void *>(step_self)},
    {Py_am_anext, reinterpret_cast<void *>(generator_anext)},
    {0, nullptr},
};

PyType_Spec generator_spec = {
    "core.async_generator",
    sizeof(AsyncGenObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE,
    generator_slots,
};

} // namespace

bool init_async_generator_types() {
    return create_types(&generator_spec, &step_spec, "AsyncGenerator", &g_generator_type,
                        &g_step_type);
}

nb::object make_async_generator(std::coroutine_handle<> handle, PromiseBase *promise,
                                const char *qualname) {
    nb::object generator = new_frame_object(g_generator_type, handle, promise, qualname);
    AsyncGenObject *self = as_generator(generator.ptr());
    self->finalizer = nullptr;
    self->hooks_called = false;
    self->step_active = false;
    PyObject_GC_Track(self);
    return generator;
}

} // namespace core::detail
