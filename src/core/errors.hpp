// The one place where C++ exceptions and Python errors are converted into each other.
#pragma once

#include "core/task.hpp"

#include <nanobind/nanobind.h>

#include <exception>
#include <optional>

// CORE_CHECK(condition, "function: message"): a precondition or invariant that the code after it
// relies on. Checked in the sanitizer and debug-interpreter builds (QUORVEL_CHECKS, or Python's
// own Py_DEBUG), where a broken one prints the message, the condition and where it was, and
// aborts: a fault of our own code, caught where it happens rather than as a corrupted object
// later. Compiled out elsewhere, so the condition must have no effect.
#if defined(QUORVEL_CHECKS) || defined(Py_DEBUG)
#define CORE_CHECKS_ENABLED 1
#define CORE_CHECK(condition, message)                                                             \
    ((condition) ? (void)0 : ::core::detail::check_failed(#condition, message, __FILE__, __LINE__))
#else
#define CORE_CHECKS_ENABLED 0
#define CORE_CHECK(condition, message) ((void)0)
#endif

namespace core {
namespace nb = nanobind;

// Raises `type(message)` as a C++ nb::python_error. GIL held.
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise(PyObject *type, nb::handle message);

// Throws the currently raised Python error as nb::python_error (after a C API call failed).
[[noreturn]] void raise_current();

// Sets the Python error indicator from an exception that reached a boundary into Python:
// a Python error is restored unchanged, anything else becomes RuntimeError(what()). GIL held.
void restore_as_python_error(std::exception_ptr error) noexcept;

// True when `error` is an instance of the builtin `Exception` (not only BaseException): the
// errors a handler catches; cancellation, GeneratorExit and KeyboardInterrupt pass through.
bool is_ordinary(const nb::python_error &error);

// The exception instance of `error`, with its traceback. Use this, not error.value(): nanobind
// releases before 3.0 keep an error as fetched below Python 3.12, where the value may still be
// a plain message or null.
nb::object exception_of(const nb::python_error &error);

// Withdraws an asynchronous exception of class `type` still pending for this thread, by letting
// the interpreter deliver it into code that does nothing and dropping it there (clearing it with
// PyThreadState_SetAsyncExc(id, NULL) leaves the interpreter's "pending" signal set for good up
// to 3.11: every frame start re-checks it, and a traced one spins). An exception being raised
// meanwhile is kept. Returns whether one was pending.
bool withdraw_pending(PyObject *type);

// `co_await core::ordinary_failure(work)`: awaits `work` (a Python awaitable or a C++ Task) and
// returns the ordinary exception it raised, or nothing; the others (cancellation, interpreter
// exits) are thrown on. C++ cannot co_await inside a catch block, so code that answers a failure
// with a message awaits this first and then sends what the failure calls for.
class OrdinaryFailure : public PyAwaiter {
public:
    using PyAwaiter::PyAwaiter;
    std::optional<nb::python_error> await_resume();
};
inline OrdinaryFailure ordinary_failure(nb::handle work) { return OrdinaryFailure(work); }
inline OrdinaryFailure ordinary_failure(Task<> &&work) {
    return OrdinaryFailure(std::move(work).into_python("ordinary_failure"));
}

namespace detail {

// Reports a broken CORE_CHECK on stderr and aborts.
[[noreturn]] void check_failed(const char *condition, const char *message, const char *file,
                               int line) noexcept;

// The exception instance currently raised, taken out of the error indicator (new reference, or
// null when none is raised). For code that must call Python while an error is in flight.
PyObject *fetch_exception();

// Raises `exception` (an instance, reference stolen), keeping its traceback.
void restore_exception(PyObject *exception);

} // namespace detail
} // namespace core
