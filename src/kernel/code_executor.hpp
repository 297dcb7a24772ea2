// CodeExecutor: runs code cells in one namespace that persists across cells.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

struct CodeExecutor {};

void bind_code_executor(nb::module_ &module);

// The error object of an exception: {"type", "message", "traceback"}.
nb::dict error_object(const nb::python_error &error);
nb::dict error_object(nb::handle exception);
nb::dict error_object(const char *type, const char *message, const char *traceback = "");

// True for the exceptions user code may raise that are reported as its error instead of
// leaving the kernel: ordinary exceptions, and SystemExit / KeyboardInterrupt raised by the
// code itself (a cell calling exit() must not end the kernel).
bool is_user_error(const nb::python_error &error);

} // namespace kernel
