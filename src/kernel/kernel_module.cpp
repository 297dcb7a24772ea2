// The kernel module's shared state.
#include "kernel/kernel_module.hpp"

namespace kernel {

ModuleState &state() {
    static ModuleState *module_state = new ModuleState();
    return *module_state;
}

nb::object module_global(const char *name) { return state().module.attr(name); }

} // namespace kernel
