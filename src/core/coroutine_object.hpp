// The Python coroutine type that runs core::Task frames.
#pragma once

#include "core/py_compat.hpp"

namespace core {

// Creates the coroutine types and registers them with collections.abc.Coroutine. Called once
// from each extension module's initialisation; returns false with a Python error set on failure.
bool init_coroutine_types();

// True when `object` is a coroutine object of this module's bridge.
bool is_coroutine_object(PyObject *object);

// True when the coroutine `object` is suspended inside a co_await (it is being awaited).
bool coroutine_is_delegating(PyObject *object);

} // namespace core
