// Binding C++ coroutine functions as methods that return Python coroutines.
#pragma once

#include "core/task.hpp"

namespace core {

// A callable for nb::class_::def: `Function(self, args...)` runs as a coroutine named `qualname`
// ("Class.method"). The instance is passed as the Python object, so the coroutine reaches the
// other methods and fields through its attributes, as Python code would.
template <auto Function, class... Args> auto coroutine_method(const char *qualname) {
    return [qualname](nb::handle self, Args... args) {
        return Function(nb::borrow(self), std::move(args)...).into_python(qualname);
    };
}

} // namespace core
