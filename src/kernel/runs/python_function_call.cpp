// _handle_python_function_call: a callable that user code registered with the host bridge,
// invoked from the spreadsheet by its id.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

struct Invocation {
    nb::object callable_id, args, request_id, workbook_id;
};

// The worker side. A missing or non-callable target fails without a printed traceback; an
// exception of the call or of its result's conversion is printed to the captured stderr first.
nb::dict execute_callable(nb::handle self, const Invocation &call,
                          const StreamCallbacks &callbacks) {
    log().debug("[Kernel] [Worker Thread ", current_thread_name(),
                "] Executing callable: ", call.callable_id);
    nb::object quorvel = state().quorvel;
    CapturedRun run = run_captured(callbacks, false, [&] {
        nb::object target = quorvel.attr("messaging").attr("get_callable")(call.callable_id);
        if (target.is_none())
            core::raise(PyExc_ValueError,
                        core::text("Callable '", call.callable_id, "' not found in registry"));
        if (!PyCallable_Check(target.ptr()))
            core::raise(PyExc_TypeError,
                        core::text("Object with id '", call.callable_id, "' is not callable"));
        nb::object values = self.attr("_deserialize_args")(call.args);
        try {
            nb::object result = target(*values);
            return nb::object(
                nb::make_tuple(result, quorvel.attr("Serializer").attr("to_wire")(result)));
        } catch (nb::python_error &e) {
            print_traceback(e);
            throw;
        }
    });
    return result_record(run);
}

core::Task<> send_error(nb::object self, Invocation call, nb::dict error) {
    nb::dict message = message_of({{"type", INTERNED("python_function_result")},
                                   {"success", Py_False},
                                   {"error", error},
                                   {"request_id", call.request_id},
                                   {"workbook_id", call.workbook_id}});
    co_await self.attr(INTERNED("send_message"))(message);
}

core::Task<> report(nb::object self, Invocation call, nb::dict record) {
    nb::object send = self.attr(INTERNED("send_message"));
    nb::object logs = field(record, INTERNED("logs"), INTERNED(""));
    if (record["status"].equal(INTERNED("success"))) {
        nb::object result = record["result"];
        if (!result.is_none()) {
            nb::dict message = message_of({{"type", INTERNED("result_output")},
                                           {"content", out_line(record["base_result"])},
                                           {"request_id", call.request_id},
                                           {"workbook_id", call.workbook_id}});
            co_await send(message);
        }
        {
            nb::dict message = message_of({{"type", INTERNED("python_function_result")},
                                           {"success", Py_True},
                                           {"result", result},
                                           {"logs", logs},
                                           {"request_id", call.request_id},
                                           {"workbook_id", call.workbook_id}});
            co_await send(message);
        }
        log().info("[Kernel] Python function call succeeded: callable_id=", call.callable_id);
        co_return;
    }
    {
        nb::dict message =
            message_of({{"type", INTERNED("python_function_result")},
                        {"success", Py_False},
                        {"error", field(record, INTERNED("error"), INTERNED("Unknown error"))},
                        {"logs", logs},
                        {"request_id", call.request_id},
                        {"workbook_id", call.workbook_id}});
        co_await send(message);
    }
    log().error("[Kernel] Python function call failed: callable_id=", call.callable_id);
}

} // namespace

core::Task<> handle_python_function_call(nb::object self, nb::object message) {
    Invocation call{field(message, INTERNED("callable_id"), INTERNED("")),
                    field(message, INTERNED("args"), nb::list()),
                    field(message, INTERNED("request_id")),
                    field(message, INTERNED("workbook_id"))};
    log().info("[Kernel] Received python_function_call: callable_id=", call.callable_id,
               " (request_id=", call.request_id, ")");
    if (call.callable_id.is_none() || !truthy(call.callable_id)) {
        co_await send_error(self, call, error_object("ValidationError", "Missing callable_id"));
        co_return;
    }
    log().debug("[Kernel] [Async Task] Dispatching python_function_call to worker: "
                "callable_id=",
                call.callable_id);
    nb::object failure = co_await run_user_call(
        self, call, INTERNED("addin"), "[Kernel] Callable logs:\n", &execute_callable, &report);
    if (!failure.is_none()) {
        log().error("[Kernel] Unexpected error in _handle_python_function_call: ", failure);
        co_await send_error(self, call, error_object(failure));
    }
}

} // namespace kernel
