// What connect installs in the process for user code, and disconnect takes back: the standard
// streams and the host bridge's blocking request function.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Called last by connect, on the listener loop.
void install_host_hooks(nb::handle self);
// Called by disconnect: puts back the streams the kernel found at construction.
void remove_host_hooks(nb::handle self);

} // namespace kernel
