// Running user code: the code cell executor, the worker pool and its admission of formula calls,
// the shape every user-code path shares, interrupts, open streams and their cancels, the object
// keeper and the blocking requests user code makes of the spreadsheet.
#pragma once

#include "core/task.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/streams/streams.hpp"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <nanobind/nanobind.h>
#include <optional>
#include <string>

// Holding a threading.Lock for a scope (the pending host-request tables' guard).
namespace kernel {
namespace nb = nanobind;

// Acquires in the constructor (threading.Lock.acquire releases the GIL while it waits) and
// releases in the destructor. Critical sections are a few dictionary operations.
class ThreadLockHold {
public:
    explicit ThreadLockHold(nb::object lock) : m_lock(std::move(lock)) { m_lock.attr("acquire")(); }
    ThreadLockHold(const ThreadLockHold &) = delete;
    ~ThreadLockHold() {
        PyObject *result = PyObject_CallMethod(m_lock.ptr(), "release", nullptr);
        if (result)
            Py_DECREF(result);
        else
            PyErr_WriteUnraisable(m_lock.ptr());
    }

private:
    nb::object m_lock;
};

} // namespace kernel

// Traceback helpers shared by every path that reports an error of user code.
namespace kernel {
namespace nb = nanobind;

// The error object of an exception: {"type", "message", "traceback"}.
nb::dict error_object(const nb::python_error &error);
nb::dict error_object(nb::handle exception);
nb::dict error_object(const char *type, const char *message, const char *traceback = "");

// "".join(traceback.format_exception(type(e), e, e.__traceback__)).
nb::str extract_traceback_string(nb::handle exception);

// The last "<virtual:module>" location in a traceback text, else the first location whose file
// name contains one of `in_memory_modules`: {"module", "line", "file"}, or {}.
nb::dict parse_error_location(nb::handle traceback_text, nb::handle in_memory_modules);

} // namespace kernel

// CodeExecutor: runs code cells in one namespace that persists across cells.
namespace kernel {
namespace nb = nanobind;

struct CodeExecutor {};

void bind_code_executor(nb::module_ &module);

// True for the exceptions user code may raise that are reported as its error instead of
// leaving the kernel: ordinary exceptions, and SystemExit / KeyboardInterrupt raised by the
// code itself (a cell calling exit() must not end the kernel).
bool is_user_error(const nb::python_error &error);

} // namespace kernel

// The worker threads that run user code, and what becomes of them when the kernel disconnects
// while they still do: user code cannot be stopped from outside, so they are left behind as
// daemon threads and the process exits without waiting for them.
namespace kernel {
namespace nb = nanobind;

// Marks the calling thread as running user code for the scope. GIL held.
class BusyWorker {
public:
    BusyWorker();
    BusyWorker(const BusyWorker &) = delete;
    ~BusyWorker();

private:
    unsigned long m_thread;
};

// After the pool was shut down (on the loop, GIL held): the pool's threads still running user
// code are detached from the interpreter's exit, which would otherwise join them for as long as
// the code runs; they become daemon threads, and a warning names them.
void abandon_busy_workers(nb::handle pool);

} // namespace kernel

// WorkQueue: the work on its way to the worker pool, and the outcomes on their way back.
//
// Handing each piece of work to the pool on its own costs a pool future with its condition
// lock, a wake-up of an idle worker and, back on the loop, a wake-up per outcome: under a burst
// of formula calls this was a third of what a call cost the kernel. Here the work waits in one
// queue instead, and up to `workers` runners on the pool's threads take it in arrival order,
// each going on to the next piece until none is left; outcomes gather in a second queue that
// the loop settles in one callback, woken once however many arrived meanwhile.
//
// The first runner to find no work waits for more, without the GIL, for RUNNER_LINGER seconds
// before it gives its thread back to the pool (the others give theirs back at once: parked
// runners woken for every piece of a burst cost more thread switches than they save). A runner
// wakes the loop only once it has let go of the GIL. So a cell run after another finds a runner
// awake, and the loop that settles it does not wait for the runner's bookkeeping: on this
// two-core machine a trivial cell's round trip went from about 0.56 to 0.45 ms.
//
// What user code sees is unchanged: it runs on the pool's threads, at most `workers` pieces at
// once, started in the order submitted, and work that waits when the kernel disconnects never
// starts.
namespace kernel {
namespace nb = nanobind;

// How long a runner without work waits for more before it leaves the pool's thread, in seconds.
inline constexpr double RUNNER_LINGER = 0.5;

class WorkQueue {
public:
    // The references the garbage collector sees (core::gc_slots).
    int traverse(visitproc visit, void *arg);
    void clear();
    WorkQueue(nb::object pool, nb::object loop, int workers);
    ~WorkQueue();

