// Asynchronous iteration over Python async iterables from C++ coroutines.
#include "core/async_iterator.hpp"

#include "core/errors.hpp"

namespace core {

std::optional<nb::object> NextAwaiter::await_resume() {
    if (error && error->matches(PyExc_StopAsyncIteration)) {
        error.reset();
        return std::nullopt;
    }
    return result();
}

AsyncIterator::AsyncIterator(nb::handle iterable) {
    PyAsyncMethods *async = Py_TYPE(iterable.ptr())->tp_as_async;
    if (!async || !async->am_aiter) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' requires an object with __aiter__ method, got %.100s",
                     Py_TYPE(iterable.ptr())->tp_name);
        raise_current();
    }
    PyObject *iterator = async->am_aiter(iterable.ptr());
    if (!iterator)
        raise_current();
    m_iterator = nb::steal(iterator);
}

NextAwaiter AsyncIterator::next() {
    PyAsyncMethods *async = Py_TYPE(m_iterator.ptr())->tp_as_async;
    if (!async || !async->am_anext) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement "
                     "__anext__: %.100s",
                     Py_TYPE(m_iterator.ptr())->tp_name);
        raise_current();
    }
    PyObject *awaitable = async->am_anext(m_iterator.ptr());
    if (!awaitable)
        raise_current();
    return NextAwaiter(nb::steal(awaitable));
}

} // namespace core
