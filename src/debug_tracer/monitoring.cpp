// The tracing backend of Python 3.12 and later: sys.monitoring, with events kept where a stop
// is possible.
//
// Events are per code object, not per thread. PY_START fires once per code object (it answers
// DISABLE) and turns on local LINE events for code with breakpoints; LINE events at lines
// without a breakpoint answer DISABLE unless a step is in progress. A step over or out watches
// the paused frame's code (LINE, PY_RETURN, PY_YIELD, and the global PY_UNWIND) and moves to
// the caller when that frame leaves; a step into turns on LINE events everywhere until the next
// pause. Only the session's worker stops: other threads get None (or DISABLE) back at once.
#include "debug_tracer/tracer.hpp"

#if PY_VERSION_HEX >= 0x030C0000

#include "core/errors.hpp"

#include <frameobject.h>

namespace debug_tracer {

struct Tracer::BackendState {
    PyObject *self = nullptr;
    int tool = -1;
    nb::object monitoring, disable;
    long py_start = 0, line = 0, py_return = 0, py_yield = 0, py_unwind = 0;
    nb::dict seen;           // code objects started during the session -> local events set
    nb::object step_frame;   // the frame a step over or out follows
    nb::object resume_frame; // a generator stepped over at its yield: it stops when resumed
};

namespace {

Tracer::BackendState &state_of(Tracer &tracer) { return *tracer.backend_state(); }

bool on_worker(Tracer &tracer) { return PyThreadState_Get() == tracer.thread_state(); }

long step_events(Tracer::BackendState &state) {
    return state.line | state.py_return | state.py_yield;
}

bool runs_code(nb::handle frame, PyCodeObject *code) {
    if (!frame.is_valid())
        return false;
    PyCodeObject *own = PyFrame_GetCode(reinterpret_cast<PyFrameObject *>(frame.ptr()));
    Py_DECREF(own);
    return own == code;
}

// The local events `code` needs now: lines where it has breakpoints, and the step's events when
// it runs a followed frame.
long wanted_events(Tracer &tracer, Tracer::BackendState &state, PyCodeObject *code) {
    long events = tracer.info(code).has_breakpoints() ? state.line : 0;
    if (runs_code(state.step_frame, code) || runs_code(state.resume_frame, code))
        events |= step_events(state);
    return events;
}

void set_local_events(Tracer::BackendState &state, nb::handle code, long events) {
    nb::object current = state.seen.contains(code) ? nb::object(state.seen[code]) : nb::none();
    if (!current.is_none() && nb::cast<long>(current) == events)
        return;
    state.monitoring.attr("set_local_events")(state.tool, code, events);
    state.seen[code] = events;
}

void refresh_code(Tracer &tracer, Tracer::BackendState &state, nb::handle code) {
    set_local_events(state, code,
                     wanted_events(tracer, state, reinterpret_cast<PyCodeObject *>(code.ptr())));
}

// The followed frame leaves (returns, yields or unwinds): follow its caller when the user
// wrote it. A generator stepped over at a yield is followed too: the step stops at whichever
// of the two runs a line first (the caller, or the generator resumed by code of ours).
void leaving(Tracer &tracer, Tracer::BackendState &state, PyFrameObject *frame, bool yielded) {
    nb::object left = nb::borrow(reinterpret_cast<PyObject *>(frame));
    nb::object left_code = nb::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(frame)));
    PyFrameObject *back = PyFrame_GetBack(frame);
    nb::object caller = nb::steal(reinterpret_cast<PyObject *>(back));
    bool user_caller = false;
    if (back) {
        PyCodeObject *code = PyFrame_GetCode(back);
        user_caller = tracer.is_user(tracer.info(code), code);
        Py_DECREF(code);
    }
    bool over_yield = yielded && tracer.step_mode() == StepMode::Over;
    state.resume_frame = over_yield ? left : nb::object();
    if (user_caller) {
        state.step_frame = caller;
        tracer.set_step_mode(StepMode::Over);
        refresh_code(tracer, state, nb::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(back))));
    } else if (over_yield) {
        state.step_frame = nb::object();
    } else {
        state.step_frame = nb::object();
        tracer.set_step_mode(StepMode::None);
    }
    refresh_code(tracer, state, left_code);
}

nb::object on_start(Tracer &tracer, nb::handle code) {
    Tracer::BackendState &state = state_of(tracer);
    if (tracer.busy() && on_worker(tracer))
        return nb::none(); // our own helper code: decided when it starts again
    refresh_code(tracer, state, code);
    return state.disable;
}

nb::object on_line(Tracer &tracer, nb::handle code, int line) {
    Tracer::BackendState &state = state_of(tracer);
    PyCodeObject *code_object = reinterpret_cast<PyCodeObject *>(code.ptr());
    bool at_breakpoint = tracer.info(code_object).has_line(line);
    bool stepping_now = tracer.step_mode() != StepMode::None;
    if (!on_worker(tracer) || tracer.busy() || tracer.stopped())
        return at_breakpoint || stepping_now ? nb::none() : state.disable;
    tracer.count_line_event();
    PyFrameObject *frame = PyEval_GetFrame();
    bool stepping = false;
    switch (tracer.step_mode()) {
    case StepMode::Into:
        stepping = tracer.is_user(tracer.info(code_object), code_object);
        break;
    case StepMode::Over:
        stepping = state.step_frame.ptr() == reinterpret_cast<PyObject *>(frame) ||
                   state.resume_frame.ptr() == reinterpret_cast<PyObject *>(frame);
        break;
    default:
        break;
    }
    if ((at_breakpoint || stepping) && tracer.pause(reinterpret_cast<PyObject *>(frame), line, 0,
                                                    at_breakpoint, stepping, nb::handle()) < 0)
        throw nb::python_error();
    return at_breakpoint || tracer.step_mode() != StepMode::None ? nb::none() : state.disable;
}

