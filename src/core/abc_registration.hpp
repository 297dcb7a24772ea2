// Registration of the bridge's types with the abstract base classes asyncio checks against.
#pragma once

#include "core/py_compat.hpp"

namespace core::detail {

// collections.abc.<abc_name>.register(type); false with a Python error set on failure.
bool register_abc(PyTypeObject *type, const char *abc_name);

} // namespace core::detail
