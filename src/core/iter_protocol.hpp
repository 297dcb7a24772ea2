// The iterator steps that `yield from` and `await` are made of, on every supported Python.
#pragma once

#include "core/py_compat.hpp"

namespace core::detail {

// What one step of an iterator did.
enum class Step {
    Next,   // it suspended and handed out a value (*result, new reference)
    Return, // it finished with a value (*result, new reference; None for a bare return)
    Error,  // it raised; the Python error is set and *result is null
};

// Sends `value` into `iter` as `yield from` would: `__next__` for None when it is an iterator,
// else its `send` method; the am_send slot where there is one (3.10+).
Step send_into(PyObject *iter, PyObject *value, PyObject **result);

// Converts the outcome of a call to a `send`/`throw` method into a Step: a null result with
// StopIteration raised is a return with StopIteration's value.
Step step_from_call(PyObject *call_result, PyObject **result);

// The iterator that `await obj` delegates to, as a new reference (null with an error set).
PyObject *awaitable_iter(PyObject *awaitable);

// Raises StopIteration(value) as a real instance, so that a tuple value is not unpacked.
void set_stop_iteration(PyObject *value);

// The exception instance currently raised, taken out of the error indicator (new reference).
PyObject *fetch_exception();

// Raises `exception` (an instance), keeping its traceback.
void restore_exception(PyObject *exception);

// Builds the exception of a throw(type[, value[, traceback]]) call and raises it; false with
// TypeError raised instead when the arguments are not what CPython's generators accept.
bool raise_thrown(PyObject *args);

} // namespace core::detail
