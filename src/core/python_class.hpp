// Classes that must derive from a Python class (an ABC, io.TextIOBase) with methods in C++.
//
// nanobind classes cannot have Python bases, so these are made as a `class` statement makes
// them: by calling the bases' metaclass. Instances keep their state in __dict__, and every
// method is an nb::cpp_function that receives the instance as a plain handle.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace core {
namespace nb = nanobind;

// type(bases[0])(name, bases, {"__module__": module.__name__, "__qualname__": name, "__doc__":
// doc}).
nb::object make_python_class(nb::handle module, const char *name, nb::tuple bases, const char *doc);

// Sets cls.name to a C++ method. No nb::scope: the bases may already define the name (nanobind
// would refuse to overload it), so the attribute is set here instead.
template <class F, class... Extra>
void add_method(nb::handle cls, const char *name, F &&function, const Extra &...extra) {
    cls.attr(name) =
        nb::cpp_function(std::forward<F>(function), nb::is_method(), nb::name(name), extra...);
}

} // namespace core
