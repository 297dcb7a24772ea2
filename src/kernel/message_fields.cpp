// Field access helpers for messages.
#include "kernel/message_fields.hpp"

#include "core/interned.hpp"

namespace kernel {

nb::object field(nb::handle message, nb::handle key, nb::handle fallback) {
    if (PyDict_Check(message.ptr())) {
        PyObject *value = PyDict_GetItemWithError(message.ptr(), key.ptr());
        if (value)
            return nb::borrow(value);
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(fallback);
    }
    return message.attr("get")(key, fallback);
}

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