nb::object on_leave(Tracer &tracer, bool yielded) {
    Tracer::BackendState &state = state_of(tracer);
    if (!on_worker(tracer))
        return nb::none();
    PyObject *frame = reinterpret_cast<PyObject *>(PyEval_GetFrame());
    if (frame && state.step_frame.ptr() == frame)
        leaving(tracer, state, reinterpret_cast<PyFrameObject *>(frame), yielded);
    else if (frame && state.resume_frame.ptr() == frame)
        state.resume_frame = nb::object(); // it left again without running a line
    return nb::none();
}

void set_global_events(Tracer::BackendState &state, long events) {
    state.monitoring.attr("set_events")(state.tool, events);
}

} // namespace

namespace backend {

const char *name() { return "sys.monitoring"; }

void begin(Tracer &tracer, PyObject *self) {
    if (!tracer.backend_state())
        tracer.backend_state() = new Tracer::BackendState();
    Tracer::BackendState &state = state_of(tracer);
    state.self = self;
    nb::object monitoring = nb::module_::import_("sys").attr("monitoring");
    state.monitoring = monitoring;
    state.disable = monitoring.attr("DISABLE");
    nb::object events = monitoring.attr("events");
    state.py_start = nb::cast<long>(events.attr("PY_START"));
    state.line = nb::cast<long>(events.attr("LINE"));
    state.py_return = nb::cast<long>(events.attr("PY_RETURN"));
    state.py_yield = nb::cast<long>(events.attr("PY_YIELD"));
    state.py_unwind = nb::cast<long>(events.attr("PY_UNWIND"));
    state.tool = -1;
    int preferred = nb::cast<int>(monitoring.attr("DEBUGGER_ID"));
    for (int tool : {preferred, 3, 4}) {
        if (!monitoring.attr("get_tool")(tool).is_none())
            continue;
        monitoring.attr("use_tool_id")(tool, "quorvel debugger");
        state.tool = tool;
        break;
    }
    if (state.tool < 0)
        core::raise(PyExc_RuntimeError, "No sys.monitoring tool id is free for the debugger");

    Tracer *session = &tracer;
    auto start = [session](nb::handle code, nb::handle) { return on_start(*session, code); };
    auto line = [session](nb::handle code, int number) { return on_line(*session, code, number); };
    auto returned = [session](nb::handle, nb::handle, nb::handle) {
        return on_leave(*session, false);
    };
    auto yielded = [session](nb::handle, nb::handle, nb::handle) {
        return on_leave(*session, true);
    };
    nb::object register_callback = monitoring.attr("register_callback");
    register_callback(state.tool, state.py_start, nb::cpp_function(start));
    register_callback(state.tool, state.line, nb::cpp_function(line));
    register_callback(state.tool, state.py_return, nb::cpp_function(returned));
    register_callback(state.tool, state.py_yield, nb::cpp_function(yielded));
    register_callback(state.tool, state.py_unwind, nb::cpp_function(returned));
    set_global_events(state, state.py_start);
    // Locations an earlier session disabled for this tool id would stay silent.
    monitoring.attr("restart_events")();
}

void end(Tracer &tracer) {
    Tracer::BackendState *state = tracer.backend_state();
    if (!state || state->tool < 0)
        return;
    ErrorAside raised;
    try {
        set_global_events(*state, 0);
        for (auto [code, events] : state->seen)
            if (nb::cast<long>(events) != 0)
                state->monitoring.attr("set_local_events")(state->tool, code, 0);
        for (long event :
             {state->py_start, state->line, state->py_return, state->py_yield, state->py_unwind})
            state->monitoring.attr("register_callback")(state->tool, event, nb::none());
        state->monitoring.attr("free_tool_id")(state->tool);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("ending the debugger's sys.monitoring events");
    }
    state->tool = -1;
    state->seen.clear();
    state->step_frame = state->resume_frame = nb::object();
}

void suspend(Tracer &) {} // events fire only where a stop is possible
void resume(Tracer &) {}

void breakpoints_changed(Tracer &tracer) {
    Tracer::BackendState *state = tracer.backend_state();
    if (!state || state->tool < 0)
        return;
    for (nb::handle code : nb::list(state->seen.keys()))
        refresh_code(tracer, *state, code);
    state->monitoring.attr("restart_events")();
}

void step_changed(Tracer &tracer, PyObject *frame) {
    Tracer::BackendState &state = state_of(tracer);
    nb::object previous[] = {state.step_frame, state.resume_frame};
    state.step_frame = state.resume_frame = nb::object();
    StepMode mode = tracer.step_mode();
    if (mode == StepMode::Over || mode == StepMode::Out)
        state.step_frame = nb::borrow(frame);
    for (nb::handle old : previous)
        if (old.is_valid() && old.ptr() != frame)
            refresh_code(tracer, state,
                         nb::steal(reinterpret_cast<PyObject *>(
                             PyFrame_GetCode(reinterpret_cast<PyFrameObject *>(old.ptr())))));
    refresh_code(tracer, state,
                 nb::steal(reinterpret_cast<PyObject *>(
                     PyFrame_GetCode(reinterpret_cast<PyFrameObject *>(frame)))));
    long global = state.py_start;
    if (mode == StepMode::Into)
        global |= state.line;
    else if (mode != StepMode::None)
        global |= state.py_unwind;
    set_global_events(state, global);
    if (mode != StepMode::None)
        state.monitoring.attr("restart_events")();
}

void release(Tracer &tracer) {
    end(tracer);
    delete tracer.backend_state();
    tracer.backend_state() = nullptr;
}

} // namespace backend
} // namespace debug_tracer

#endif
