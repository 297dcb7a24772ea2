// StreamRedirect: sends what the current thread writes to sys.stdout or sys.stderr to a capture.
//
// Always by per-thread routing through a KernelStreamHook, so that concurrent executions keep
// their output apart and the process streams are never left pointing at a finished capture:
// - when the process stream is already a hook (a connected kernel), only the route is set;
// - otherwise a pass-through hook (no send callback) replaces the stream while at least one
//   execution needs it, and the stream it replaced comes back when the last one ends.
#pragma once

#include "kernel/output_routing.hpp"

#include <optional>

namespace kernel {

class StreamRedirect {
public:
    StreamRedirect(StreamKind kind, nb::handle capture);
    StreamRedirect(const StreamRedirect &) = delete;
    ~StreamRedirect();

private:
    StreamKind m_kind;
    bool m_shares_router = false;
    std::optional<CaptureRoute> m_route;
};

} // namespace kernel
