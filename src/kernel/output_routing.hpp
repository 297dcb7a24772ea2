// Per-thread routing of the process-wide stream hooks to an execution's captures.
//
// While a worker runs user code, what that thread writes to the hooked sys.stdout/sys.stderr
// goes to the execution's StreamCapture instead of the process-wide path. Routing by thread
// keeps concurrent executions apart: each worker's output reaches its own request, and the
// process streams never point at a finished execution's capture.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

enum class StreamKind { Stdout, Stderr };

// The capture the current thread routes `kind` to, or null (borrowed).
PyObject *routed_capture(StreamKind kind);

// Routes the current thread's writes of `kind` to `capture` for the scope's lifetime; nests.
class CaptureRoute {
public:
    CaptureRoute(StreamKind kind, nb::handle capture);
    CaptureRoute(const CaptureRoute &) = delete;
    ~CaptureRoute();

private:
    StreamKind m_kind;
    PyObject *m_previous;
};

} // namespace kernel
