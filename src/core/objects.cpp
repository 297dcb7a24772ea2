// dict.get semantics for message fields.

#include "core/objects.hpp"

namespace core {

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

} // namespace core
