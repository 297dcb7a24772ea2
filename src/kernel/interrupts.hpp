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
#pragma once

#include "core/task.hpp"

#include <string>

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

// The inline branch of "interrupt_execution": answered once with "interrupt_result".
core::Task<> handle_interrupt_execution(nb::object self, nb::object message);

} // namespace kernel
