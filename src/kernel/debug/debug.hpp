// The line debugger's runs: a workbook function run under the debugger, and the session that
// the IDE's debug control messages (in the handler table) act on.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// debug_run.cpp: a run_module with debug set.
core::Task<> handle_debug_run_module(nb::object self, nb::object module_name,
                                     nb::object function_name, nb::object args,
                                     nb::object breakpoints, nb::object request_id,
                                     nb::object workbook_id, nb::object source);
// debug_control.cpp: the session's end at disconnect.
bool has_active_debugger(nb::handle self);
void end_debug_session(nb::handle self);

} // namespace kernel
