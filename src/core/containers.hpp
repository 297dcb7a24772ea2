// Membership tests on Python containers, as `item in container`.
#pragma once

#include <nanobind/nanobind.h>

namespace core {
namespace nb = nanobind;

inline bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

} // namespace core
