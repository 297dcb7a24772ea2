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

nb::dict error_reply(const char *text) { return error_reply(nb::str(text)); }

nb::dict error_reply(nb::handle text) {
    nb::dict reply;
    reply[INTERNED("type")] = "error";
    reply[INTERNED("message")] = text;
    return reply;
}

nb::dict error_reply_to(nb::handle message, nb::handle text) {
    nb::dict reply = error_reply(text);
    if (PyDict_Check(message.ptr())) {
        PyObject *request_id = PyDict_GetItemWithError(message.ptr(), INTERNED("request_id").ptr());
        if (request_id)
            reply[INTERNED("request_id")] = nb::handle(request_id);
        else if (PyErr_Occurred())
            throw nb::python_error();
    }
    return reply;
}

} // namespace kernel
