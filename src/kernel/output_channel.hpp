// OutputChannel: the hand-off of stream messages from any thread to the listener loop.
//
// A writer posts a message; one drain task on the loop sends the posted messages in order, each
// through the kernel's send_message. This costs one deque append per write (and a loop wake-up
// per burst) instead of a coroutine and a future per write, and keeps one message per write in
// the order written.
//
// The channel is bounded: it holds at most MAX_QUEUED_OUTPUT, counted as the text of each
// message plus QUEUED_MESSAGE_OVERHEAD for its envelope (so a flood of one-character writes is
// bounded too). A writer whose message would pass the bound waits, without the GIL, until the
// loop has sent the channel down to half the bound; nothing is dropped, and a message larger than
// the bound goes through alone. Writes made on the loop's own thread never wait (the loop is what
// drains the channel): they are queued beyond the bound. They come from code the loop runs
// (libraries, handlers answered inline), not from user code, which runs on the workers.
#pragma once

#include "core/task.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace kernel {
namespace nb = nanobind;

// Messages drained before the drain task lets other callbacks of the loop run.
inline constexpr int OUTPUT_DRAIN_BATCH = 64;
// The most output queued before writers wait, in characters of text (8 MiB).
inline constexpr Py_ssize_t MAX_QUEUED_OUTPUT = 8 * 1024 * 1024;
// A writer that had to wait goes on once the loop has sent the channel down to this (half the
// bound): waking it for every message sent would make writer and loop take turns message by
// message, at the speed of a thread switch.
inline constexpr Py_ssize_t RESUME_QUEUED_OUTPUT = MAX_QUEUED_OUTPUT / 2;
// What each queued message counts for besides its text.
inline constexpr Py_ssize_t QUEUED_MESSAGE_OVERHEAD = 256;

class OutputChannel {
public:
    OutputChannel(nb::object kernel, nb::object loop);

    // Any thread, GIL held. Waits (GIL released) while the channel is full, except on the loop's
    // thread. Raises when the channel is closed or the loop is gone (the message is lost then).
    static void post(nb::handle self, nb::object message);
    // On the loop: returns when every message posted before the call has been sent (or failed).
    static core::Task<> flush(nb::object self);
    // Posts `message` and calls `notify(error_or_None)` on the loop once it has been sent.
    static void post_notifying(nb::handle self, nb::object message, nb::object notify);
    // On the loop, at disconnect: what is still queued is dropped, waiting writers are released
    // and later posts raise.
    static void close(nb::handle self);
    // Counts `size` more for `message`, a posted message still waiting that takes more text
    // (stream text merged into it), when the channel has room for it now (or on the loop's
    // thread); false when it has not: the writer then posts a message of its own, which waits.
    static bool grow(nb::handle self, nb::handle message, Py_ssize_t size);
    // What the queued messages count for, against MAX_QUEUED_OUTPUT.
    Py_ssize_t queued() const;

    static void bind(nb::module_ &module);

private:
    struct Entry {
        nb::object message; // null for a flush marker
        nb::object reached; // the flush marker's future
        nb::object notify;  // called with the send's exception (or None) once it is done
        Py_ssize_t size = 0;
    };

    static void push(nb::handle self, Entry entry);
    static core::Task<> drain(nb::object self);
    static void schedule_drain(nb::handle self);
    // Counts `size` in, first waiting for room unless called on the loop's thread. False when the
    // channel is closed.
    bool reserve(Py_ssize_t size);
    void release(Py_ssize_t size);
    static int traverse(PyObject *self, visitproc visit, void *arg);
    static int clear(PyObject *self);

    nb::object m_kernel;
    nb::object m_loop;
    nb::object m_task;         // the drain task, kept alive while it runs
    std::deque<Entry> m_queue; // touched only with the GIL held, never across a Python call
    bool m_draining = false;   // a drain task is scheduled or running
    // What posted messages grew by after posting, by message (borrowed: each is owned by its
    // entry, and forgotten when sent or dropped). GIL held.
    std::unordered_map<PyObject *, Py_ssize_t> m_grown;
    unsigned long m_loop_thread;

    // Writers wait for room without the GIL, so the count of queued output has a lock of its
    // own. Nobody holds m_room_lock while taking the GIL: the two cannot deadlock.
    mutable std::mutex m_room_lock;
    std::condition_variable m_room;
    Py_ssize_t m_queued = 0; // under m_room_lock
    int m_waiting = 0;       // writers waiting for room, under m_room_lock
    bool m_closed = false;   // set under m_room_lock by the loop's thread, which reads it freely
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
