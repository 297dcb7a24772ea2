// Encoding outbound messages, with repr text for fields of JSON data the serialiser refuses.
#include "kernel/outbound_encoding.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "core/text.hpp"
#include "kernel/json_dumps.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"

#include <vector>

namespace kernel {
namespace {

// True when `value` is made of what JSON carries only; walked without recursion, so that a
// nesting too deep for the serialiser is walked all the same.
bool is_json_data(nb::handle value) {
    std::vector<PyObject *> pending{value.ptr()};
    while (!pending.empty()) {
        PyObject *item = pending.back();
        pending.pop_back();
        if (PyDict_Check(item)) {
            PyObject *key, *field;
            Py_ssize_t position = 0;
            while (PyDict_Next(item, &position, &key, &field)) {
                if (!PyUnicode_Check(key))
                    return false;
                pending.push_back(field);
            }
        } else if (PyList_Check(item)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(item); ++i)
                pending.push_back(PyList_GET_ITEM(item, i));
        } else if (!(PyUnicode_Check(item) || PyLong_Check(item) || PyFloat_Check(item) ||
                     item == Py_None)) {
            return false; // bool is an int
        }
    }
    return true;
}

bool encodes(nb::handle value) {
    try {
        json_dumps(value);
        return true;
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        return false;
    }
}

} // namespace

nb::str encode_message(nb::handle message) {
    try {
        return json_dumps(message);
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e) || !PyDict_Check(message.ptr()))
            throw;
        nb::object short_repr = nb::module_::import_("reprlib").attr("repr");
        nb::dict safe;
        nb::list replaced;
        for (auto [key, value] : nb::borrow<nb::dict>(message)) {
            bool refused = is_json_data(value) && !encodes(value);
            safe[key] = refused ? short_repr(value) : nb::borrow(value);
            if (refused)
                replaced.append(nb::str(key));
        }
        if (nb::len(replaced) == 0)
            throw;
        nb::str text = json_dumps(safe);
        nb::object msg_type = field(message, INTERNED("type"), INTERNED("unknown"));
        log().error("[Kernel] Message type '", msg_type, "' could not be serialised (",
                    core::exception_of(e),
                    "); sent with repr text for: ", core::join(", ", replaced));
        return text;
    }
}

} // namespace kernel
