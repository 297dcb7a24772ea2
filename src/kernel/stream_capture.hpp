// StreamCapture: the text stream an execution's standard output or error goes to.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Creates the StreamCapture class, a subclass of io.TextIOBase.
nb::object make_stream_capture_class(nb::handle module);

} // namespace kernel
