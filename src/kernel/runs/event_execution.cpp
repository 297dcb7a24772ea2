// _handle_event_execution: a workbook module's handler for a spreadsheet event. One reply,
// event_execution_result; for events that came through the COM event registrar, the outcome is
// also handed back to it.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

struct Event {
    nb::object module_name, function_name, request_id, workbook_id, args;
    bool is_com;
};

// The worker side: the arguments are converted first; the handler's return value is kept as it
// is (it goes only to the COM registrar) and a generator is not iterated.
nb::dict execute_event(nb::handle self, const Event &event, const StreamCallbacks &callbacks) {
    log().debug("[Kernel] [Worker Thread ", current_thread_name(),
                "] Executing event handler: ", event.module_name, ".", event.function_name);
    CapturedRun run = run_captured(callbacks, true, [&] {
        nb::object values = self.attr("_deserialize_args")(event.args);
        nb::object module =
            import_workbook_module(event.module_name, core::text("Module '", event.module_name,
                                                                 "' not found in sys.modules"));
        nb::object handler = function_of(module, event.module_name, event.function_name);
        return handler(*values);
    });
    if (run.error)
        return message_of({{"status", INTERNED("error")},
                           {"logs", run.logs},
                           {"error", extract_traceback_string(core::exception_of(*run.error))}});
    return message_of({{"status", INTERNED("success")},
                       {"logs", run.logs},
                       {"error", Py_None},
                       {"return_value", run.value}});
}

nb::dict com_response(nb::handle record) {
    if (record.is_valid() && record["status"].equal(INTERNED("success")))
        return message_of({{"status", INTERNED("ok")}, {"return_value", record["return_value"]}});
    return message_of({{"status", INTERNED("nok")}});
}

// Hands the outcome to the registrar when the event came through it; a failure of the delivery
// is logged and "nok" is delivered instead.
void deliver_to_registrar(nb::handle self, const Event &event, nb::handle record) {
    nb::object registrar = self.attr("_com_event_registrar");
    if (!event.is_com || registrar.is_none())
        return;
    try {
        registrar.attr("deliver_com_response")(event.request_id, com_response(record));
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        log().error("[Kernel] Error delivering COM event response: ", core::exception_of(e));
        registrar.attr("deliver_com_response")(event.request_id, com_response(nb::handle()));
    }
}

core::Task<> send_result(nb::object self, Event event, nb::object status, nb::object logs,
                         nb::object error) {
    {
        nb::dict message = message_of({{"type", INTERNED("event_execution_result")},
                                       {"status", status},
                                       {"logs", logs},
                                       {"error", error},
                                       {"request_id", event.request_id},
                                       {"module_name", event.module_name},
                                       {"function_name", event.function_name},
                                       {"workbook_id", event.workbook_id}});
        co_await self.attr(INTERNED("send_message"))(message);
    }
}

// The COM registrar first (it waits for the outcome), then the reply.
core::Task<> report(nb::object self, Event event, nb::dict record) {
    deliver_to_registrar(self, event, record);
    nb::object logs = field(record, INTERNED("logs"), INTERNED(""));
    if (record["status"].equal(INTERNED("success"))) {
        log().info("[Kernel] Event handler executed successfully: ", event.module_name, ".",
                   event.function_name);
        co_await send_result(self, event, nb::str("success"), logs, nb::none());
    } else {
        log().error("[Kernel] Event handler failed: ", event.module_name, ".", event.function_name);
        co_await send_result(self, event, nb::str("error"), logs,
                             field(record, INTERNED("error"), INTERNED("Unknown error")));
    }
}

} // namespace

core::Task<> handle_event_execution(nb::object self, nb::object message) {
    Event event{field(message, INTERNED("module_name"), INTERNED("")),
                field(message, INTERNED("function_name"), INTERNED("")),
                field(message, INTERNED("request_id")),
                field(message, INTERNED("workbook_id"), self.attr("workbook_id")),
                nb::object(),
                truthy(field(message, INTERNED("is_com"), Py_False))};
    if (!truthy(event.module_name) || !truthy(event.function_name)) {
        log().error("[Kernel] event_execution missing module_name or function_name");
        co_return;
    }
    event.args = field(message, INTERNED("args"), nb::list());
    log().info("[Kernel] [Async Task] Received event_execution: ", event.module_name, ".",
               event.function_name,
               " (object=", field(message, INTERNED("object_type"), INTERNED("")), "/",
               field(message, INTERNED("object_name"), INTERNED("")),
               ", event=", field(message, INTERNED("event_type"), INTERNED("")), ")");
    log().debug("[Kernel] [Async Task] Dispatching event_execution to worker: ", event.module_name,
                ".", event.function_name);
    nb::object failure = co_await run_user_call(
        self, event, INTERNED("addin"), "[Kernel] Event handler logs:\n", &execute_event, &report);
    if (!failure.is_none()) {
        log().error("[Kernel] Unexpected error in _handle_event_execution: ", failure);
        nb::object registrar = self.attr("_com_event_registrar");
        if (event.is_com && !registrar.is_none())
            registrar.attr("deliver_com_response")(event.request_id, com_response(nb::handle()));
        co_await send_result(self, event, nb::str("error"), nb::str(""),
                             extract_traceback_string(failure));
    }
}

core::Task<> handle_com_event_config_update(nb::object self, nb::object message) {
    nb::object config = field(message, INTERNED("com_config"), nb::dict());
    nb::object registrar = self.attr("_com_event_registrar");
    if (registrar.is_none())
        log().debug("[Kernel] com_event_config_update received but registrar not active");
    else
        registrar.attr("apply_config")(config);
    co_return;
}

} // namespace kernel
