// Internal to the coroutine bridge: C++ coroutine frames driven from Python, and the head of the
// Python objects (coroutines, async generators) that own one.
#pragma once

#include "core/task.hpp"

namespace core::detail {

// --- iterator steps, as `yield from` and `await` take them ----------------------------------

// What one step of an iterator did.
enum class Step {
    Next,   // it suspended and handed out a value (*result, new reference)
    Return, // it finished with a value (*result, new reference; None for a bare return)
    Error,  // it raised; the Python error is set and *result is null
};

// Sends `value` into `iter` as `yield from` would: `__next__` for None when it is an iterator,
// else its `send` method; the am_send slot where there is one (3.10+).
Step send_into(PyObject *iter, PyObject *value, PyObject **result);

// Converts the outcome of a call to a `send`/`throw` method into a Step: a null result with
// StopIteration raised is a return with StopIteration's value.
Step step_from_call(PyObject *call_result, PyObject **result);

// The iterator that `await obj` delegates to, as a new reference (null with an error set).
PyObject *awaitable_iter(PyObject *awaitable);

// Raises StopIteration(value) as a real instance, so that a tuple value is not unpacked.
void set_stop_iteration(PyObject *value);

// Builds the exception of a throw(type[, value[, traceback]]) call and raises it; false with
// TypeError raised instead when the arguments are not what CPython's generators accept.
bool raise_thrown(PyObject *args);

// --- the frame ------------------------------------------------------------------------------

// What a step of the frame produced.
enum class Outcome {
    Yield,  // a value for the event loop, yielded by the awaitable the frame waits on
    Emit,   // a value given by co_yield (async generators)
    Return, // the frame finished with a value
    Raise,  // the frame finished, or refused the step, with the Python error now set
};

// Owns a C++ coroutine frame. Every member runs with the GIL held.
//
// Invariant: a finished frame (it returned, raised or was destroyed) has freed its C++ frame and
// promise, so it refuses every later resume, throw and close without touching them: send()
// raises RuntimeError, throw_current() leaves the thrown exception raised (as a finished
// generator does), destroy() does nothing. A running frame refuses to be re-entered.
class Frame {
public:
    Frame(std::coroutine_handle<> handle, PromiseBase *promise)
        : m_handle(handle), m_promise(promise) {}
    Frame(const Frame &) = delete;
    ~Frame() { destroy(); }

    bool started() const { return m_started; }
    bool finished() const { return !m_handle; }
    bool running() const { return m_running; }
    // The iterator the frame delegates to, or null.
    PyObject *awaiting() const { return m_handle ? m_promise->m_inner.ptr() : nullptr; }

    // Resumes with `value` (borrowed): into the awaitable being delegated to, else as the value
    // of the pending co_yield. *out receives a new reference on Yield, Emit and Return.
    Outcome send(PyObject *value, PyObject **out);
    // Throws the currently raised Python error in: into the delegate first when it has a
    // `throw` method, else at the frame's suspension point. A GeneratorExit closes the delegate
    // and is then thrown into the frame, as `yield from` does.
    Outcome throw_current(PyObject **out);
    // Ends the frame without resuming it: destructors of its live locals run. Keeps the error
    // indicator as it was.
    void destroy();

    // Visits what the frame owns that the collector can see (see detail::Promise for the rest).
    int traverse(visitproc visit, void *arg) const;

private:
    bool refuse(bool throwing);
    Outcome resume(PyObject **out);
    Outcome after_delegate_step(Step step, PyObject *result, PyObject **out);
    Outcome throw_into_delegate(PyObject **out);

    std::coroutine_handle<> m_handle;
    PromiseBase *m_promise;
    bool m_started = false;
    bool m_running = false;
};

// --- the Python objects that own a frame -----------------------------------------------------

// The head of every Python object that runs a C++ frame. Types extend it by derivation, so a
// PyObject* of either type can be read as a FrameObject*.
struct FrameObject {
    PyObject_HEAD
    Frame frame;
    PyObject *name;     // the function's name: qualname after its last dot
    PyObject *qualname; // e.g. "PythonKernel.connect"
    PyObject *weakrefs;
};

inline FrameObject *as_frame_object(PyObject *self) {
    return reinterpret_cast<FrameObject *>(self);
}

// Which kind of object owns the frame: it names the object in the errors CPython raises.
enum class FrameKind { Coroutine, AsyncGenerator };

// Allocates an object of `type` (whose basic size covers its extension of FrameObject) that owns
// `handle`. The extension's own fields are left for the caller, which then tracks the object.
// On failure the frame is destroyed and nb::python_error thrown.
nb::object new_frame_object(PyTypeObject *type, std::coroutine_handle<> handle,
                            PromiseBase *promise, const char *qualname);

// The FrameObject part of tp_traverse.
int traverse_frame_object(PyObject *self, visitproc visit, void *arg);

// tp_finalize: a finished frame needs nothing; else `finish` ends it (closes it, or hands the
// object to the event loop) with the error indicator saved around it, and an error `finish`
// leaves is reported as unraisable.
void finalize_frame_object(PyObject *self, void (*finish)(PyObject *self));

// tp_dealloc: runs the finalizer, which may resurrect the object, then frees the object;
// `clear_extension` (may be null) releases the fields of the derived type first.
void dealloc_frame_object(PyObject *self, void (*clear_extension)(PyObject *self));

// PEP 479: a StopIteration escaping the body (or StopAsyncIteration, in an async generator)
// becomes RuntimeError, so that it cannot end an enclosing iteration by accident.
void replace_escaped_stop(FrameKind kind);

// What close() makes of the step that followed GeneratorExit: true when the frame ended as it
// should (it returned, or let GeneratorExit out), with no error set; false with the error set
// otherwise (RuntimeError when it suspended again). Takes the reference in `out`.
bool closed_quietly(Outcome outcome, PyObject *out, FrameKind kind);

// Throws GeneratorExit into a started, unfinished frame, as close() does; see closed_quietly.
bool close_frame(Frame &frame, FrameKind kind);

// Getters and setters for the type's PyGetSetDef table.
PyObject *get_name(PyObject *self, void *);
PyObject *get_qualname(PyObject *self, void *);
int set_name(PyObject *self, PyObject *value, void *);
int set_qualname(PyObject *self, PyObject *value, void *);
PyObject *get_await(PyObject *self, void *); // the delegate, or None
PyObject *get_none(PyObject *self, void *);  // cr_frame/cr_code: C++ frames have no Python frame

// Creates `spec`'s type and its helper type (the awaitable it hands out) and registers the first
// with collections.abc.<abc_name>. Both are published only when all of it succeeded, so that a
// failure is reported again on the next call instead of passing for success.
bool create_types(PyType_Spec *spec, PyType_Spec *helper_spec, const char *abc_name,
                  PyTypeObject **type, PyTypeObject **helper);

// --- the two object types -------------------------------------------------------------------

bool init_coroutine_types();
bool init_async_generator_types();

// True when `object` is a coroutine object of this module's bridge.
bool is_coroutine_object(PyObject *object);

// True when the coroutine `object` is suspended inside a co_await (it is being awaited).
bool coroutine_is_delegating(PyObject *object);

} // namespace core::detail
