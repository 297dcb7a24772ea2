// _handle_run_module: the IDE's Run command. Without debugging it is a custom function call
// with the same replies; with debug set it is a debug run (debug_run.cpp).
#include "core/interned.hpp"
#include "kernel/handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"

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