    // On the loop: queues `body` (a callable) and returns the future that its outcome settles:
    // its return value, or the exception it raised. Cancelling the future before a runner took
    // the work drops it. RuntimeError after close().
    static nb::object submit(nb::handle self, nb::object body);
    // On the loop, at disconnect: work that has not started is dropped, waiting runners leave,
    // and later submits raise.
    static void close(nb::handle self);

    static void bind(nb::module_ &module);

private:
    struct Job {
        nb::object body;
        nb::object done; // the loop's future for the outcome
    };
    struct Outcome {
        nb::object done;
        nb::object value;
        nb::object error; // null when the body returned
    };

    // On the loop, before the first work: lets the loop watch the wake-up pipe, when it can.
    static void watch(nb::handle self);
    // On a pool thread: runs queued work until none comes for RUNNER_LINGER.
    static void run(nb::handle self);
    // Takes the next job; with `wait`, waits (without the GIL) up to RUNNER_LINGER for one, and
    // when none came, counts the calling runner out.
    bool take(std::optional<Job> &job, bool wait);
    // On the loop: settles the futures of every outcome that arrived.
    static void settle(nb::handle self);
    // Tell the loop that outcomes arrived: one byte down the pipe, which needs no GIL; with the
    // GIL held, call_soon_threadsafe instead where the loop cannot watch the pipe.
    void wake_loop_without_gil();
    void wake_loop(nb::handle self);

    nb::object m_pool;
    nb::object m_loop;
    int m_workers;
    bool m_watch_tried = false;
    // The loop watches m_wake_read when it can watch a descriptor; a runner then wakes it with
    // one byte, without the GIL. Otherwise (-1) the runner calls call_soon_threadsafe.
    int m_wake_read = -1;
    int m_wake_write = -1;

    // Runners wait for work and hand outcomes over without the GIL: the queues and the counts
    // below are under m_lock, which nobody holds while taking the GIL or calling Python. Python
    // objects inside are only moved under it; they are created and released with the GIL held.
    std::mutex m_lock;
    std::condition_variable m_work;
    std::deque<Job> m_jobs;
    std::deque<Outcome> m_outcomes;
    int m_runners = 0; // runners started and not yet finished
    int m_idle = 0;    // runners waiting for work (one at most)
    bool m_closed = false;
    bool m_signalled = false; // the loop was told about outcomes it has not settled yet
};

// The kernel's work queue, feeding its `_thread_pool`; created for the running loop on first use.
nb::object work_queue_of(nb::handle kernel);

} // namespace kernel

// CallAdmission: how many formula calls are at the worker pool at once.
//
// A burst of formula calls (thousands of frames read in a row) would otherwise put every call on
// the pool's queue at once, each holding its futures, closures and callbacks while it waits: a
// large live heap that the cyclic garbage collector scans again and again as the burst grows.
// Calls beyond MAX_ADMITTED_CALLS wait here instead, in arrival order, holding only their task.
// The pool runs them in the same order either way. Runs on the listener loop, GIL held.
namespace kernel {
namespace nb = nanobind;

// Enough to keep every worker busy while the loop hands the next calls over, and to let many
// replies share a gathered frame: a burst of 10,000 calls ran about 9% faster than with 20.
inline constexpr int MAX_ADMITTED_CALLS = 64;

class CallAdmission {
public:
    // The references the garbage collector sees (core::gc_slots).
    int traverse(visitproc visit, void *arg);
    void clear();
    explicit CallAdmission(nb::object loop) : m_loop(std::move(loop)) {}

    // Returns once the caller may go to the pool; its slot is given back by AdmittedCall.
    static core::Task<> enter(nb::object self);
    // Gives the slot to the first call still waiting, or frees it.
    void leave();

    static void bind(nb::module_ &module);

private:
    nb::object m_loop;
    int m_admitted = 0;
    std::deque<nb::object> m_waiting; // futures, resolved when their call's turn has come
};

// Holds an admitted call's slot for the scope, however the scope is left.
class AdmittedCall {
public:
    explicit AdmittedCall(nb::object admission) : m_admission(std::move(admission)) {}
    AdmittedCall(const AdmittedCall &) = delete;
    ~AdmittedCall();

private:
    nb::object m_admission;
};

// The kernel's admission, created for the running loop on first use.
nb::object call_admission_of(nb::handle kernel);

} // namespace kernel

