// Tracer: the native half of the line debugger. One per debug session; it traces one worker
// thread, decides in C++ where that thread must stop, and parks it there until the loop thread
// sends a command.
//
// Threads: the session's worker runs `runcall`, the trace hooks and the pause loop; the loop
// thread calls `post_command`, `stop`, `evaluate` and `set_breakpoints`. Everything that touches
// Python holds the GIL; the command queue has its own mutex, and the worker waits for commands
// on a condition variable with the GIL released.
#pragma once

#include "core/errors.hpp"
#include "core/objects.hpp"

#include <nanobind/nanobind.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace debug_tracer {
namespace nb = nanobind;

// Keeps the raised error (if any) aside for a scope and raises it again at the end, so that
// Python can be called meanwhile.
class ErrorAside {
public:
    ErrorAside() : m_exception(core::detail::fetch_exception()) {}
    ~ErrorAside() {
        if (m_exception)
            core::detail::restore_exception(m_exception);
    }
    ErrorAside(const ErrorAside &) = delete;
    PyObject *exception() const { return m_exception; }
    // The error is not raised again: the caller owns it now.
    PyObject *take() { return std::exchange(m_exception, nullptr); }

private:
    PyObject *m_exception;
};

// What the loop thread asks a paused worker to do. The values are the module's constants.
enum class Command : int { Continue = 0, StepOver = 1, StepInto = 2, StepOut = 3, Stop = 4 };

enum class StepMode { None, Into, Over, Out };

// Where the worker is. Only the worker changes it, with the GIL held; the loop thread reads it
// with the GIL held too.
enum class Phase {
    Idle,       // outside runcall
    Running,    // running traced code
    Pausing,    // in the Python pause handler (building and sending the pause message)
    Waiting,    // parked on the condition variable, GIL released
    Evaluating, // running an expression in the paused frame
};

// What the tracer knows about one code object for the current breakpoint set. Kept on the code
// object itself (its co_extra slot), so the hot path needs no hash lookup.
struct CodeInfo {
    uint64_t stamp = 0; // the breakpoint set it was computed for; 0 = never
    bool user_known = false;
    bool user = false;      // code the user wrote (stepping stops only there)
    std::vector<int> lines; // breakpoint lines among this code object's own lines

    bool has_breakpoints() const { return !lines.empty(); }
    bool has_line(int line) const {
        for (int l : lines)
            if (l == line)
                return true;
        return false;
    }
};

class Tracer {
public:
    // on_pause(frame, line, at_breakpoint, stepping, exception) -> bool: decides whether to
    // stop (breakpoint conditions, hit counts), and when it stops, announces the pause.
    // evaluate(frame, expression) -> dict. is_user_file(filename) -> bool.
    Tracer(nb::object on_pause, nb::object evaluate, nb::object is_user_file);
    ~Tracer();
    Tracer(const Tracer &) = delete;

    // Worker thread: calls `function(*args)` traced; the function's value, or None when the
    // session was stopped. An exception leaving the function first pauses the session at the
    // user line that raised it.
    nb::object runcall(nb::handle self, nb::handle function, nb::handle args);

    // Loop thread (any thread, GIL held).
    void set_breakpoints(nb::handle files); // {filename: iterable of 1-based lines}
    bool post_command(Command command);     // false when nothing waits for one
    void stop();
    bool evaluate(nb::object expression, nb::object deliver); // false when not paused

    bool paused() const;
    bool stopped() const { return m_stopped; }
    // Line events the worker reported: frames with nothing to stop at report none.
    uint64_t line_events() const { return m_line_events; }
    void count_line_event() { ++m_line_events; }
    const char *backend_name() const;

