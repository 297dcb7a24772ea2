// The dispatch table: the IdeLink method that handles each message type, and its body.
#pragma once

#include <nanobind/nanobind.h>

#include <span>

namespace idelink {
namespace nb = nanobind;

// A handler body: runs on the GUI thread with the instance and the message map.
using HandlerBody = void (*)(nb::handle self, nb::handle message);

struct MessageRoute {
    const char *type;   // the message's `type`
    const char *method; // the IdeLink method named in MESSAGE_HANDLERS
    HandlerBody body;
};

// In the order MESSAGE_HANDLERS lists them.
std::span<const MessageRoute> message_routes();

} // namespace idelink
