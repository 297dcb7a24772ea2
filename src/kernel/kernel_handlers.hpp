// The kernel's message handlers, each defined in the file of its feature and named once, with
// its message type, in the table of kernel_handlers.cpp, which dispatches and binds them.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// handle_message: reassembly of chunked messages, then dispatch by `type` through the table.
core::Task<> handle_message(nb::object self, nb::object message);
// Binds the table's handlers that are PythonKernel methods on `kernel_class`.
void bind_handlers(nb::handle kernel_class);

// wire/outbound.cpp: sends a failure reply; when even that fails (the connection went away), the
// failure to send is logged and goes no further.
core::Task<> send_error_message(nb::object self, nb::dict message);

// The handlers, each `(self, message)`, by the folder that defines them.
// imports/: workbook module sources and the six path messages.
core::Task<> handle_update_module(nb::object self, nb::object message);
core::Task<> handle_delete_module(nb::object self, nb::object message);
core::Task<> handle_add_path(nb::object self, nb::object message);
core::Task<> handle_remove_path(nb::object self, nb::object message);
core::Task<> handle_reset_path(nb::object self, nb::object message);
core::Task<> handle_set_package_paths(nb::object self, nb::object message);
core::Task<> handle_set_python_paths(nb::object self, nb::object message);
core::Task<> handle_unload_and_clear_paths(nb::object self, nb::object message);

// runs/: the paths that run workbook code, and what user code asks of the kernel.
core::Task<> handle_custom_function_call(nb::object self, nb::object message);
core::Task<> handle_run_module(nb::object self, nb::object message);
core::Task<> handle_event_execution(nb::object self, nb::object message);
core::Task<> handle_com_event_config_update(nb::object self, nb::object message);
core::Task<> handle_python_function_call(nb::object self, nb::object message);
// "cancel_streaming_function" and "interrupt_execution": answered at once.
core::Task<> cancel_streaming_function(nb::object self, nb::object message);
core::Task<> handle_interrupt_execution(nb::object self, nb::object message);
core::Task<> handle_get_object_registry(nb::object self, nb::object message);
core::Task<> handle_sys_response(nb::object self, nb::object message);

// language/: computed by the bridge on the kernel's language thread.
core::Task<> handle_completion_request(nb::object self, nb::object message);
core::Task<> handle_signature_help_request(nb::object self, nb::object message);
core::Task<> handle_hover_request(nb::object self, nb::object message);
core::Task<> handle_diagnostic_request(nb::object self, nb::object message);
core::Task<> handle_set_hover_mode(nb::object self, nb::object message);
core::Task<> handle_language_services_wanted(nb::object self, nb::object message);

// debug/: the IDE's debug control messages.
core::Task<> handle_debug_continue(nb::object self, nb::object message);
core::Task<> handle_debug_step_over(nb::object self, nb::object message);
core::Task<> handle_debug_step_into(nb::object self, nb::object message);
core::Task<> handle_debug_step_out(nb::object self, nb::object message);
core::Task<> handle_debug_stop(nb::object self, nb::object message);
core::Task<> handle_debug_evaluate(nb::object self, nb::object message);
core::Task<> handle_debug_update_breakpoints(nb::object self, nb::object message);

// The tasks that two rows start with their fields unpacked, bound as PythonKernel methods.
// runs/code_executor.cpp: the task of an "execution_request".
core::Task<> execute_code_async(nb::object self, nb::object code, nb::object request_id,
                                nb::object function_name, nb::object source);
// runs/streaming_function.cpp
core::Task<> execute_streaming_function(nb::object self, nb::object request_id,
                                        nb::object module_name, nb::object function_name,
                                        nb::object args, nb::object workbook_id, nb::object source);
// runs/user_call.cpp: wire-format argument list to values.
nb::list deserialize_args(nb::handle self, nb::object args);

} // namespace kernel
