// Package spec validation: the guard that keeps shell syntax and option injection away from pip.
#pragma once

#include <nanobind/nanobind.h>

namespace manager {
namespace nb = nanobind;

// The longest accepted spec, in characters.
inline constexpr Py_ssize_t MAX_PACKAGE_SPEC_LENGTH = 256;

// The source of VALID_PACKAGE_PATTERN: a name, optional bracketed extras, optional operator and
// version. Compiled once at load without flags.
inline constexpr const char *VALID_PACKAGE_PATTERN_SOURCE =
    R"(^[a-zA-Z0-9][a-zA-Z0-9._-]*(\[[a-zA-Z0-9,._-]+\])?(==|>=|<=|>|<|!=|~=)?[a-zA-Z0-9._-]*$)";

// Characters that never belong in a spec, checked in this order; the first one present is the one
// reported.
inline constexpr char FORBIDDEN_CHARACTERS[] = {';', '|', '&', '$', '`',  '(', ')',
                                                '{', '}', '<', '>', '\n', '\r'};

// (valid, message): (True, "") or (False, why). Never raises for a str. GIL held.
nb::tuple validate_package_spec(nb::str package_spec);

// A tuple of the forbidden characters, for the module's FORBIDDEN_CHARACTERS.
nb::tuple forbidden_characters();

} // namespace manager
