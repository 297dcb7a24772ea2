// Message handler bodies written out in C++, each in the file of its family. They run on the
// GUI thread (the dispatch table marks them) and take the instance and the message map.
#pragma once

#include <nanobind/nanobind.h>

namespace idelink {
namespace nb = nanobind;

// console_handlers.cpp: program output and execution results.
void handle_stdout(nb::handle self, nb::handle message);
void handle_stderr(nb::handle self, nb::handle message);
void handle_result_output(nb::handle self, nb::handle message);
void handle_execution_result(nb::handle self, nb::handle message);
void handle_log_to_console(nb::handle self, nb::handle message);

} // namespace idelink
