// Package spec validation against command injection.
#include "manager/package_spec.hpp"

#include "manager/manager_module.hpp"

namespace manager {
namespace {

nb::tuple rejection(nb::handle message) { return nb::make_tuple(false, message); }

} // namespace

nb::tuple validate_package_spec(nb::str package_spec) {
    Py_ssize_t length = PyUnicode_GetLength(package_spec.ptr());
    if (length < 0)
        throw nb::python_error();
    if (length == 0)
        return rejection(nb::str("Package spec cannot be empty"));
    if (length > MAX_PACKAGE_SPEC_LENGTH)
        return rejection(nb::str("Package spec too long (max 256 characters)"));

    for (char forbidden : FORBIDDEN_CHARACTERS) {
        Py_ssize_t at =
            PyUnicode_FindChar(package_spec.ptr(), static_cast<Py_UCS4>(forbidden), 0, length, 1);
        if (at == -2)
            throw nb::python_error();
        if (at >= 0) {
            char shown[] = {forbidden, '\0'};
            return rejection(nb::str("Package spec contains invalid character: ") + nb::str(shown));
        }
    }

    // The pattern is read at each call, as a module global would be.
    nb::object match = module_global("VALID_PACKAGE_PATTERN").attr("match")(package_spec);
    if (match.is_none())
        return rejection(nb::str("Package spec contains invalid format"));
    return nb::make_tuple(true, nb::str(""));
}

nb::tuple forbidden_characters() {
    nb::list characters;
    for (char forbidden : FORBIDDEN_CHARACTERS) {
        char shown[] = {forbidden, '\0'};
        characters.append(nb::str(shown));
    }
    return nb::tuple(characters);
}

} // namespace manager
