// Python's truth test from C++.
#pragma once

#include <nanobind/nanobind.h>

namespace core {
namespace nb = nanobind;

// bool(value), as Python's truth test; raises what __bool__ or __len__ raise.
inline bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth == 1;
}

} // namespace core
