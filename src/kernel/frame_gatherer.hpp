// FrameGatherer: the socket writer of a kernel started with gathered output.
//
// A message that finds the writer idle is written at once, alone. From then until the loop has
// turned once, and for as long as frames are being written, every message that arrives waits in
// order; the writer then sends all that waited as one "batch" frame (as a few frames when they
// would not fit in CHUNK_SIZE; a single waiting message goes as itself). A message longer than
// CHUNK_SIZE is never gathered: it goes out alone, chunked. Nothing waits for a timer.
//
// Stream output is gathered earlier still: a write of user code whose "stdout" / "stderr" message
// is still waiting in the output channel, for the same execution, is added to that message
// instead of making a message of its own (merged_stream_text.cpp).
//
// Everything here runs on the listener loop with the GIL held, unless a comment says otherwise.
#pragma once

#include "core/task.hpp"
#include "kernel/kernel_module.hpp"

#include <deque>

namespace kernel {
namespace nb = nanobind;

// The most a merged stream message may hold, in characters of its JSON text at worst (every
// character escaped), so that merging never makes a message longer than CHUNK_SIZE.
inline constexpr Py_ssize_t MAX_MERGED_TEXT = CHUNK_SIZE - 4096;

// Most characters of serialised messages waiting for the writer. A sender beyond it waits
// until a frame went out, so a slow socket slows the senders down as it does without gathering.
inline constexpr Py_ssize_t MAX_GATHERED_CHARS = 4 * CHUNK_SIZE;

class FrameGatherer {
public:
    FrameGatherer(nb::object kernel, nb::object loop)
        : m_kernel(std::move(kernel)), m_loop(std::move(loop)) {}

    // Sends `raw`, the serialised message: now when the writer is idle (raising what the socket
    // raises), else with the next frame. A gathered sender returns once its message is queued,
    // unless the queue is full; the sender of a message longer than CHUNK_SIZE returns once it
    // was written.
    static core::Task<> submit(nb::object self, nb::str raw, nb::object type,
                               nb::object request_id);
    // The common case of submit() without a coroutine: queues `raw` when a frame is being
    // written and there is room; false when submit() must be awaited instead.
    static bool queue(nb::handle self, nb::handle raw, nb::handle type, nb::handle request_id);
    bool busy() const { return m_busy; }
    // Returns when every message submitted before the call has been written (or failed).
    static core::Task<> flush(nb::object self);

    // Any thread, GIL held; never waits. Posts {"type": type, "content": text, "request_id",
    // "workbook_id", "source"} to the output channel, or adds `text` to the content of the
    // message of the same stream and execution that is still waiting there.
    static void post_stream_text(nb::handle self, nb::handle channel, nb::handle type,
                                 nb::handle text, nb::handle request_id, nb::handle workbook_id,
                                 nb::handle source);
    // Before `message` is serialised: if it is the waiting stream message, it takes its whole
    // text now and no more after.
    void claim(nb::handle message);

    static void bind(nb::module_ &module);

    // When the pump ends, however it ends: releases every waiter; a pump cancelled with messages
    // still queued (the kernel is going down) drops them rather than send them out of order.
    void end_pump();

private:
    struct Entry {
        nb::str raw;
        nb::object type, request_id;
        nb::object written; // a future, for a message whose sender waits until it is written
    };

    static core::Task<> write_alone(nb::object kernel, nb::str raw, nb::object type,
                                    nb::object request_id);
    static core::Task<> pump(nb::object self);
    // Called by the loop once the turn of an inline write is over.
    static void end_of_turn(nb::handle self);
    static void wake(nb::list &waiters);
    // The next frame's text from the head of the queue: up to CHUNK_SIZE of whole messages.
    nb::str take_batch();
    // The waiting stream message takes its whole text and no more.
    void close_open();
    static int traverse(PyObject *self, visitproc visit, void *arg);
    static int clear(PyObject *self);

    nb::object m_kernel;
    nb::object m_loop;
    std::deque<Entry> m_queue;
    Py_ssize_t m_queued_chars = 0;
    bool m_busy = false; // a frame is being written, or the turn of one is not over
    nb::object m_pump;   // the task writing the queue, while it runs
    nb::list m_space;    // futures of senders waiting for room in the queue
    nb::list m_idle;     // futures of flush() callers
    // The stream message that is waiting in the output channel and still takes text, its
    // pieces of text and their cost. Touched with the GIL held and never across a call that
    // could release it, so a worker cannot add text to a message the loop has serialised.
    nb::object m_open;
    nb::object m_open_pieces;
    Py_ssize_t m_open_cost = 0;
};

// The kernel's gatherer, or None when output is not gathered.
nb::object frame_gatherer_of(nb::handle kernel);

// The kernel's gatherer when a message sent now would only join the frame being gathered and the
// kernel's own _send_message_direct would write it (not a replacement, whose caller must see
// every message), with no debug line to write; else null. send_message then queues the message
// itself, without a coroutine for the writer.
nb::object gatherer_to_join(nb::handle kernel);

// Before `message` is serialised by `kernel` (see FrameGatherer::claim).
void claim_stream_text(nb::handle kernel, nb::handle message);

// At connect: gives the kernel a gatherer when its connection_args["gather_output"] is true or
// the environment has QUORVEL_GATHER_OUTPUT=1.
void install_frame_gatherer(nb::handle kernel);

} // namespace kernel