    // Used by the backends, on the worker with the GIL held.
    CodeInfo &info(PyCodeObject *code);
    bool is_user(CodeInfo &info, PyCodeObject *code);
    // True when frames of `code` at stack depth `depth` must report lines.
    bool needs_lines(PyCodeObject *code, int depth);
    // True while every decision depends on breakpoints alone (no step, no stop, not paused),
    // so that the hot paths can use a code object's cached info without calling Python.
    bool runs_plainly() const {
        return !m_stopped && !m_busy && m_phase == Phase::Running && m_step == StepMode::None;
    }
    uint64_t stamp() const { return m_stamp; }
    // The code object's info when it is current for this breakpoint set, else null. No Python.
    const CodeInfo *cached_info(PyCodeObject *code) const;
    // A line event of a traced frame at `depth`; -1 with a Python error to raise in the frame.
    int on_line(PyObject *frame, PyCodeObject *code, int line, int depth);
    // Stops at `frame` and serves commands until one resumes it; -1 with DebugStopped set.
    int pause(PyObject *frame, int line, int depth, bool at_breakpoint, bool stepping,
              nb::handle exception);

    StepMode step_mode() const { return m_step; }
    void set_step_mode(StepMode mode) { m_step = mode; }
    int step_depth() const { return m_step_depth; }
    bool busy() const { return m_busy; }
    unsigned long thread_id() const { return m_thread_id; }
    PyThreadState *thread_state() const { return m_tstate; }

    // The backend's per-session state (defined by the backend in use).
    struct BackendState;
    BackendState *&backend_state() { return m_backend; }

    // The references the garbage collector sees (core::gc_slots).
    int traverse(visitproc visit, void *arg);
    void clear();

private:
    struct Pending {
        Command command = Command::Continue;
        nb::object expression; // set for an evaluation
        nb::object deliver;    // called with the evaluation's answer
    };

    // A step in progress stops at a line of `code` at `depth` (the hook backend's depth rule:
    // over stops at the same depth or above, out only above).
    bool step_stops(CodeInfo &code_info, PyCodeObject *code, int depth);
    Pending wait_for_command();
    // Back to running (or, when `stop`, to unwinding with DebugStopped raised): 0 or -1.
    // Whether the error set is an interrupt of the run, which is then kept for the pause's end.
    bool took_interrupt();
    int leave_pause(bool stop);
    // Hands an evaluation's answer to the loop thread; a failure there is reported, not raised.
    void answer_evaluation(nb::handle deliver, nb::handle answer);
    void answer_evaluation(nb::handle deliver, const char *error);
    void interrupt(); // raises DebugStopped in the worker at its next bytecode boundary
    void set_phase(Phase phase);

    nb::object m_on_pause, m_evaluate, m_is_user_file;
    nb::object m_files; // dict: filename -> frozenset of breakpoint lines
    uint64_t m_stamp;
    uint64_t m_line_events = 0;

    StepMode m_step = StepMode::None;
    int m_step_depth = 0;
    bool m_stopped = false;
    // An interrupt of the run (KeyboardInterrupt) met the debugger's own code during a pause:
    // it is raised in the user's code once the pause ends, instead of being lost there.
    bool m_interrupted = false;
    bool m_busy = false; // computing code info: the hooks let frames through untouched
    Phase m_phase = Phase::Idle;
    unsigned long m_thread_id = 0;
    PyThreadState *m_tstate = nullptr;

    BackendState *m_backend = nullptr;

    std::mutex m_mutex; // guards m_queue
    std::condition_variable m_wakeup;
    std::deque<Pending> m_queue;
};

// The exception that unwinds a stopped session, and the one a time limit raises.
extern PyObject *DebugStopped;
extern PyObject *TimeLimitExceeded;

// Backends: how the worker's frames are traced. One is chosen for the whole process.
namespace backend {
const char *name();
// Around runcall, on the worker.
void begin(Tracer &tracer, PyObject *self);
void end(Tracer &tracer);
// Around a pause, on the worker: a paused session costs other threads nothing.
void suspend(Tracer &tracer);
void resume(Tracer &tracer);
// The breakpoint set changed while the worker runs (called on the loop thread).
void breakpoints_changed(Tracer &tracer);
// The step mode changed before the worker resumes (called on the worker).
void step_changed(Tracer &tracer, PyObject *frame);
// The session object goes away: frees the backend's state.
void release(Tracer &tracer);
} // namespace backend

// Calls fn() on this thread; TimeLimitExceeded is raised in it after `seconds`.
nb::object call_with_time_limit(nb::handle fn, double seconds);

} // namespace debug_tracer
