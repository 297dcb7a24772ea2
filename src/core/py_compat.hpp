// C API calls that Python 3.9 lacks, defined as later versions define them.
#pragma once

#include <Python.h>

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
