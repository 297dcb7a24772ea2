// One inbound frame, from the socket to the dispatcher, refused with an error reply when any step
// fails: no frame ends the read loop.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// On the listener loop: checks the frame's size, decodes a binary frame as UTF-8, parses the
// JSON and awaits handle_message with the object. A failure of any step (a branch handled inline
// included) is logged with the frame's type and answered {"type": "error", "message": ...};
// reading goes on. Only the connection's end and non-ordinary exceptions (cancellation) leave.
core::Task<> read_frame(nb::object self, nb::object frame);

} // namespace kernel
