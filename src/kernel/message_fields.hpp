// Reading fields of inbound and outbound messages with the defaults a dict.get would give.
#pragma once

#include "core/truthy.hpp"

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace kernel {
namespace nb = nanobind;
using core::truthy;

// message.get(key, fallback): a dict is read directly; anything else goes through its `get`
// attribute, so a message that is not a mapping fails as it would in Python.
nb::object field(nb::handle message, nb::handle key, nb::handle fallback);
inline nb::object field(nb::handle message, nb::handle key) { return field(message, key, Py_None); }

// A message with these fields, in this order (the order receivers see).
nb::dict message_of(std::initializer_list<std::pair<const char *, nb::handle>> fields);

// {"type": type, "message": text}: the reply to malformed input.
nb::dict error_reply(const char *text);

} // namespace kernel
