// Start-up of a module's shared state.
#include "core/module_state.hpp"

#include "core/bridge.hpp"

namespace core {

void start_module(ModuleStateBase &state, nb::module_ &module) {
    init_bridge();
    state.module = module;
    nb::object logger =
        nb::module_::import_("quorvel_logging").attr("get_logger")(module.attr("__name__"));
    module.attr("logger") = logger;
    state.log = Logger(logger);
}

} // namespace core
