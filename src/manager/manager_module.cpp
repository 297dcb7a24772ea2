// The package manager module's shared state.
#include "manager/manager_module.hpp"

namespace manager {

ModuleState &state() {
    static ModuleState *module_state = new ModuleState();
    return *module_state;
}

nb::object module_global(const char *name) { return state().module.attr(name); }

} // namespace manager