// The shape shared by every path that runs workbook code on a worker (custom functions, Run,
// callables, event handlers, streaming generators): find the code, run it on the pool with its
// output captured and streamed, and report. Each path adds only what differs.
namespace kernel {

// What a worker-side run leaves behind.
struct CapturedRun {
    nb::object value;                      // what the body returned; null when it raised
    std::optional<nb::python_error> error; // the user error it raised
    nb::object logs;                       // captured stdout text, then captured stderr text
};

// On a worker: runs `body` with this thread's standard streams captured and streamed through
// `callbacks`. A user error leaving `body` is caught; when `print_traceback`, its traceback is
// first printed to the captured stderr, so it is streamed and part of `logs` too.
CapturedRun run_captured(const StreamCallbacks &callbacks, bool print_traceback,
                         const std::function<nb::object()> &body);

// The worker result record of a run whose body returned (value, wire form): status "success"
// with `result` (the wire form), `base_result` and `logs`, or status "error" with the traceback.
nb::dict result_record(const CapturedRun &run);

// Prints the traceback of `error` to sys.stderr (the captured one, inside run_captured).
void print_traceback(const nb::python_error &error);

// Imports a workbook module by name (never by executing text) and returns it from sys.modules;
// ImportError(missing_text) when the import left no entry there.
nb::object import_workbook_module(nb::handle module_name, nb::handle missing_text);

// module.function_name, or AttributeError "Function 'f' not found in module 'm'".
nb::object function_of(nb::handle module, nb::handle module_name, nb::handle function_name);

// On the loop: runs `fn` on the kernel's worker pool and returns what it returned, once every
// message posted to the output channel meanwhile has been sent.
core::Task<nb::object> on_worker(nb::object kernel, std::function<nb::object()> fn);

// As on_worker, on a thread of its own (named `name`) rather than the pool: for work that
// lasts as long as its requester wants, such as a stream, which would otherwise hold one of the
// pool's few workers for its whole life (ten streaming cells would leave no worker for any
// other call or cell). At most MAX_OWN_THREADS run at once; beyond, RuntimeError.
core::Task<nb::object> on_own_thread(nb::object kernel, nb::str name,
                                     std::function<nb::object()> fn);
inline constexpr int MAX_OWN_THREADS = 256;

// The task side the paths share: `work` on the pool (it returns the worker result record), the
// record's non-empty "logs" logged at info after `logs_title`, then the awaitable that
// `report(record)` returns. Returns None, or the ordinary exception that escaped any of it, for
// the path's own failure reply.
core::Task<nb::object> run_and_report(nb::object kernel, std::function<nb::object()> work,
                                      const char *logs_title,
                                      std::function<nb::object(nb::dict)> report);

// repr(value) framed as the console shows a result: "Out: " + repr + "\n".
nb::str out_line(nb::handle value);

// "<thread name>" of the calling thread, for "[Worker Thread ...]" log lines.
nb::object current_thread_name();

} // namespace kernel

