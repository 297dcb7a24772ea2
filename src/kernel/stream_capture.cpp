// StreamCapture keeps what an execution writes and hands each write to its callback.
//
// write() runs on the thread of the writer (a worker); the callback only hands the text over
// (to the kernel's output channel) and never waits. A failing callback never interrupts the
// user code: its exception is dropped here, as the caller of write() cannot act on it.
#include "kernel/stream_capture.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "core/python_class.hpp"
#include "core/text.hpp"

namespace kernel {
namespace {

void init(nb::handle self, nb::object on_write) {
    self.attr("_buffer") = nb::module_::import_("io").attr("StringIO")();
    self.attr("_on_write") = on_write;
}

nb::object write(nb::handle self, nb::object text) {
    if (!PyUnicode_Check(text.ptr()))
        core::raise(PyExc_TypeError, core::text("write() argument must be str, not ",
                                                nb::handle(Py_TYPE(text.ptr())).attr("__name__")));
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (length == 0)
        return nb::int_(0);
    self.attr(INTERNED("_buffer")).attr(INTERNED("write"))(text);
    nb::object on_write = self.attr(INTERNED("_on_write"));
    if (!on_write.is_none()) {
        PyObject *result = PyObject_CallOneArg(on_write.ptr(), text.ptr());
        if (result)
            Py_DECREF(result);
        else if (PyErr_ExceptionMatches(PyExc_Exception))
            PyErr_Clear(); // the writer must never see the callback fail
        else
            throw nb::python_error();
    }
    return nb::int_(length);
}

nb::object getvalue(nb::handle self) { return self.attr("_buffer").attr("getvalue")(); }

} // namespace

nb::object make_stream_capture_class(nb::handle module) {
    nb::object cls = core::make_python_class(
        module, "StreamCapture", nb::make_tuple(nb::module_::import_("io").attr("TextIOBase")),
        "Keeps the text an execution writes and passes each write to on_write.");
    cls.attr("encoding") = "utf-8";
    core::add_method(cls, "__init__", &init, nb::arg("on_write").none() = nb::none());
    core::add_method(cls, "write", &write, nb::arg("text").none());
    core::add_method(cls, "getvalue", &getvalue);
    core::add_method(cls, "flush", [](nb::handle) {});
    core::add_method(cls, "readable", [](nb::handle) { return false; });
    core::add_method(cls, "writable", [](nb::handle) { return true; });
    return cls;
}

} // namespace kernel
