// The dispatcher's handlers, each in the file of its feature. Inline ones run on the listener
// loop inside handle_message and await their reply before it returns.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// module_handlers.cpp
core::Task<> handle_update_module(nb::object self, nb::object message);
core::Task<> handle_delete_module(nb::object self, nb::object message);

// execute_code.cpp: the task of an "execution_request".
core::Task<> execute_code_async(nb::object self, nb::object code, nb::object request_id,
                                nb::object function_name, nb::object source);

// host_requests.cpp: wakes the worker waiting for this answer.
core::Task<> handle_sys_response(nb::object self, nb::object message);

} // namespace kernel
