// _handle_debug_run_module and debug_execute: a workbook function run under the line debugger.
//
// The task builds the session's QuorvelDebugger, runs the function through it on a worker and
// reports the outcome; the debugger announces its own pauses. One session per kernel: a run
// that arrives while an earlier one has not finished ends that one first and waits for it, so
// the earlier run's last messages precede the new run's first, and no worker is left parked.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/debug/debug.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace kernel {
namespace {

struct DebugRun {
    nb::object module_name, function_name, args, request_id, workbook_id, source;
    nb::object debugger; // this run's own session, whatever _debugger holds later
    nb::object channel;  // the kernel's output channel
};

// Debug runs of the kernels that have not finished. Touched on the listener loop only; leaked
// like the module state.
struct ActiveRun {
    PyObject *kernel;        // compared only: the kernel outlives its running tasks
    nb::object finished;     // done when the run's task has sent its last message
    nb::object debugger;     // its session, once made
    bool superseded = false; // a newer run came before this one started its session
};

std::vector<std::shared_ptr<ActiveRun>> &active_runs() {
    static auto *runs = new std::vector<std::shared_ptr<ActiveRun>>();
    return *runs;
}

nb::set in_memory_module_names() {
    return nb::set(module_global("in_memory_loader").attr("source_cache"));
}

nb::dict output_message(const DebugRun &run, nb::handle content) {
    return message_of({{"type", INTERNED("result_output")},
                       {"content", content},
                       {"request_id", run.request_id},
                       {"workbook_id", run.workbook_id},
                       {"source", run.source}});
}

nb::dict terminated(nb::handle request_id, nb::handle workbook_id) {
    return message_of({{"type", INTERNED("debug_terminated")},
                       {"request_id", request_id},
                       {"workbook_id", workbook_id}});
}

// Runs under the debugger, so that breakpoints in the generator's body stop: a fresh generator
// from the function, consumed item by item, each announced as it comes.
nb::object iterate_generator(const DebugRun &run, nb::object function, nb::object values) {
    nb::list items;
    long yield_count = 0;
    for (nb::handle item : function(*values)) {
        ++yield_count;
        items.append(item);
        OutputChannel::post(
            run.channel,
            output_message(run, core::text("Yield [", yield_count, "]: ", nb::repr(item), "\n")));
    }
    return nb::make_tuple(items, yield_count);
}

// Steps 2.1 to 2.7 of the worker: the worker result record of a run that returned.
nb::dict run_function(nb::handle self, const DebugRun &run) {
    nb::object module = import_workbook_module(
        run.module_name, core::text("Module '", run.module_name, "' not found"));
    nb::object function = function_of(module, run.module_name, run.function_name);
    nb::object values = self.attr("_deserialize_args")(run.args);
    nb::object runcall = run.debugger.attr("runcall");
    nb::object result = runcall(function, *values);
    if (PyGen_Check(result.ptr())) {
        // The first generator is dropped unstarted; the traced iteration makes its own.
        nb::object iteration = nb::cpp_function(
            [run, function, values] { return iterate_generator(run, function, values); });
        nb::object outcome = runcall(iteration);
        nb::object items = nb::list(), yield_count = nb::int_(-1);
        if (truthy(outcome)) {
            items = outcome[0];
            yield_count = outcome[1];
        }
        return message_of({{"status", INTERNED("success")},
                           {"result", items},
                           {"is_generator", Py_True},
                           {"yield_count", yield_count}});
    }
    // A stopped run has no result to show: its function never returned one.
    if (truthy(nb::getattr(run.debugger, "stopped", Py_False)))
        return message_of({{"status", INTERNED("success")}, {"is_generator", Py_False}});
    return message_of(
        {{"status", INTERNED("success")}, {"result", result}, {"is_generator", Py_False}});
}

// Step 4 of the worker: the error reaches the IDE as "debug_exception" when it can be sent
// within DEBUG_MESSAGE_SEND_TIMEOUT. Posted through the output channel, it follows everything
// the code printed.
nb::dict report_exception(nb::handle self, const DebugRun &run, nb::handle exception) {
    log().error("[Kernel] Debug execution error: ", exception);
    nb::str traceback = extract_traceback_string(exception);
    log().error("[Kernel] Traceback: ", traceback);
    nb::dict location = parse_error_location(traceback, in_memory_module_names());
    log().info("[Kernel] Parsed error location: ", location);
    bool sent = false;
    nb::object debugger = nb::getattr(self, "_debugger", nb::none());
    if (!debugger.is_none() && !nb::getattr(debugger, "loop", nb::none()).is_none()) {
        log().info("[Kernel] Sending debug_exception message...");
        nb::dict message =
            message_of({{"type", INTERNED("debug_exception")},
                        {"workbook_id", run.workbook_id},
                        {"module", field(location, INTERNED("module"), run.module_name)},
                        {"line", field(location, INTERNED("line"), nb::int_(1))},
                        {"file", field(location, INTERNED("file"), INTERNED(""))},
                        {"exception_type", exception.type().attr("__name__")},
                        {"exception_message", nb::str(exception)},
                        {"exception_traceback", traceback},
                        {"locals", nb::list()},
                        {"globals", nb::list()},
                        {"call_stack", nb::list()}});
        try {
            SendConfirmation confirmation;
            confirmation.post(run.channel, message);
            confirmation.wait(DEBUG_MESSAGE_SEND_TIMEOUT);
            log().info("[Kernel] debug_exception message sent successfully");
            sent = true;
        } catch (nb::python_error &e) {
            if (!core::is_ordinary(e))
                throw;
            log().error("[Kernel] Failed to send debug_exception: ", core::exception_of(e));
        }
    } else {
        log().warning("[Kernel] Cannot send debug_exception - no debugger or loop");
    }
    return message_of({{"status", INTERNED("error")},
                       {"type", exception.type().attr("__name__")},
                       {"message", nb::str(exception)},
                       {"traceback", traceback},
                       {"debug_exception_sent", sent ? Py_True : Py_False}});
}

// The worker side. Its output goes to the run's stream callbacks while it runs.
nb::dict debug_execute(nb::handle self, const DebugRun &run, const StreamCallbacks &callbacks) {
    CapturedRun captured =
        run_captured(callbacks, false, [&] { return nb::object(run_function(self, run)); });
    if (!captured.error)
        return nb::borrow<nb::dict>(captured.value);
    return report_exception(self, run, core::exception_of(*captured.error));
}

// Steps 2 to 4 of the task: what the IDE is told once the worker returned.
core::Task<> report(nb::object self, DebugRun run, nb::dict record) {
    nb::object send = self.attr(INTERNED("send_message"));
    if (record["status"].equal(INTERNED("success"))) {
        if (truthy(field(record, INTERNED("is_generator"), Py_False))) {
            nb::object yield_count = field(record, INTERNED("yield_count"), nb::int_(0));
            nb::str content =
                nb::cast<long>(yield_count) >= 0
                    ? core::text("Out: Generator completed with ", yield_count, " yields\n")
                    : nb::str("Out: Generator stoped before ending\n");
            nb::dict message = output_message(run, content);
            co_await send(message);
        } else if (core::contains(record, INTERNED("result"))) {
            nb::dict message = output_message(run, out_line(record["result"]));
            co_await send(message);
        }
        log().info("[Kernel] Debug execution completed successfully, sending debug_terminated");
        nb::dict message = terminated(run.request_id, run.workbook_id);
        co_await send(message);
        co_return;
    }
    if (truthy(field(record, INTERNED("debug_exception_sent"), Py_False))) {
        log().info("[Kernel] Debug exception already sent, sending debug_terminated");
        nb::dict message = terminated(run.request_id, run.workbook_id);
        co_await send(message);
        co_return;
    }
    log().error("[Kernel] Debug execution failed: ", record);
    nb::dict message = message_of({{"type", INTERNED("execution_error")},
                                   {"success", Py_False},
                                   {"error", record},
                                   {"request_id", run.request_id},
                                   {"workbook_id", run.workbook_id},
                                   {"source", run.source}});
    co_await send(message);
}

const char *name_of_type(nb::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// Fields of the wrong type are refused before anything starts.
void check_types(const DebugRun &run, nb::handle breakpoints) {
    auto list_or_none = [](nb::handle value, const char *name) {
        if (!value.is_none() && !PyList_Check(value.ptr()))
            core::raise(PyExc_TypeError,
                        core::text("run_module: '", name, "' must be a list or null, not ",
                                   name_of_type(value)));
    };
    auto text_or_none = [](nb::handle value, const char *name) {
        if (!value.is_none() && !PyUnicode_Check(value.ptr()))
            core::raise(PyExc_TypeError,
                        core::text("run_module: '", name, "' must be a string or null, not ",
                                   name_of_type(value)));
    };
    list_or_none(run.args, "args");
    list_or_none(breakpoints, "breakpoints");
    text_or_none(run.module_name, "module_name");
    text_or_none(run.function_name, "function_name");
    text_or_none(run.request_id, "request_id");
    text_or_none(run.workbook_id, "workbook_id");
    text_or_none(run.source, "source");
}

// Earlier runs of this kernel that have not finished are ended (a session is stopped, a run
// still starting will not start one) and waited for; one that does not end in time refuses the
// new run.
core::Task<> end_earlier_runs(nb::object self, std::shared_ptr<ActiveRun> current) {
    nb::list earlier;
    for (const std::shared_ptr<ActiveRun> &run : active_runs()) {
        if (run == current || run->kernel != self.ptr())
            continue;
        run->superseded = true;
        if (run->debugger.is_valid() && !truthy(nb::getattr(run->debugger, "stopped", Py_True))) {
            log().warning("[Kernel] A debug session is active: ending it before starting another");
            run->debugger.attr("stop_debugging")();
            if (nb::getattr(self, "_debugger", nb::none()).is(run->debugger))
                self.attr("_debugger") = nb::none();
        }
        earlier.append(run->finished);
    }
    if (nb::len(earlier) == 0)
        co_return;
    nb::object asyncio = state().asyncio;
    co_await asyncio.attr("wait")(earlier, nb::arg("timeout") = DEBUG_MESSAGE_SEND_TIMEOUT);
    for (nb::handle future : earlier)
        if (!truthy(future.attr("done")()))
            core::raise(PyExc_RuntimeError,
                        "The previous debug session has not ended yet (its code is still "
                        "running outside the debugger's reach); stop it and try again");
}

// Registers the run for its lifetime and does step 7 whatever ends the task: the session is
// released, and runs waiting for this one may start.
class SessionRelease {
public:
    SessionRelease(nb::handle self, nb::object finished)
        : m_self(nb::borrow(self)), m_run(std::make_shared<ActiveRun>()) {
        m_run->kernel = self.ptr();
        m_run->finished = std::move(finished);
        active_runs().push_back(m_run);
    }
    SessionRelease(const SessionRelease &) = delete;
    const std::shared_ptr<ActiveRun> &run() const { return m_run; }
    ~SessionRelease() {
        nb::error_scope keep_raised; // an error in flight survives the clean-up
        try {
            // Only this run's own session: a later run may hold _debugger by now.
            if (m_run->debugger.is_valid() &&
                nb::getattr(m_self, "_debugger", nb::none()).is(m_run->debugger))
                m_self.attr("_debugger") = nb::none();
            log().debug("[Kernel] Debugger instance cleaned up");
            std::vector<std::shared_ptr<ActiveRun>> &runs = active_runs();
            runs.erase(std::remove(runs.begin(), runs.end(), m_run), runs.end());
            if (!truthy(m_run->finished.attr("done")()))
                m_run->finished.attr("set_result")(nb::none());
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("releasing a debug session");
        }
    }

private:
    nb::object m_self;
    std::shared_ptr<ActiveRun> m_run;
};

// The debug run itself: a session of its own, the function on a worker under it, its report.
core::Task<> debug_session(nb::object self, DebugRun &run, nb::object breakpoints,
                           SessionRelease &release, nb::object loop) {
    check_types(run, breakpoints);
    co_await end_earlier_runs(self, release.run());
    if (release.run()->superseded)
        core::raise(PyExc_RuntimeError, "A newer debug run replaced this one before it started");
    run.debugger = module_global("QuorvelDebugger")(self.attr("send_message"), run.workbook_id);
    release.run()->debugger = run.debugger;
    self.attr("_debugger") = run.debugger;
    run.debugger.attr("loop") = loop;
    run.debugger.attr("step_mode") = nb::none();
    run.debugger.attr("set_breakpoints")(breakpoints);
    run.debugger.attr("set_in_memory_modules")(nb::list(in_memory_module_names()));

    StreamCallbacks callbacks =
        make_stream_callbacks(self, run.request_id, run.workbook_id, run.source);
    run.channel = output_channel_of(self);
    auto work = [self, run, callbacks] {
        RunningRequest running(run.request_id);
        return nb::object(debug_execute(self, run, callbacks));
    };
    nb::object record = co_await on_worker(self, work);
    // A session that the kernel's disconnect stopped did not run to its end: the hub learns
    // of it from the connection's end, not from a report that would call it complete.
    if (!truthy(self.attr("running"))) {
        log().info("[Kernel] Debug run stopped by the disconnect; not reported");
        co_return;
    }
    co_await report(self, run, nb::borrow<nb::dict>(record));
}

} // namespace

core::Task<> handle_debug_run_module(nb::object self, nb::object module_name,
                                     nb::object function_name, nb::object args,
                                     nb::object breakpoints, nb::object request_id,
                                     nb::object workbook_id, nb::object source) {
    DebugRun run{module_name, function_name, args,         request_id,
                 workbook_id, source,        nb::object(), nb::object()};
    nb::object loop = state().asyncio.attr("get_running_loop")();
    SessionRelease release(self, loop.attr("create_future")());
    auto failure =
        co_await core::ordinary_failure(debug_session(self, run, breakpoints, release, loop));
    if (!failure)
        co_return;
    nb::object error = core::exception_of(*failure);
    log().error("[Kernel] Error in debug execution: ", error);
    log().error("[Kernel] Traceback: ", extract_traceback_string(error));
    nb::dict reply = message_of({{"type", INTERNED("execution_error")},
                                 {"success", Py_False},
                                 {"error", error_object(error)},
                                 {"request_id", request_id},
                                 {"workbook_id", workbook_id},
                                 {"source", source}});
    co_await send_error_message(self, reply);
}

} // namespace kernel
