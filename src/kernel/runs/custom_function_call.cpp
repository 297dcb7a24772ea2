// A module function called from a formula ("custom_function_call"), and the IDE's Run
// ("run_module"), which is one without debugging.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

// _handle_custom_function_call: a module function called from a formula. Two replies: the
// console's execution_result / execution_error, then the function_execution_result the formula
// waits for, whatever the code does.
namespace kernel {
namespace {

struct Call {
    nb::object module_name, function_name, args, request_id, workbook_id, source;
};

// The worker side: runs the function and converts its result (a generator is consumed, every
// item converted). Returns the worker result record.
nb::dict execute_function(nb::handle self, const Call &call, const StreamCallbacks &callbacks) {
    // The thread's name costs a lookup through threading: asked for only when it is logged.
    if (log().enabled(core::Logger::DEBUG))
        log().debug("[Kernel] [Worker Thread ", current_thread_name(),
                    "] Executing custom function: ", call.module_name, ".", call.function_name);
    nb::object to_wire = state().quorvel.attr("Serializer").attr("to_wire");
    CapturedRun run = run_captured(callbacks, true, [&] {
        nb::object module = import_workbook_module(
            call.module_name,
            core::text("Module '", call.module_name,
                       "' not found in sys.modules. Make sure the module has been synced via "
                       "update_module."));
        nb::object function = function_of(module, call.module_name, call.function_name);
        nb::object values = self.attr("_deserialize_args")(call.args);
        nb::object value = function(*values);
        nb::object wire;
        if (PyGen_Check(value.ptr())) {
            nb::list items;
            for (nb::handle item : value)
                items.append(to_wire(item));
            wire = items;
        } else {
            wire = to_wire(value);
        }
        return nb::make_tuple(value, wire);
    });
    return result_record(run);
}

// The console's reply: "execution_result" (success, with `result`) or "execution_error" (with
// `error`); `logs` only when given.
nb::dict console_reply(const Call &call, bool success, nb::handle value, nb::handle logs) {
    nb::dict message;
    message["type"] = success ? "execution_result" : "execution_error";
    message["success"] = success;
    message[success ? "result" : "error"] = value;
    if (logs.is_valid())
        message["logs"] = logs;
    message["request_id"] = call.request_id;
    message["module_name"] = call.module_name;
    message["function_name"] = call.function_name;
    message["workbook_id"] = call.workbook_id;
    message["source"] = call.source;
    return message;
}

// The formula's reply.
nb::dict function_reply(const Call &call, const char *status,
                        std::initializer_list<std::pair<const char *, nb::handle>> fields) {
    nb::dict message = message_of({{"type", INTERNED("function_execution_result")},
                                   {"request_id", call.request_id},
                                   {"status", nb::str(status)}});
    for (const auto &[key, value] : fields)
        message[key] = value;
    return message;
}

// Both failure messages, the general one first, so that every client sees the failure and the
// waiting formula completes.
core::Task<> send_error(nb::object self, Call call, nb::dict error) {
    nb::object send = self.attr(INTERNED("send_message"));
    nb::dict general = console_reply(call, false, error, nb::handle());
    co_await send(general);
    nb::dict reply = function_reply(call, "error", {{"error", error}});
    co_await send(reply);
}

core::Task<> report(nb::object self, Call call, nb::dict record) {
    nb::object send = self.attr(INTERNED("send_message"));
    nb::object logs = field(record, INTERNED("logs"), INTERNED(""));
    if (record["status"].equal(INTERNED("success"))) {
        nb::object result = record["result"];
        if (!result.is_none()) {
            nb::dict message = message_of({{"type", INTERNED("result_output")},
                                           {"content", out_line(record["base_result"])},
                                           {"request_id", call.request_id},
                                           {"workbook_id", call.workbook_id},
                                           {"source", call.source}});
            co_await send(message);
        }
        nb::dict general = console_reply(call, true, result, logs);
        co_await send(general);
        nb::dict reply = function_reply(call, "success", {{"result", result}, {"logs", logs}});
        co_await send(reply);
        log().info("[Kernel] Custom function call succeeded: ", call.module_name, ".",
                   call.function_name);
        co_return;
    }
    nb::object error = field(record, INTERNED("error"), INTERNED("Unknown error"));
    nb::dict general = console_reply(call, false, error, logs);
    co_await send(general);
    nb::dict reply =
        function_reply(call, "error", {{"result", Py_None}, {"logs", logs}, {"error", error}});
    co_await send(reply);
    log().error("[Kernel] Custom function call failed: ", call.module_name, ".",
                call.function_name);
}

bool is_empty(nb::handle value) { return !truthy(value); }

} // namespace

core::Task<> handle_custom_function_call(nb::object self, nb::object message) {
    Call call{field(message, INTERNED("module_name"), INTERNED("")),
              field(message, INTERNED("function_name"), INTERNED("")),
              field(message, INTERNED("args"), nb::list()),
              field(message, INTERNED("request_id")),
              field(message, INTERNED("workbook_id")),
              field(message, INTERNED("source"), INTERNED("addin"))};
    log().info("[Kernel] Received custom_function_call: ", call.module_name, ".",
               call.function_name, " (source=", call.source, ", request_id=", call.request_id, ")");
    if (is_empty(call.module_name) || is_empty(call.function_name)) {
        co_await send_error(self, call,
                            error_object("ValidationError", is_empty(call.module_name)
                                                                ? "Missing module_name"
                                                                : "Missing function_name"));
        co_return;
    }
    nb::object admission = call_admission_of(self);
    co_await CallAdmission::enter(admission);
    AdmittedCall admitted(admission);
    log().debug("[Kernel] [Async Task] Dispatching custom_function_call to worker: ",
                call.module_name, ".", call.function_name);
    nb::object failure = co_await run_user_call(
        self, call, call.source, "[Kernel] Function logs:\n", &execute_function, &report);
    if (!failure.is_none()) {
        log().error("[Kernel] Unexpected error in _handle_custom_function_call: ", failure);
        co_await send_error(self, call, error_object(failure));
    }
}

} // namespace kernel

// _handle_run_module: the IDE's Run command. Without debugging it is a custom function call
// with the same replies; with debug set it is a debug run (debug/debug_run.cpp).
namespace kernel {

core::Task<> handle_run_module(nb::object self, nb::object message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"), INTERNED(""));
    nb::object module_name = field(message, INTERNED("module_name"), INTERNED(""));
    nb::object function_name = field(message, INTERNED("function_name"), INTERNED(""));
    nb::object args = field(message, INTERNED("args"), nb::list());
    nb::object debug = field(message, INTERNED("debug"), Py_False);
    nb::object breakpoints = field(message, INTERNED("breakpoints"), nb::list());
    nb::object request_id = field(message, INTERNED("request_id"));
    nb::object source = field(message, INTERNED("source"), INTERNED("ide"));
    log().info("[Kernel] Received run_module: ", module_name, ".", function_name,
               " (workbook_id=", workbook_id, ", debug=", debug, ", source=", source,
               ", request_id=", request_id, ")");
    if (truthy(debug)) {
        co_await self.attr("_handle_debug_run_module")(
            module_name, function_name, args, breakpoints, request_id, workbook_id, source);
        co_return;
    }
    {
        nb::dict message = message_of({{"type", INTERNED("custom_function_call")},
                                       {"module_name", module_name},
                                       {"function_name", function_name},
                                       {"args", args},
                                       {"request_id", request_id},
                                       {"workbook_id", workbook_id},
                                       {"source", source}});
        co_await self.attr("_handle_custom_function_call")(message);
    }
}

} // namespace kernel
