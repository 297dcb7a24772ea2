// Blocking requests from user code to the spreadsheet, carried as "sys_request"/"sys_response".
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// The kernel's `new_send_request_sync(req, timeout=30.0)`, installed on the host bridge as
// messaging.send_request_sync. Blocks the calling worker until the answer or the time-out.
nb::object make_send_request_sync(nb::handle kernel);

// The kernel's `send_stream_message(stream_type, content)`, the sender behind the process-wide
// stream hooks: posts the message and returns at once, from any thread.
nb::object make_send_stream_message(nb::handle kernel);

} // namespace kernel
