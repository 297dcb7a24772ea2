// The process-wide hooks of a connected kernel (KernelStreamHook on sys.stdout and sys.stderr,
// the host bridge's request function) and the per-run callbacks that post writes to the output
// channel.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/python_class.hpp"
#include "core/text.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/streams/streams.hpp"
#include "kernel/wire/wire.hpp"

// KernelStreamHook forwards output written outside any execution to the hub, and still to the
// console stream it replaced.
//
// Writes from a thread that runs an execution are routed to that execution's capture instead
// (see CaptureRoute in streams.hpp). The hook never raises into the writer for failures of its
// targets: a failing console stream is ignored, a failing send is reported on the console stream.
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
        core::raise(PyExc_TypeError,
                    core::text("write() argument must be str, not ", core::type_name(text)));
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

// Per-run stream callbacks posting to the output channel.
namespace kernel {

nb::dict stream_message(nb::handle type, nb::handle text, nb::handle request_id,
                        nb::handle workbook_id, nb::handle source) {
    nb::dict message;
    message[INTERNED("type")] = type;
    message[INTERNED("content")] = text;
    message[INTERNED("request_id")] = request_id;
    message[INTERNED("workbook_id")] = workbook_id;
    message[INTERNED("source")] = source;
    return message;
}

namespace {

nb::object make_callback(nb::object channel, const char *stream_type, nb::object request_id,
                         nb::object workbook_id, nb::object source) {
    nb::str type(stream_type);
    return nb::cpp_function(
        [channel, type, request_id, workbook_id, source](nb::object text) {
            try {
                OutputChannel::post(channel,
                                    stream_message(type, text, request_id, workbook_id, source));
            } catch (nb::python_error &e) {
                if (!core::is_ordinary(e))
                    throw;
                log().debug("[Kernel] ", type, " streaming error: ", core::exception_of(e));
            }
        },
        nb::arg("text").none());
}

// With gathered output: consecutive writes still waiting in the channel become one message.
nb::object make_gathering_callback(nb::object gatherer, nb::object channel, const char *stream_type,
                                   nb::object request_id, nb::object workbook_id,
                                   nb::object source) {
    nb::str type(stream_type);
    return nb::cpp_function(
        [gatherer, channel, type, request_id, workbook_id, source](nb::object text) {
            try {
                if (!PyUnicode_Check(text.ptr()))
                    core::raise(PyExc_TypeError, "stream text must be str");
                FrameGatherer::post_stream_text(gatherer, channel, type, text, request_id,
                                                workbook_id, source);
            } catch (nb::python_error &e) {
                if (!core::is_ordinary(e))
                    throw;
                log().debug("[Kernel] ", type, " streaming error: ", core::exception_of(e));
            }
        },
        nb::arg("text").none());
}

} // namespace

StreamCallbacks make_stream_callbacks(nb::handle kernel, nb::object request_id,
                                      nb::object workbook_id, nb::object source) {
    nb::object channel = output_channel_of(kernel);
    nb::object gatherer = frame_gatherer_of(kernel);
    if (!gatherer.is_none())
        return {
            make_gathering_callback(gatherer, channel, "stdout", request_id, workbook_id, source),
            make_gathering_callback(gatherer, channel, "stderr", request_id, workbook_id, source)};
    return {make_callback(channel, "stdout", request_id, workbook_id, source),
            make_callback(channel, "stderr", request_id, workbook_id, source)};
}

} // namespace kernel

// Installation and removal of the process-wide hooks of a connected kernel.
namespace kernel {
namespace {

// print() holds the stream it writes to without a reference of its own, between its writes too.
// A worker may be inside such a write, waiting for room in the output channel, when disconnect
// puts the original streams back: the hooks must outlive it, so each installed hook is kept for
// the life of the process (two small objects per connection). Leaked on purpose.
nb::object kept_for_process(nb::object hook) {
    static nb::list *kept = new nb::list();
    kept->append(hook);
    return hook;
}

} // namespace

void install_host_hooks(nb::handle self) {
    output_channel_of(self);
    nb::object send_stream_message = make_send_stream_message(self);
    nb::object hook_class = module_global("KernelStreamHook");
    nb::object sys = nb::module_::import_("sys");
    // Each hook keeps the stream it replaces as its console pass-through.
    sys.attr("stdout") = kept_for_process(hook_class("stdout", send_stream_message));
    sys.attr("stderr") = kept_for_process(hook_class("stderr", send_stream_message));
    state().quorvel.attr("messaging").attr("send_request_sync") = make_send_request_sync(self);
}

void remove_host_hooks(nb::handle self) {
    nb::object sys = nb::module_::import_("sys");
    sys.attr("stdout") = self.attr("_original_stdout");
    sys.attr("stderr") = self.attr("_original_stderr");
}

} // namespace kernel
