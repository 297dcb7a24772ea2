// Reading one of pip's pipes, line by line, into the installation's output queue.
#pragma once

#include "core/task.hpp"

namespace manager {
namespace nb = nanobind;

// Queues (stream_type, line) for every line of `stream` (an asyncio.StreamReader) until it ends,
// then queues the end-of-stream mark; the mark is queued on every way out, errors included, so
// the consumer never waits for a reader that is gone. A line longer than MAX_OUTPUT_LINE_BYTES
// arrives as several pieces. Runs as a task on the installation's loop.
core::Task<> read_stream(nb::object stream, nb::object stream_type, nb::object queue);

// One line as the installers yield it: UTF-8 with undecodable bytes replaced, trailing whitespace
// (the line end among it) stripped.
nb::object output_line(nb::handle raw);

} // namespace manager
