// Reading fields of inbound and outbound messages with the defaults a dict.get would give.
#pragma once

#include "core/mapping_get.hpp"
#include "core/truthy.hpp"

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace kernel {
namespace nb = nanobind;
using core::field;
using core::truthy;

// A message with these fields, in this order (the order receivers see).
nb::dict message_of(std::initializer_list<std::pair<const char *, nb::handle>> fields);

// {"type": type, "message": text}: the reply to malformed input.
nb::dict error_reply(const char *text);

} // namespace kernel
