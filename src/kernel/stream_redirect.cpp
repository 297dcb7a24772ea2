// The shared pass-through hook of executions that run without a connected kernel's hooks.
#include "kernel/stream_redirect.hpp"

#include "kernel/kernel_module.hpp"

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
