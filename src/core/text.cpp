// String assembly helpers for log lines and messages.
#include "core/text.hpp"

#include <cstdio>

namespace core {
namespace detail {

static void append_new(nb::list &parts, PyObject *piece) {
    if (!piece || PyList_Append(parts.ptr(), piece) < 0) {
        Py_XDECREF(piece);
        throw nb::python_error();
    }
    Py_DECREF(piece);
}

void append(nb::list &parts, std::string_view piece) {
    append_new(parts,
               PyUnicode_FromStringAndSize(piece.data(), static_cast<Py_ssize_t>(piece.size())));
}

void append(nb::list &parts, nb::handle object) {
    append_new(parts, PyObject_Str(object.is_valid() ? object.ptr() : Py_None));
}

void append(nb::list &parts, long long number) {
    append(parts, std::string_view(std::to_string(number)));
}

void append(nb::list &parts, double number) {
    append_new(parts, PyObject_Str(nb::float_(number).ptr()));
}

void append(nb::list &parts, OneDecimal number) {
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%.1f", number.value);
    append(parts, std::string_view(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

nb::str join(const nb::list &parts) {
    PyObject *empty = PyUnicode_FromStringAndSize("", 0);
    PyObject *joined = empty ? PyUnicode_Join(empty, parts.ptr()) : nullptr;
    Py_XDECREF(empty);
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

} // namespace detail

nb::str join(const char *separator, nb::handle items) {
    nb::str glue(separator);
    PyObject *joined = PyUnicode_Join(glue.ptr(), items.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

std::string to_std_string(nb::handle object) {
    nb::str text = nb::str(object);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

} // namespace core
