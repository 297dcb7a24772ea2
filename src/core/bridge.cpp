// Set-up of the coroutine bridge: the coroutine and async generator types of a module.
#include "core/bridge.hpp"

#include "core/frame.hpp"

namespace core {

void init_bridge() {
    if (!detail::init_coroutine_types() || !detail::init_async_generator_types())
        throw nb::python_error();
}

} // namespace core
