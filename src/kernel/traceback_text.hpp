// Traceback helpers shared by every path that reports an error of user code.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// "".join(traceback.format_exception(type(e), e, e.__traceback__)).
nb::str extract_traceback_string(nb::handle exception);

// The last "<virtual:module>" location in a traceback text, else the first location whose file
// name contains one of `in_memory_modules`: {"module", "line", "file"}, or {}.
nb::dict parse_error_location(nb::handle traceback_text, nb::handle in_memory_modules);

} // namespace kernel
