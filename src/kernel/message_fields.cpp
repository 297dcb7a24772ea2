// Field access helpers for messages.
#include "kernel/message_fields.hpp"

#include "core/interned.hpp"

namespace kernel {

nb::dict message_of(std::initializer_list<std::pair<const char *, nb::handle>> fields) {
    nb::dict message;
    for (const auto &[key, value] : fields)
        message[key] = value;
    return message;
}

nb::dict error_reply(const char *text) {
    nb::dict reply;
    reply[INTERNED("type")] = "error";
    reply[INTERNED("message")] = text;
    return reply;
}

} // namespace kernel
