// The dispatcher's inline branches, each in the file of its feature. They run on the listener
// loop inside handle_message and await their reply before it returns.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// module_handlers.cpp
core::Task<> handle_update_module(nb::object self, nb::object message);
core::Task<> handle_delete_module(nb::object self, nb::object message);

} // namespace kernel
