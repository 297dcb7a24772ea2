// Lenient field access for incoming messages.
#include "idelink/message_fields.hpp"

namespace idelink {

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

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth == 1;
}

} // namespace idelink
