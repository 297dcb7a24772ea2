// The debugger's native module, python_server._debug_tracer: the Tracer class, the two
// exceptions it raises, and the helpers the Python debugger calls in a paused frame.
//
// A module of its own rather than part of the kernel: the debugger is a component beside the
// kernel, which reaches it only through QuorvelDebugger.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "debug_tracer/tracer.hpp"

#include <frameobject.h>

namespace nb = nanobind;
using namespace debug_tracer;

NB_MODULE(_debug_tracer, m) {
    DebugStopped = PyErr_NewExceptionWithDoc(
        "python_server._debug_tracer.DebugStopped",
        "Unwinds the code of a debug session that was stopped. Derived from BaseException, so "
        "that `except Exception` in user code lets it pass.",
        PyExc_BaseException, nullptr);
    TimeLimitExceeded = PyErr_NewExceptionWithDoc(
        "python_server._debug_tracer.TimeLimitExceeded",
        "Raised in a call made with call_with_time_limit once its time is up.", PyExc_BaseException,
        nullptr);
    m.attr("DebugStopped") = nb::handle(DebugStopped);
    m.attr("TimeLimitExceeded") = nb::handle(TimeLimitExceeded);

    m.attr("CONTINUE") = static_cast<int>(Command::Continue);
    m.attr("STEP_OVER") = static_cast<int>(Command::StepOver);
    m.attr("STEP_INTO") = static_cast<int>(Command::StepInto);
    m.attr("STEP_OUT") = static_cast<int>(Command::StepOut);

    nb::class_<Tracer>(m, "Tracer", nb::type_slots(core::gc_slots<Tracer>()),
                       "Traces one worker thread for a debug session and parks it where it "
                       "must stop.")
        .def(nb::init<nb::object, nb::object, nb::object>(), nb::arg("on_pause"),
             nb::arg("evaluate"), nb::arg("is_user_file"))
        .def(
            "runcall",
            [](nb::pointer_and_handle<Tracer> self, nb::handle function, nb::args args) {
                return self.p->runcall(self.h, function, args);
            },
            nb::arg("function"), nb::arg("args"),
            "Calls function(*args) on this thread, traced. Returns its value, or None when the "
            "session was stopped.")
        .def("set_breakpoints", &Tracer::set_breakpoints, nb::arg("files"),
             "Replaces the breakpoints: {filename: iterable of lines}.")
        .def(
            "post_command",
            [](Tracer &tracer, int command) {
                if (command < static_cast<int>(Command::Continue) ||
                    command > static_cast<int>(Command::StepOut))
                    core::raise(PyExc_ValueError, "unknown debugger command");
                return tracer.post_command(static_cast<Command>(command));
            },
            nb::arg("command"),
            "Resumes the paused worker (CONTINUE or a step); False when nothing is paused.")
        .def("stop", &Tracer::stop, "Ends the session: the worker unwinds promptly.")
        .def("evaluate", &Tracer::evaluate, nb::arg("expression"), nb::arg("deliver"),
             "Has the paused worker evaluate `expression` and call deliver(answer); False when "
             "nothing is paused.")
        .def_prop_ro("paused", &Tracer::paused)
        .def_prop_ro("stopped", &Tracer::stopped)
        .def_prop_ro("line_events", &Tracer::line_events,
                     "Line events the session's thread reported so far.")
        .def_prop_ro("backend", &Tracer::backend_name);

    m.def("call_with_time_limit", &call_with_time_limit, nb::arg("fn"), nb::arg("seconds"),
          "fn() on this thread; TimeLimitExceeded is raised in it once `seconds` have passed.");
    m.def(
        "locals_to_fast",
        [](nb::handle frame) {
            if (!PyFrame_Check(frame.ptr()))
                core::raise(PyExc_TypeError, "locals_to_fast expects a frame");
#if PY_VERSION_HEX < 0x030D0000
            PyFrame_LocalsToFast(reinterpret_cast<PyFrameObject *>(frame.ptr()), 0);
#endif
        },
        nb::arg("frame"),
        "Writes a frame's f_locals back into its variables (f_locals writes through on its own "
        "from Python 3.13).");
}
