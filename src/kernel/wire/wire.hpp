// The wire: what the kernel reads from and writes to the hub's socket. Message fields and the
// replies to bad input, the outbound serialiser and encoder, the socket lock, one inbound frame's
// path to the dispatcher, the output channel that carries messages from any thread to the
// listener loop, and the two writers that gather waiting messages into "batch" frames.
#pragma once

#include "core/objects.hpp"
#include "core/task.hpp"
#include "kernel/kernel_module.hpp"

#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <nanobind/nanobind.h>
#include <unordered_map>
#include <utility>

// Reading fields of inbound and outbound messages with the defaults a dict.get would give.
namespace kernel {
namespace nb = nanobind;
using core::field;
using core::truthy;

// A message with these fields, in this order (the order receivers see).
nb::dict message_of(std::initializer_list<std::pair<const char *, nb::handle>> fields);

// {"type": "error", "message": text}: the reply to malformed input.
nb::dict error_reply(const char *text);
nb::dict error_reply(nb::handle text);
// The same reply to a message that was read but could not be handled; it carries the message's
// `request_id` when the message had one, so that its requester can tell which request failed.
nb::dict error_reply_to(nb::handle message, nb::handle text);

} // namespace kernel

// The serialiser of every outbound frame: orjson when importable, else the standard json module.
namespace kernel {
namespace nb = nanobind;

// Chooses the serialiser once, at module load.
void init_json_dumps();
// json_dumps(obj): compact UTF-8 JSON text with orjson, json.dumps defaults otherwise (and for a
// message orjson refuses but the standard module encodes: text with lone surrogates). Raises what
// the serialiser raises for values it cannot encode.
nb::str json_dumps(nb::handle obj);
// True when orjson was chosen.
bool json_dumps_uses_orjson();

} // namespace kernel

// Serialising an outbound message whose fields hold JSON data that the serialiser still refuses
// (nesting deeper than it goes): such a field goes out as its repr text instead.
namespace kernel {
namespace nb = nanobind;

// json_dumps(message). When it fails, each top-level field holding only JSON data (objects,
// arrays, text, numbers, booleans, null) that cannot be serialised on its own is replaced by
// its repr text (shortened as reprlib shortens it), the error is logged naming the fields, and
// the copy is sent: a reply echoing what a request carried still goes out. Raises the
// serialiser's error when no such field explains the failure (a value JSON cannot carry).
nb::str encode_message(nb::handle message);

} // namespace kernel

// Holding an asyncio.Lock across co_awaits, released on every way out of the scope.
namespace kernel {
namespace nb = nanobind;

// Constructed after `co_await lock.acquire()` succeeded; releases in its destructor, including
// when the frame unwinds from an exception or is closed. GIL held (frames run with it).
class AsyncLockHold {
public:
    explicit AsyncLockHold(nb::object lock) : m_lock(std::move(lock)) {}
    AsyncLockHold(const AsyncLockHold &) = delete;
    ~AsyncLockHold();

private:
    nb::object m_lock;
};

} // namespace kernel

// One inbound frame, from the socket to the dispatcher, refused with an error reply when any step
// fails: no frame ends the read loop.
namespace kernel {
namespace nb = nanobind;

// On the listener loop: checks the frame's size, decodes a binary frame as UTF-8, parses the
// JSON and awaits handle_message with the object. A failure of any step (a branch handled inline
// included) is logged with the frame's type and answered {"type": "error", "message": ...};
// reading goes on. Only the connection's end and non-ordinary exceptions (cancellation) leave.
core::Task<> read_frame(nb::object self, nb::object frame);

} // namespace kernel

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
    // The references the garbage collector sees (core::gc_slots).
    int traverse(visitproc visit, void *arg);
    void clear();
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
// instead of making a message of its own (output_channel.cpp).
//
// Everything here runs on the listener loop with the GIL held, unless a comment says otherwise.
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
    // The references the garbage collector sees (core::gc_slots).
    int traverse(visitproc visit, void *arg);
    void clear();
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

// MessageBatcher: a queue that groups messages queued within FLUSH_INTERVAL into one "batch"
// frame. The kernel runs it from connect to disconnect for components that enqueue; it is not on
// the kernel's own send path (send_message writes each frame, or hands it to the FrameGatherer
// of a connection started with gathered output).
namespace kernel {
namespace nb = nanobind;

struct MessageBatcher {};

void bind_message_batcher(nb::module_ &module);

} // namespace kernel
