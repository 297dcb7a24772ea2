// KernelStreamHook forwards output written outside any execution to the hub, and still to the
// console stream it replaced.
//
// Writes from a thread that runs an execution are routed to that execution's capture instead
// (see output_routing.hpp). The hook never raises into the writer for failures of its targets:
// a failing console stream is ignored, a failing send is reported on the console stream.
#include "kernel/kernel_stream_hook.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "core/python_class.hpp"
#include "core/text.hpp"
#include "kernel/output_routing.hpp"

namespace kernel {
namespace {

StreamKind kind_of(nb::handle self) {
    return self.attr(INTERNED("stream_type")).equal(INTERNED("stdout")) ? StreamKind::Stdout
                                                                        : StreamKind::Stderr;
}

void init(nb::handle self, nb::object stream_type, nb::object send_callback) {
    self.attr("stream_type") = stream_type;
    self.attr("send_callback") = send_callback;
    nb::object sys = nb::module_::import_("sys");
    self.attr("_original_stream") =
        stream_type.equal(nb::str("stdout")) ? sys.attr("stdout") : sys.attr("stderr");
}

// Calls `method` of `stream` with `args`, dropping an ordinary exception; true when it worked.
template <class... Args> bool call_quietly(nb::handle stream, nb::handle method, Args... args) {
    PyObject *result = PyObject_CallMethodObjArgs(stream.ptr(), method.ptr(), args..., nullptr);
    if (result) {
        Py_DECREF(result);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

nb::object write(nb::handle self, nb::object text) {
    if (!PyUnicode_Check(text.ptr()))
        core::raise(PyExc_TypeError, core::text("write() argument must be str, not ",
                                                nb::handle(Py_TYPE(text.ptr())).attr("__name__")));
    if (PyObject *capture = routed_capture(kind_of(self)))
        return nb::borrow(capture).attr(INTERNED("write"))(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (length == 0)
        return nb::int_(0);
    nb::object original = self.attr(INTERNED("_original_stream"));
    if (call_quietly(original, INTERNED("write"), text.ptr()))
        call_quietly(original, INTERNED("flush"));
    nb::object send = self.attr(INTERNED("send_callback"));
    if (!send.is_none()) {
        PyObject *sent = PyObject_CallFunctionObjArgs(
            send.ptr(), self.attr(INTERNED("stream_type")).ptr(), text.ptr(), nullptr);
        if (sent) {
            Py_DECREF(sent);
        } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
            nb::python_error error;
            nb::str report =
                core::text("[KernelStreamHook Error] ", core::exception_of(error), "\n");
            call_quietly(original, INTERNED("write"), report.ptr());
        } else {
            throw nb::python_error();
        }
    }
    return nb::int_(length);
}

void flush(nb::handle self) {
    if (PyObject *capture = routed_capture(kind_of(self))) {
        nb::borrow(capture).attr("flush")();
        return;
    }
    call_quietly(self.attr("_original_stream"), INTERNED("flush"));
}

} // namespace

nb::object make_kernel_stream_hook_class(nb::handle module) {
    nb::object cls = core::make_python_class(
        module, "KernelStreamHook", nb::make_tuple(nb::module_::import_("io").attr("TextIOBase")),
        "The process-wide standard stream of a connected kernel: forwards each write to the hub "
        "and to the stream it replaced.");
    cls.attr("encoding") = "utf-8";
    core::add_method(cls, "__init__", &init, nb::arg("stream_type"),
                     nb::arg("send_callback").none());
    core::add_method(cls, "write", &write, nb::arg("text").none());
    core::add_method(cls, "flush", &flush);
    core::add_method(cls, "readable", [](nb::handle) { return false; });
    core::add_method(cls, "writable", [](nb::handle) { return true; });
    return cls;
}

} // namespace kernel
