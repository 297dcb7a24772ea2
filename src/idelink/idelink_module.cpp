// The idelink module's shared state.
#include "idelink/idelink_module.hpp"

namespace idelink {

ModuleState &state() {
    static ModuleState *module_state = new ModuleState();
    return *module_state;
}

nb::object module_global(const char *name) { return state().module.attr(name); }

} // namespace idelink
