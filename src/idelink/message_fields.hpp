// Lenient reading of incoming message fields: a missing field takes its default, as dict.get.
#pragma once

#include <nanobind/nanobind.h>

namespace idelink {
namespace nb = nanobind;

// message.get(key, fallback): a dict is read directly; anything else goes through its `get`
// attribute, so a message that is not a mapping fails as it would in Python.
nb::object field(nb::handle message, nb::handle key, nb::handle fallback);
inline nb::object field(nb::handle message, nb::handle key) { return field(message, key, Py_None); }

// Python truth of `value`: what "non-empty" means for the fields a handler tests.
bool truthy(nb::handle value);

} // namespace idelink
