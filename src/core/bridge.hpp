// Set-up of the coroutine bridge in an extension module.
#pragma once

#include <nanobind/nanobind.h>

namespace core {

// Creates the coroutine and async generator types of this module. Call once from NB_MODULE.
void init_bridge();

} // namespace core
