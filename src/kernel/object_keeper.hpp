// The object keeper: named objects that user code keeps alive in the kernel between calls.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// What one object's repr may put on the wire, in characters: a longer text is cut there and
// marked with its full length. A kept object's repr is user code; the IDE shows one line of it.
inline constexpr Py_ssize_t MAX_REPR_LENGTH = 4096;

// Adds save_object, get_object, clear_object, clear_all_objects, get_object_registry,
// set_enable_events and show_message_box to the module's PythonKernel class.
void bind_object_keeper(nb::module_ &module);

} // namespace kernel
