// Small helpers on Python objects used everywhere: interned names, `in`, truth, dict.get, the
// name of a value's type, and the C API calls Python 3.9 lacks.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

// INTERNED("websocket") is a borrowed handle to an interned str, created on first use and kept
// for the life of the process (never freed, so no destructor runs after the interpreter ends).
// Interned Python strings for attribute names and dictionary keys used on hot paths.
#define INTERNED(text)                                                                             \
    ([]() -> ::nanobind::handle {                                                                  \
        static PyObject *interned = PyUnicode_InternFromString(text);                              \
        return interned;                                                                           \
    }())

// Membership tests on Python containers, as `item in container`.
namespace core {
namespace nb = nanobind;

inline bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

// type(value).__name__, for messages that name what was received.
inline nb::object type_name(nb::handle value) {
    return nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()))).attr("__name__");
}

// The garbage collector's slots (nb::type_slots) of a nanobind class whose C++ object T holds
// Python references: T::traverse(visit, arg) visits them and T::clear() drops them, each called
// only on an instance whose C++ object is ready. The type is visited, as a heap type's instances
// must visit it.
template <class T> PyType_Slot *gc_slots() {
    static PyType_Slot slots[] = {
        {Py_tp_traverse,
         reinterpret_cast<void *>(+[](PyObject *self, visitproc visit, void *arg) -> int {
             Py_VISIT(Py_TYPE(self));
             return nb::inst_ready(self) ? nb::inst_ptr<T>(self)->traverse(visit, arg) : 0;
         })},
        {Py_tp_clear, reinterpret_cast<void *>(+[](PyObject *self) -> int {
             if (nb::inst_ready(self))
                 nb::inst_ptr<T>(self)->clear();
             return 0;
         })},
        {0, nullptr},
    };
    return slots;
}

} // namespace core

// Python's truth test from C++.
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

// Reading a field of a message (a mapping) with a default, as dict.get would.
namespace core {
namespace nb = nanobind;

// message.get(key, fallback): a dict is read directly; anything else goes through its `get`
// attribute, so a message that is not a mapping fails as it would in Python.
nb::object field(nb::handle message, nb::handle key, nb::handle fallback);
inline nb::object field(nb::handle message, nb::handle key) { return field(message, key, Py_None); }

} // namespace core

// C API calls that Python 3.9 lacks, defined as later versions define them.
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *object) {
    Py_INCREF(object);
    return object;
}
static inline PyObject *Py_XNewRef(PyObject *object) {
    Py_XINCREF(object);
    return object;
}
#endif
