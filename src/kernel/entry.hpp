// The kernel process's entry coroutine, `main(workbook_id, port, connection_args=None)`.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// Prepares the Excel host on Windows, builds one PythonKernel and runs it until it disconnects.
core::Task<> main_entry(nb::object workbook_id, nb::object port, nb::object connection_args);

} // namespace kernel
