// MessageBatcher: a queue that groups messages queued within FLUSH_INTERVAL into one "batch"
// frame. The kernel runs it from connect to disconnect; other components may enqueue.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

struct MessageBatcher {};

void bind_message_batcher(nb::module_ &module);

} // namespace kernel
