// The IDE's connection client module.
#include "core/bridge.hpp"

NB_MODULE(idelink, m) { core::init_bridge(); }
