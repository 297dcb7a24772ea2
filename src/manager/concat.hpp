// Building Python strings as Python code would (`a + str(b)`, `separator.join(items)`): no trip
// through UTF-8, so paths that carry surrogate escapes of undecodable file names survive unchanged.
#pragma once

#include <nanobind/nanobind.h>

namespace manager {
namespace nb = nanobind;

namespace detail {
inline nb::str piece(const char *text) { return nb::str(text); }
inline nb::str piece(nb::handle object) { return nb::str(object); }
} // namespace detail

// GIL held.
template <class... Pieces> nb::str concat(const Pieces &...pieces) {
    nb::list parts;
    (parts.append(detail::piece(pieces)), ...);
    PyObject *joined = PyUnicode_Join(nb::str("").ptr(), parts.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

// `separator.join(items)`: items must be strings, as there.
inline nb::str join(const char *separator, nb::handle items) {
    PyObject *joined = PyUnicode_Join(nb::str(separator).ptr(), items.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

} // namespace manager
