// OutputChannel: the hand-off of stream messages from any thread to the listener loop.
//
// A writer posts a message and returns at once; one drain task on the loop sends the posted
// messages in order, each through the kernel's send_message. This costs one deque append per
// write (and a loop wake-up per burst) instead of a coroutine and a future per write, and keeps
// one message per write in the order written.
#pragma once

#include "core/task.hpp"

#include <deque>

namespace kernel {
namespace nb = nanobind;

// Messages drained before the drain task lets other callbacks of the loop run.
inline constexpr int OUTPUT_DRAIN_BATCH = 64;

class OutputChannel {
public:
    OutputChannel(nb::object kernel, nb::object loop)
        : m_kernel(std::move(kernel)), m_loop(std::move(loop)) {}

    // Any thread, GIL held; never waits. Raises when the loop is closed (the message is lost).
    static void post(nb::handle self, nb::object message);
    // On the loop: returns when every message posted before the call has been sent (or failed).
    static core::Task<> flush(nb::object self);
    // Posts `message` and calls `notify(error_or_None)` on the loop once it has been sent.
    static void post_notifying(nb::handle self, nb::object message, nb::object notify);

    static void bind(nb::module_ &module);

private:
    struct Entry {
        nb::object message; // null for a flush marker
        nb::object reached; // the flush marker's future
        nb::object notify;  // called with the send's exception (or None) once it is done
    };

    static core::Task<> drain(nb::object self);
    static void schedule_drain(nb::handle self);
    static int traverse(PyObject *self, visitproc visit, void *arg);
    static int clear(PyObject *self);

    nb::object m_kernel;
    nb::object m_loop;
    nb::object m_task;         // the drain task, kept alive while it runs
    std::deque<Entry> m_queue; // touched only with the GIL held, never across a Python call
    bool m_draining = false;   // a drain task is scheduled or running
};

// One worker's sends, each confirmed before the next: post one message, then wait until the
// loop has sent it. Made once per run of user code; used on its worker thread.
class SendConfirmation {
public:
    SendConfirmation();
    void post(nb::handle channel, nb::object message);
    // Waits for the posted message's send, at most `timeout` seconds (TimeoutError then);
    // raises what the send raised.
    void wait(double timeout);

private:
    nb::object m_sent;   // a threading.Lock held until the loop has sent the message
    nb::list m_outcome;  // the send's exception or None, filled on the loop
    nb::object m_notify; // releases m_sent
};

// The kernel's channel, created for the running loop on first use.
nb::object output_channel_of(nb::handle kernel);

} // namespace kernel
