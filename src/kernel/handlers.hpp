// The dispatcher's handlers, each in the file of its feature. Inline ones run on the listener
// loop inside handle_message and await their reply before it returns.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// outbound.cpp: sends a failure reply; when even that fails (the connection went away), the
// failure to send is logged and goes no further.
core::Task<> send_error_message(nb::object self, nb::dict message);

// module_handlers.cpp
core::Task<> handle_update_module(nb::object self, nb::object message);
core::Task<> handle_delete_module(nb::object self, nb::object message);

// path_messages.cpp: the six path messages, inline.
core::Task<> handle_add_path(nb::object self, nb::object message);
core::Task<> handle_remove_path(nb::object self, nb::object message);
core::Task<> handle_reset_path(nb::object self, nb::object message);
core::Task<> handle_set_package_paths(nb::object self, nb::object message);
core::Task<> handle_set_python_paths(nb::object self, nb::object message);
core::Task<> handle_unload_and_clear_paths(nb::object self, nb::object message);

// object_keeper.cpp: inline.
core::Task<> handle_get_object_registry(nb::object self, nb::object message);

// execute_code.cpp: the task of an "execution_request".
core::Task<> execute_code_async(nb::object self, nb::object code, nb::object request_id,
                                nb::object function_name, nb::object source);

// host_requests.cpp: wakes the worker waiting for this answer.
core::Task<> handle_sys_response(nb::object self, nb::object message);

// wire_arguments.cpp: wire-format argument list to values.
nb::list deserialize_args(nb::handle self, nb::object args);

// The tasks of the paths that run workbook functions, one file each.
core::Task<> handle_custom_function_call(nb::object self, nb::object message);
core::Task<> handle_run_module(nb::object self, nb::object message);
core::Task<> handle_event_execution(nb::object self, nb::object message);
core::Task<> handle_python_function_call(nb::object self, nb::object message);
core::Task<> execute_streaming_function(nb::object self, nb::object request_id,
                                        nb::object module_name, nb::object function_name,
                                        nb::object args, nb::object workbook_id, nb::object source);

// language_requests.cpp: awaited; the bridge computes on the kernel's language thread.
core::Task<> handle_completion_request(nb::object self, nb::object message);
core::Task<> handle_signature_help_request(nb::object self, nb::object message);
core::Task<> handle_hover_request(nb::object self, nb::object message);
core::Task<> handle_diagnostic_request(nb::object self, nb::object message);
// Inline.
core::Task<> handle_set_hover_mode(nb::object self, nb::object message);
core::Task<> handle_language_services_wanted(nb::object self, nb::object message);
// The methods above, as PythonKernel._handle_completion_request and so on.
void bind_language_requests(nb::handle kernel_class);

// event_execution.cpp: inline.
core::Task<> handle_com_event_config_update(nb::object self, nb::object message);

// debug_run.cpp: a run_module with debug set.
core::Task<> handle_debug_run_module(nb::object self, nb::object module_name,
                                     nb::object function_name, nb::object args,
                                     nb::object breakpoints, nb::object request_id,
                                     nb::object workbook_id, nb::object source);

// debug_control.cpp: the IDE's debug control messages, inline; the session's end at disconnect.
bool has_active_debugger(nb::handle self);
void end_debug_session(nb::handle self);
core::Task<> handle_debug_continue(nb::object self, nb::object message);
core::Task<> handle_debug_step_over(nb::object self, nb::object message);
core::Task<> handle_debug_step_into(nb::object self, nb::object message);
core::Task<> handle_debug_step_out(nb::object self, nb::object message);
core::Task<> handle_debug_stop(nb::object self, nb::object message);
core::Task<> handle_debug_evaluate(nb::object self, nb::object message);
core::Task<> handle_debug_update_breakpoints(nb::object self, nb::object message);

} // namespace kernel
