// Thread-local capture slots of the stream hooks.
#include "kernel/output_routing.hpp"

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
