// Lenient reading of incoming message fields: a missing field takes its default, as dict.get.
#pragma once

#include "core/objects.hpp"

namespace idelink {

using core::field;
using core::truthy;

} // namespace idelink