// Interrupting a run: "interrupt_execution" raises KeyboardInterrupt in the worker that runs the
// request it names, at that worker's next bytecode boundary, and the run ends with its usual
// failure replies.
//
// The interrupt is aimed at the request, not at the thread. Each run registers the thread it
// runs on for the span of its user code (`InterruptibleSpan`); an interrupt reaches only the runs
// registered at that moment, and a run that ends clears an interrupt still pending on its
// thread, both under one lock. So a worker that finished the request before the interrupt
// landed never carries it into its next job.
//
// Code inside one C call (a long time.sleep, a blocking read) ends that call first: the
// exception is raised when the thread runs bytecode again.
namespace kernel {
namespace nb = nanobind;

// On a worker, GIL held: names the request the calling thread works for, for the scope.
class RunningRequest {
public:
    explicit RunningRequest(nb::handle request_id);
    RunningRequest(const RunningRequest &) = delete;
    RunningRequest &operator=(const RunningRequest &) = delete;
    ~RunningRequest();

private:
    nb::object m_request_id;
    PyObject *m_outer; // the request named before, restored at the end
};

// The tail of each path that runs workbook code (custom function, callable, event): the call's
// output streamed to its requester as `source`, `execute(self, call, callbacks)` on the pool
// while the call's request can be interrupted, then `report(self, call, record)`, through
// run_and_report, whose result this is.
template <class Call, class Execute, class Report>
core::Task<nb::object> run_user_call(nb::object self, const Call &call, nb::handle source,
                                     const char *logs_title, Execute execute, Report report) {
    StreamCallbacks callbacks =
        make_stream_callbacks(self, call.request_id, call.workbook_id, nb::borrow(source));
    auto work = [self, call, callbacks, execute] {
        RunningRequest running(call.request_id);
        return nb::object(execute(self, call, callbacks));
    };
    auto reply = [self, call, report](nb::dict record) {
        return report(self, call, record).into_python("report");
    };
    return run_and_report(self, work, logs_title, reply);
}

// On a worker, GIL held, around the user code itself (inside its streams' redirection, which
// an exception must never cut short): the span in which an interrupt may land in the run of
// the request the thread works for. Nothing when it works for none.
class InterruptibleSpan {
public:
    InterruptibleSpan();
    InterruptibleSpan(const InterruptibleSpan &) = delete;
    InterruptibleSpan &operator=(const InterruptibleSpan &) = delete;
    ~InterruptibleSpan();

private:
    unsigned long m_thread;
    unsigned long m_serial = 0; // 0: not registered
};

// GIL held: raises KeyboardInterrupt in every registered run of `request_id` (text), or in
// every registered run when `request_id` is None. Returns the ids reached (a list of texts,
// each once).
nb::list interrupt_runs(nb::handle request_id);

} // namespace kernel

// Which streaming functions a "cancel_streaming_function" may name: those announced by the
// dispatcher or running. A cancel for any other id is logged and forgotten, so the set of
// remembered cancels never outgrows the streams that can honour them.
namespace kernel {
namespace nb = nanobind;

// Most cancels remembered at once; one beyond it is refused with a warning.
inline constexpr Py_ssize_t MAX_PENDING_CANCELS = 1024;
// Seconds a cancelled stream's generator has to reach its next yield before it is interrupted.
inline constexpr double CANCEL_GRACE = 0.05;

// The open streams of one kernel, by request id: how many are open under each id, and how many
// of those the dispatcher announced before their task started. Ids are hashable JSON values
// (text, numbers), so these tables hold no reference cycle. Touched on the listener loop only.
class OpenStreams {
public:
    // The dispatcher starts a stream's task: a cancel may name it from now on.
    void announce(nb::handle request_id);
    // The stream's task starts: takes over its announcement, or opens the stream when it was
    // started without the dispatcher.
    void start(nb::handle request_id);
    // The stream's task ends; when no stream is open under the id, its cancel is forgotten too.
    void end(nb::handle kernel, nb::handle request_id);
    bool is_open(nb::handle request_id) const;

private:
    nb::dict m_open;      // request id -> streams open under it
    nb::dict m_announced; // request id -> announced streams whose task has not started yet
};

// The kernel's table, or null for an object that is not a PythonKernel (a stand-in in a test).
OpenStreams *open_streams_of(nb::handle kernel);

// Marks one stream open for a scope: the task of _execute_streaming_function holds one from its
// first step to its end, whichever way it ends.
class OpenStream {
public:
    OpenStream(nb::handle kernel, nb::handle request_id);
    OpenStream(const OpenStream &) = delete;
    ~OpenStream();

private:
    nb::object m_kernel, m_request_id;
};

} // namespace kernel

// The object keeper: named objects that user code keeps alive in the kernel between calls.
namespace kernel {
namespace nb = nanobind;

// What one object's repr may put on the wire, in characters: a longer text is cut there and
// marked with its full length. A kept object's repr is user code; the IDE shows one line of it.
inline constexpr Py_ssize_t MAX_REPR_LENGTH = 4096;

// Adds save_object, get_object, clear_object, clear_all_objects, get_object_registry,
// set_enable_events and show_message_box to the module's PythonKernel class.
void bind_object_keeper(nb::module_ &module);

} // namespace kernel

// Blocking requests from user code to the spreadsheet, carried as "sys_request"/"sys_response".
namespace kernel {
namespace nb = nanobind;

// The kernel's `new_send_request_sync(req, timeout=30.0)`, installed on the host bridge as
// messaging.send_request_sync. Blocks the calling worker until the answer or the time-out.
nb::object make_send_request_sync(nb::handle kernel);

// The kernel's `send_stream_message(stream_type, content)`, the sender behind the process-wide
// stream hooks: posts the message and returns at once, from any thread.
nb::object make_send_stream_message(nb::handle kernel);

} // namespace kernel
