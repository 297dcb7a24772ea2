// Creation of the bridge's Python types at module initialisation.
#include "core/bridge.hpp"

#include "core/async_generator.hpp"
#include "core/coroutine_object.hpp"

namespace core {

void init_bridge() {
    if (!init_coroutine_types() || !init_async_generator_types())
        throw nb::python_error();
}

} // namespace core
