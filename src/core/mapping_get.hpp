// Reading a field of a message (a mapping) with a default, as dict.get would.
#pragma once

#include <nanobind/nanobind.h>

namespace core {
namespace nb = nanobind;

// message.get(key, fallback): a dict is read directly; anything else goes through its `get`
// attribute, so a message that is not a mapping fails as it would in Python.
nb::object field(nb::handle message, nb::handle key, nb::handle fallback);
inline nb::object field(nb::handle message, nb::handle key) { return field(message, key, Py_None); }

} // namespace core
