// The driver of a suspended C++ coroutine frame: one step per send or throw from Python.
#pragma once

#include "core/iter_protocol.hpp"
#include "core/task.hpp"

namespace core::detail {

// What a step of the frame produced.
enum class Outcome {
    Yield,  // a value for the event loop, yielded by the awaitable the frame waits on
    Emit,   // a value given by co_yield (async generators)
    Return, // the frame finished with a value
    Raise,  // the frame finished with the Python error now set
};

// Owns a C++ coroutine frame. Every member runs with the GIL held.
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

    int traverse(visitproc visit, void *arg) const;

private:
    Outcome resume(PyObject **out);
    Outcome after_delegate_step(Step step, PyObject *result, PyObject **out);
    Outcome throw_into_delegate(PyObject **out);

    std::coroutine_handle<> m_handle;
    PromiseBase *m_promise;
    bool m_started = false;
    bool m_running = false;
};

} // namespace core::detail
