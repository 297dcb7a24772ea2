// Which streaming functions a "cancel_streaming_function" may name: those announced by the
// dispatcher or running. A cancel for any other id is logged and forgotten, so the set of
// remembered cancels never outgrows the streams that can honour them.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// Most cancels remembered at once; one beyond it is refused with a warning.
inline constexpr Py_ssize_t MAX_PENDING_CANCELS = 1024;
// Seconds a cancelled stream's generator has to reach its next yield before it is interrupted.
inline constexpr double CANCEL_GRACE = 0.05;

// The open streams of one kernel, by request id: how many are open under each id, and how many
// of those the dispatcher announced before their task started. Ids are hashable JSON values
// (text, numbers), so these tables hold no reference cycle. Touched on the listener loop only.
class OpenStreams {
public:
    // The dispatcher starts a stream's task: a cancel may name it from now on.
    void announce(nb::handle request_id);
    // The stream's task starts: takes over its announcement, or opens the stream when it was
    // started without the dispatcher.
    void start(nb::handle request_id);
    // The stream's task ends; when no stream is open under the id, its cancel is forgotten too.
    void end(nb::handle kernel, nb::handle request_id);
    bool is_open(nb::handle request_id) const;

private:
    nb::dict m_open;      // request id -> streams open under it
    nb::dict m_announced; // request id -> announced streams whose task has not started yet
};

// The kernel's table, or null for an object that is not a PythonKernel (a stand-in in a test).
OpenStreams *open_streams_of(nb::handle kernel);

// Marks one stream open for a scope: the task of _execute_streaming_function holds one from its
// first step to its end, whichever way it ends.
class OpenStream {
public:
    OpenStream(nb::handle kernel, nb::handle request_id);
    OpenStream(const OpenStream &) = delete;
    ~OpenStream();

private:
    nb::object m_kernel, m_request_id;
};

// The inline branch of "cancel_streaming_function".
core::Task<> cancel_streaming_function(nb::object self, nb::object message);

} // namespace kernel
