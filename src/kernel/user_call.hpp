// The shape shared by every path that runs workbook code on a worker (custom functions, Run,
// callables, event handlers, streaming generators): find the code, run it on the pool with its
// output captured and streamed, and report. Each path adds only what differs.
#pragma once

#include "core/task.hpp"
#include "kernel/stream_callbacks.hpp"

#include <functional>
#include <optional>

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
