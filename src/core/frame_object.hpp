// What the Python coroutine and async generator objects share: the frame they own, their names
// and weak references, and the attribute getters built on those.
#pragma once

#include "core/frame.hpp"

namespace core::detail {

// The head of every Python object that runs a C++ frame. Types extend it by derivation, so a
// PyObject* of either type can be read as a FrameObject*.
struct FrameObject {
    PyObject_HEAD
    Frame frame;
    PyObject *name;     // the function's name: qualname after its last dot
    PyObject *qualname; // e.g. "PythonKernel.connect"
    PyObject *weakrefs;
};

inline FrameObject *as_frame_object(PyObject *self) {
    return reinterpret_cast<FrameObject *>(self);
}

// Allocates an object of `type` (whose basic size covers its extension of FrameObject) that owns
// `handle`. The extension's own fields are left for the caller. On failure the frame is
// destroyed and nb::python_error thrown.
nb::object new_frame_object(PyTypeObject *type, std::coroutine_handle<> handle,
                            PromiseBase *promise, const char *qualname);

// The FrameObject part of tp_traverse and tp_dealloc.
int traverse_frame_object(PyObject *self, visitproc visit, void *arg);
void clear_frame_object(PyObject *self);

// Getters and setters for the type's PyGetSetDef table.
PyObject *get_name(PyObject *self, void *);
PyObject *get_qualname(PyObject *self, void *);
int set_name(PyObject *self, PyObject *value, void *);
int set_qualname(PyObject *self, PyObject *value, void *);
PyObject *get_await(PyObject *self, void *); // the delegate, or None
PyObject *get_none(PyObject *self, void *);  // cr_frame/cr_code: C++ frames have no Python frame

} // namespace core::detail
