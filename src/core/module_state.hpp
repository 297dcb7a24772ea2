// The state an extension module shares between its source files: the module, its logger, and
// the objects it imports once at load.
#pragma once

#include "core/logger.hpp"

namespace core {

// What every module's state holds; each module derives its own ModuleState from it.
struct ModuleStateBase {
    nb::handle module; // the extension module itself
    Logger log;
};

// The one `State` of this extension module, created on first use. Leaked on purpose: its objects
// must outlive the interpreter's own tear-down, where destructors may no longer touch Python.
template <class State> State &module_state() {
    static State *state = new State();
    return *state;
}

// A global of the module, looked up at each use so that tests and launchers can replace it (as
// they could replace a global of a Python module).
inline nb::object module_global(const ModuleStateBase &state, const char *name) {
    return state.module.attr(name);
}

// At load: creates the coroutine bridge's types, keeps the module, and takes the module's logger
// (get_logger(__name__) of the logging configuration), also bound as its `logger`.
void start_module(ModuleStateBase &state, nb::module_ &module);

} // namespace core
