// KernelStreamHook: the process-wide sys.stdout / sys.stderr of a connected kernel.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Creates the KernelStreamHook class, a subclass of io.TextIOBase.
nb::object make_kernel_stream_hook_class(nb::handle module);

} // namespace kernel
