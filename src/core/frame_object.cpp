// Allocation, tear-down and attributes shared by the frame-owning Python objects.
#include "core/frame_object.hpp"

#include <cstring>
#include <new>

namespace core::detail {

nb::object new_frame_object(PyTypeObject *type, std::coroutine_handle<> handle,
                            PromiseBase *promise, const char *qualname) {
    FrameObject *self = reinterpret_cast<FrameObject *>(_PyObject_GC_New(type));
    if (!self) {
        handle.destroy();
        throw nb::python_error();
    }
    new (&self->frame) Frame(handle, promise);
    self->weakrefs = nullptr;
    self->qualname = PyUnicode_FromString(qualname);
    const char *dot = std::strrchr(qualname, '.');
    self->name = PyUnicode_FromString(dot ? dot + 1 : qualname);
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(self));
    if (!self->qualname || !self->name)
        throw nb::python_error();
    return result;
}

int traverse_frame_object(PyObject *self, visitproc visit, void *arg) {
    FrameObject *object = as_frame_object(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(object->name);
    Py_VISIT(object->qualname);
    return object->frame.traverse(visit, arg);
}

void clear_frame_object(PyObject *self) {
    FrameObject *object = as_frame_object(self);
    if (object->weakrefs)
        PyObject_ClearWeakRefs(self);
    object->frame.~Frame();
    Py_CLEAR(object->name);
    Py_CLEAR(object->qualname);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_frame_object(self)->name); }
PyObject *get_qualname(PyObject *self, void *) {
    return Py_NewRef(as_frame_object(self)->qualname);
}

static int set_text(PyObject **field, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(&as_frame_object(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(&as_frame_object(self)->qualname, value, "__qualname__");
}

PyObject *get_await(PyObject *self, void *) {
    PyObject *inner = as_frame_object(self)->frame.awaiting();
    return Py_NewRef(inner ? inner : Py_None);
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

} // namespace core::detail
