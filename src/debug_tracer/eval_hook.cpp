// The tracing backend of Python 3.9 to 3.11: a frame-evaluation hook that turns line tracing
// on only for the frames of the session's thread that can stop.
//
// A C trace function makes every instruction of a traced thread take the interpreter's slow
// path, even in frames whose line events it ignores. So the worker is not traced as a whole:
// the hook sees every frame the worker starts or resumes (generators included), asks the
// session whether frames of that code at that depth can stop (a cached per-code answer), and
// switches line tracing on or off for that frame, restoring the caller's state when it
// returns. Frames with nothing to stop at run at full speed. The hook is installed only while
// some session's code runs: a paused session costs other threads nothing, and other threads
// pass through it with one comparison while it is installed.
#include "debug_tracer/tracer.hpp"

#if PY_VERSION_HEX < 0x030C0000

#include <frameobject.h>

#include <algorithm>

// 3.11 keeps "trace this frame" in one byte of the running C frame: the hook flips it directly
// while our trace function stays installed, instead of installing and removing the function
// (with its audit event) around every call.
#if PY_VERSION_HEX >= 0x030B0000
#define SWITCH_TRACING_IN_PLACE 1
#else
#define SWITCH_TRACING_IN_PLACE 0
#endif

namespace debug_tracer {

struct Tracer::BackendState {
    struct Level {
        PyCodeObject *code;
        const CodeInfo *info; // its info when last current (null when not known)
    };
    PyObject *self = nullptr; // the Python Tracer object: the trace function's argument
    std::vector<Level> stack; // the worker's frames entered through the hook
    bool tracing = false;     // the top frame reports lines
    bool installed = false;   // our trace function is the worker's
    // The frame of the last line event at the top of the stack and its code's info, valid until
    // that frame leaves the stack (it stays alive until then: its address is not reused).
    PyFrameObject *line_frame = nullptr;
    const CodeInfo *line_info = nullptr;
    size_t line_depth = 0;
};

namespace {

#if PY_VERSION_HEX >= 0x030B0000
using EvalFrame = struct _PyInterpreterFrame;
// The leading fields of 3.11's _PyInterpreterFrame, which the public headers keep opaque.
struct FramePrefix {
    PyObject *f_func, *f_globals, *f_builtins, *f_locals;
    PyCodeObject *f_code;
};
PyCodeObject *code_of(EvalFrame *frame) { return reinterpret_cast<FramePrefix *>(frame)->f_code; }
#else
using EvalFrame = PyFrameObject;
PyCodeObject *code_of(EvalFrame *frame) { return frame->f_code; }
#endif

// Sessions whose code runs now (not paused), and the evaluator the hook hands frames to.
// Guarded by the GIL.
std::vector<Tracer *> &running() {
    static auto *sessions = new std::vector<Tracer *>();
    return *sessions;
}
Tracer *g_only = nullptr; // the one running session, when there is exactly one
_PyFrameEvalFunction g_next = nullptr;

Tracer::BackendState &state_of(Tracer &tracer) { return *tracer.backend_state(); }

int trace_lines(PyObject *object, PyFrameObject *frame, int what, PyObject *);

// Installs or removes our trace function on the worker. A raised error stays raised.
void install_trace_function(Tracer::BackendState &state, bool on) {
    state.installed = on;
    state.tracing = on;
    if (!PyErr_Occurred()) {
        PyEval_SetTrace(on ? trace_lines : nullptr, on ? state.self : nullptr);
        return;
    }
    ErrorAside raised;
    PyEval_SetTrace(on ? trace_lines : nullptr, on ? state.self : nullptr);
}

// On the worker: line events on or off for the frame about to run (or running) at the top.
void set_tracing(PyThreadState *tstate, Tracer::BackendState &state, bool on) {
#if SWITCH_TRACING_IN_PLACE
    if (on && !state.installed) {
        install_trace_function(state, true);
        return;
    }
    state.tracing = on;
    tstate->cframe->use_tracing = on ? 255 : 0;
#else
    (void)tstate;
    if (state.tracing != on)
        install_trace_function(state, on);
#endif
}

// The top frame has nothing to stop at any more: line events off until the hook decides again.
// (Inside a trace call the interpreter recomputes the switch from the trace function on its
// way out, so the function itself goes.)
void stop_tracing_top(Tracer::BackendState &state) {
    if (state.installed)
        install_trace_function(state, false);
}

int trace_lines(PyObject *object, PyFrameObject *frame, int what, PyObject *) {
    if (what != PyTrace_LINE)
        return 0;
    Tracer &tracer = *nb::inst_ptr<Tracer>(object);
    Tracer::BackendState &state = state_of(tracer);
    tracer.count_line_event();
    if (frame == state.line_frame && tracer.runs_plainly() &&
        state.line_info->stamp == tracer.stamp() &&
        !state.line_info->has_line(PyFrame_GetLineNumber(frame)))
        return 0;
    PyCodeObject *code = PyFrame_GetCode(frame);
    Py_DECREF(code); // the frame keeps it alive
    // A frame the hook did not see (one the interpreter ran inline) sits one level deeper.
    bool hooked = !state.stack.empty() && state.stack.back().code == code;
    int depth = static_cast<int>(state.stack.size()) + (hooked ? 0 : 1);
    PyObject *frame_object = reinterpret_cast<PyObject *>(frame);
    if (tracer.on_line(frame_object, code, PyFrame_GetLineNumber(frame), depth) < 0)
        return -1;
    if (hooked && tracer.cached_info(code)) {
        state.line_frame = frame;
        state.line_info = tracer.cached_info(code);
        state.line_depth = state.stack.size();
    }
    if (!tracer.busy() && !tracer.needs_lines(code, depth)) {
        if (hooked)
            stop_tracing_top(state); // the hook turns it back on for the caller if needed
        else if (PyObject_SetAttrString(frame_object, "f_trace_lines", Py_False) < 0)
            PyErr_Clear();
    }
    return 0;
}

// Sets line tracing for the frame at the top of the hook's stack. A raised error (a frame
// resumed by throw(), or one returning with an exception) is kept aside while the decision
// calls Python.
void decide(PyThreadState *tstate, Tracer &tracer, Tracer::BackendState &state) {
    Tracer::BackendState::Level &level = state.stack.back();
    if (tracer.runs_plainly()) {
        const CodeInfo *info = level.info && level.info->stamp == tracer.stamp()
                                   ? level.info
                                   : tracer.cached_info(level.code);
        if (info) {
            level.info = info;
            set_tracing(tstate, state, info->has_breakpoints());
            return;
        }
    }
    bool need;
    {
        ErrorAside raised;
        need = tracer.needs_lines(level.code, static_cast<int>(state.stack.size()));
        level.info = tracer.cached_info(level.code);
    }
    set_tracing(tstate, state, need);
}

Tracer *session_of(PyThreadState *tstate) {
    if (g_only)
        return g_only->thread_state() == tstate ? g_only : nullptr;
    for (Tracer *tracer : running())
        if (tracer->thread_state() == tstate)
            return tracer;
    return nullptr;
}

PyObject *eval_hook(PyThreadState *tstate, EvalFrame *frame, int throwflag) {
    Tracer *tracer = session_of(tstate);
    if (!tracer || tracer->busy())
        return g_next(tstate, frame, throwflag);
    PyCodeObject *code = code_of(frame);
    if (!PyCode_Check(reinterpret_cast<PyObject *>(code)))
        return g_next(tstate, frame, throwflag);
    Tracer::BackendState &state = state_of(*tracer);
    state.stack.push_back({code, nullptr});
    decide(tstate, *tracer, state);
    PyObject *result = g_next(tstate, frame, throwflag);
    if (state.line_depth == state.stack.size())
        state.line_frame = nullptr;
    state.stack.pop_back();
    if (state.stack.empty())
        set_tracing(tstate, state, false);
    else
        decide(tstate, *tracer, state);
    return result;
}

void install() {
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    _PyFrameEvalFunction current = _PyInterpreterState_GetEvalFrameFunc(interpreter);
    if (current == eval_hook)
        return;
    g_next = current; // chains to another hook if one is installed
    _PyInterpreterState_SetEvalFrameFunc(interpreter, eval_hook);
}

void uninstall() {
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    if (_PyInterpreterState_GetEvalFrameFunc(interpreter) == eval_hook)
        _PyInterpreterState_SetEvalFrameFunc(interpreter, g_next);
}

void add_running(Tracer &tracer) {
    std::vector<Tracer *> &sessions = running();
    if (std::find(sessions.begin(), sessions.end(), &tracer) == sessions.end())
        sessions.push_back(&tracer);
    g_only = sessions.size() == 1 ? sessions.front() : nullptr;
    install();
}

void remove_running(Tracer &tracer) {
    std::vector<Tracer *> &sessions = running();
    sessions.erase(std::remove(sessions.begin(), sessions.end(), &tracer), sessions.end());
    g_only = sessions.size() == 1 ? sessions.front() : nullptr;
    if (sessions.empty())
        uninstall();
}

} // namespace

namespace backend {

const char *name() { return "frame evaluation hook"; }

void begin(Tracer &tracer, PyObject *self) {
    if (!tracer.backend_state())
        tracer.backend_state() = new Tracer::BackendState();
    Tracer::BackendState &state = state_of(tracer);
    state.self = self;
    state.stack.clear();
    state.line_frame = nullptr;
    state.installed = state.tracing = false;
#if SWITCH_TRACING_IN_PLACE
    // Installed once for the session; runcall's own frame does not report lines.
    install_trace_function(state, true);
    set_tracing(PyThreadState_Get(), state, false);
#endif
    add_running(tracer);
}

void end(Tracer &tracer) {
    Tracer::BackendState &state = state_of(tracer);
    if (state.installed)
        install_trace_function(state, false);
    state.stack.clear();
    state.line_frame = nullptr;
    remove_running(tracer);
}

void suspend(Tracer &tracer) { remove_running(tracer); }

void resume(Tracer &tracer) { add_running(tracer); }

void breakpoints_changed(Tracer &tracer) {
    // The worker's running frames decided at entry; new breakpoints may lie in one of them.
    // Tracing the worker from its innermost frame on lets each frame decide again: frames with
    // nothing to stop at switch it off at their next line, and the hook re-decides for callers.
    Tracer::BackendState *state = tracer.backend_state();
    PyThreadState *worker = tracer.thread_state();
    if (!state || !worker)
        return;
    state->line_frame = nullptr;
#if SWITCH_TRACING_IN_PLACE
    if (state->installed) {
        worker->cframe->use_tracing = 255; // the worker waits for the GIL we hold
        state->tracing = true;
        return;
    }
#endif
    if (state->tracing && state->installed)
        return;
    if (_PyEval_SetTrace(worker, trace_lines, state->self) < 0) {
        PyErr_WriteUnraisable(state->self);
        return;
    }
    state->installed = state->tracing = true;
}

void step_changed(Tracer &, PyObject *) {} // steps are decided by depth at every frame entry

void release(Tracer &tracer) {
    remove_running(tracer);
    delete tracer.backend_state();
    tracer.backend_state() = nullptr;
}

} // namespace backend
} // namespace debug_tracer

#endif
