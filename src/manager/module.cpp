// The hub's package manager module.
#include "core/bridge.hpp"

NB_MODULE(manager, m) { core::init_bridge(); }
