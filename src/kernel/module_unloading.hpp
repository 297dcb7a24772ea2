// Unloading the modules that were imported from directories that are going away.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Removes from sys.modules every module whose file lies under one of `directories` (a list of
// str), together with every other module of the same top-level package, deepest first. Returns
// how many names were chosen for removal (those already gone by their turn count too).
Py_ssize_t unload_modules_under(nb::handle directories);

} // namespace kernel
