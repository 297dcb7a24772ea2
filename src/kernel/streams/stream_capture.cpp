// Capturing an execution's output: StreamCapture, the per-thread routing of the stream hooks to
// it, and the pass-through redirection of runs without a connected kernel.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/python_class.hpp"
#include "core/text.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/streams/streams.hpp"

// StreamCapture keeps what an execution writes and hands each write to its callback.
//
// write() runs on the thread of the writer (a worker); the callback only hands the text over
// (to the kernel's output channel) and never waits. A failing callback never interrupts the
// user code: its exception is dropped here, as the caller of write() cannot act on it.
namespace kernel {
namespace {

void init(nb::handle self, nb::object on_write) {
    self.attr("_buffer") = nb::module_::import_("io").attr("StringIO")();
    self.attr("_on_write") = on_write;
}

nb::object write(nb::handle self, nb::object text) {
    if (!PyUnicode_Check(text.ptr()))
        core::raise(PyExc_TypeError,
                    core::text("write() argument must be str, not ", core::type_name(text)));
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

// Thread-local capture slots of the stream hooks.
namespace kernel {
namespace {

// Borrowed: each capture is owned by the execution that routed to it, for the route's scope.
thread_local PyObject *t_captures[2] = {nullptr, nullptr};

PyObject *&slot(StreamKind kind) { return t_captures[kind == StreamKind::Stdout ? 0 : 1]; }

} // namespace

PyObject *routed_capture(StreamKind kind) { return slot(kind); }

CaptureRoute::CaptureRoute(StreamKind kind, nb::handle capture)
    : m_kind(kind), m_previous(slot(kind)) {
    slot(kind) = capture.ptr();
}

CaptureRoute::~CaptureRoute() { slot(m_kind) = m_previous; }

} // namespace kernel

// The shared pass-through hook of executions that run without a connected kernel's hooks.
namespace kernel {
namespace {

// One per standard stream; guarded by the GIL. Leaked: never destroyed after the interpreter.
struct SharedRouter {
    int users = 0;
    nb::object router;   // the pass-through hook installed as the process stream
    nb::object replaced; // the stream it replaced
};

SharedRouter &router_for(StreamKind kind) {
    static SharedRouter *routers = new SharedRouter[2];
    return routers[kind == StreamKind::Stdout ? 0 : 1];
}

const char *name_of(StreamKind kind) { return kind == StreamKind::Stdout ? "stdout" : "stderr"; }

} // namespace

StreamRedirect::StreamRedirect(StreamKind kind, nb::handle capture) : m_kind(kind) {
    nb::object sys = nb::module_::import_("sys");
    nb::object current = sys.attr(name_of(kind));
    SharedRouter &shared = router_for(kind);
    bool is_hook = nb::isinstance(current, module_global("KernelStreamHook"));
    if (!is_hook || (shared.users > 0 && current.is(shared.router))) {
        if (!is_hook) {
            // The hook takes the current process stream as its pass-through target.
            shared.replaced = current;
            shared.router = module_global("KernelStreamHook")(name_of(kind), nb::none());
            shared.users = 0;
            sys.attr(name_of(kind)) = shared.router;
        }
        ++shared.users;
        m_shares_router = true;
    }
    m_route.emplace(kind, capture);
}

StreamRedirect::~StreamRedirect() {
    m_route.reset();
    if (!m_shares_router)
        return;
    SharedRouter &shared = router_for(m_kind);
    if (--shared.users > 0)
        return;
    // Taken out of the shared state first: putting the stream back may free the router and
    // run Python code, which can let another thread's redirect install a router of its own
    // meanwhile; clearing the shared state afterwards would lose that one's record (and its
    // end would then set the stream to nothing: sys.stderr deleted).
    nb::object router = std::move(shared.router);
    nb::object replaced = std::move(shared.replaced);
    PyObject *sys = PyImport_AddModule("sys");
    PyObject *current = sys ? PyObject_GetAttrString(sys, name_of(m_kind)) : nullptr;
    // Put the replaced stream back unless someone else replaced the router meanwhile.
    if (current == router.ptr() && replaced.is_valid() &&
        PyObject_SetAttrString(sys, name_of(m_kind), replaced.ptr()) < 0)
        PyErr_WriteUnraisable(nullptr);
    if (!current)
        PyErr_Clear();
    Py_XDECREF(current);
}

} // namespace kernel
