// Where user output goes: each execution's StreamCapture, the per-thread routing of the
// process-wide stream hooks to it, the pass-through redirection of runs without a connected
// kernel, the per-run callbacks that post writes to the output channel, and the hooks a
// connected kernel installs in the process.
#pragma once

#include <nanobind/nanobind.h>
#include <optional>

// Per-thread routing of the process-wide stream hooks to an execution's captures.
//
// While a worker runs user code, what that thread writes to the hooked sys.stdout/sys.stderr
// goes to the execution's StreamCapture instead of the process-wide path. Routing by thread
// keeps concurrent executions apart: each worker's output reaches its own request, and the
// process streams never point at a finished execution's capture.
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

// StreamCapture: the text stream an execution's standard output or error goes to.
namespace kernel {
namespace nb = nanobind;

// Creates the StreamCapture class, a subclass of io.TextIOBase.
nb::object make_stream_capture_class(nb::handle module);

} // namespace kernel

// StreamRedirect: sends what the current thread writes to sys.stdout or sys.stderr to a capture.
//
// Always by per-thread routing through a KernelStreamHook, so that concurrent executions keep
// their output apart and the process streams are never left pointing at a finished capture:
// - when the process stream is already a hook (a connected kernel), only the route is set;
// - otherwise a pass-through hook (no send callback) replaces the stream while at least one
//   execution needs it, and the stream it replaced comes back when the last one ends.
namespace kernel {

class StreamRedirect {
public:
    StreamRedirect(StreamKind kind, nb::handle capture);
    StreamRedirect(const StreamRedirect &) = delete;
    ~StreamRedirect();

private:
    StreamKind m_kind;
    bool m_shares_router = false;
    std::optional<CaptureRoute> m_route;
};

} // namespace kernel

// The stdout and stderr callbacks of one run of user code.
namespace kernel {
namespace nb = nanobind;

struct StreamCallbacks {
    nb::object stdout_callback;
    nb::object stderr_callback;
};

// {"type": type, "content": text, "request_id", "workbook_id", "source"}: one write's message.
nb::dict stream_message(nb::handle type, nb::handle text, nb::handle request_id,
                        nb::handle workbook_id, nb::handle source);

// Two callables taking the written text: each call posts {"type": "stdout" / "stderr",
// "content": text, "request_id", "workbook_id", "source"} to the kernel's output channel and
// returns at once. A failure to post is logged at debug ("[Kernel] stdout streaming error: ...")
// and swallowed. Made on the listener loop; called on the worker thread that runs the code.
StreamCallbacks make_stream_callbacks(nb::handle kernel, nb::object request_id,
                                      nb::object workbook_id, nb::object source);

} // namespace kernel

// KernelStreamHook: the process-wide sys.stdout / sys.stderr of a connected kernel.
namespace kernel {
namespace nb = nanobind;

// Creates the KernelStreamHook class, a subclass of io.TextIOBase.
nb::object make_kernel_stream_hook_class(nb::handle module);

} // namespace kernel

// What connect installs in the process for user code, and disconnect takes back: the standard
// streams and the host bridge's blocking request function.
namespace kernel {
namespace nb = nanobind;

// Called last by connect, on the listener loop.
void install_host_hooks(nb::handle self);
// Called by disconnect: puts back the streams the kernel found at construction.
void remove_host_hooks(nb::handle self);

} // namespace kernel
