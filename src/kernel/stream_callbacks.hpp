// The stdout and stderr callbacks of one run of user code.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

struct StreamCallbacks {
    nb::object stdout_callback;
    nb::object stderr_callback;
};

// {"type": type, "content": text, "request_id", "workbook_id", "source"}: one write's message.
nb::dict stream_message(nb::handle type, nb::handle text, nb::handle request_id,
                        nb::handle workbook_id, nb::handle source);

// Two callables taking the written text: each call posts {"type": "stdout" / "stderr",
// "content": text, "request_id", "workbook_id", "source"} to the kernel's output channel and
// returns at once. A failure to post is logged at debug ("[Kernel] stdout streaming error: ...")
// and swallowed. Made on the listener loop; called on the worker thread that runs the code.
StreamCallbacks make_stream_callbacks(nb::handle kernel, nb::object request_id,
                                      nb::object workbook_id, nb::object source);

} // namespace kernel
