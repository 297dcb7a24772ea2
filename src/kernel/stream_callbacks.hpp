// The stdout and stderr callbacks of one execution of user code.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// A callable taking the written text: each call posts {"type": stream_type, "content": text,
// "request_id", "workbook_id", "source"} to the kernel's output channel and returns at once.
// A failure to post is logged at debug ("[Kernel] stdout streaming error: ...") and swallowed.
// Called on the worker thread that runs the code.
nb::object make_stream_callback(nb::handle kernel, const char *stream_type, nb::object request_id,
                                nb::object source);

} // namespace kernel
