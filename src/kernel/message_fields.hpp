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

// {"type": "error", "message": text}: the reply to malformed input.
nb::dict error_reply(const char *text);
nb::dict error_reply(nb::handle text);
// The same reply to a message that was read but could not be handled; it carries the message's
// `request_id` when the message had one, so that its requester can tell which request failed.
nb::dict error_reply_to(nb::handle message, nb::handle text);

} // namespace kernel
