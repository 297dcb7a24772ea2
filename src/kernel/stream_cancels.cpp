// Open streams and the cancels that name them.
#include "kernel/stream_cancels.hpp"

#include "core/containers.hpp"
#include "core/errors.hpp"
#include "core/interned.hpp"
#include "kernel/interrupts.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"
#include "kernel/python_kernel.hpp"

namespace kernel {
namespace {

// False for an id that cannot be a key (a list): such a stream cannot be cancelled.
bool hashable(nb::handle request_id) {
    if (PyObject_Hash(request_id.ptr()) != -1)
        return true;
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

long count_of(const nb::dict &table, nb::handle request_id) {
    PyObject *count = PyDict_GetItemWithError(table.ptr(), request_id.ptr());
    if (!count && PyErr_Occurred())
        throw nb::python_error();
    return count ? PyLong_AsLong(count) : 0;
}

void add(nb::dict &table, nb::handle request_id, long delta) {
    long count = count_of(table, request_id) + delta;
    if (count > 0)
        table[request_id] = count;
    else if (PyDict_DelItem(table.ptr(), request_id.ptr()) < 0)
        PyErr_Clear(); // was not there
}

} // namespace

void OpenStreams::announce(nb::handle request_id) {
    if (!hashable(request_id))
        return;
    add(m_open, request_id, 1);
    add(m_announced, request_id, 1);
}

void OpenStreams::start(nb::handle request_id) {
    if (!hashable(request_id))
        return;
    if (count_of(m_announced, request_id) > 0)
        add(m_announced, request_id, -1);
    else
        add(m_open, request_id, 1);
}

void OpenStreams::end(nb::handle kernel, nb::handle request_id) {
    if (!hashable(request_id))
        return;
    add(m_open, request_id, -1);
    if (count_of(m_open, request_id) == 0)
        kernel.attr("_canceled_streaming_requests").attr("discard")(request_id);
}

bool OpenStreams::is_open(nb::handle request_id) const {
    return hashable(request_id) && count_of(m_open, request_id) > 0;
}

OpenStreams *open_streams_of(nb::handle kernel) {
    if (!nb::isinstance<PythonKernel>(kernel))
        return nullptr;
    return &nb::inst_ptr<PythonKernel>(kernel)->m_open_streams;
}

OpenStream::OpenStream(nb::handle kernel, nb::handle request_id)
    : m_kernel(nb::borrow(kernel)), m_request_id(nb::borrow(request_id)) {
    if (OpenStreams *streams = open_streams_of(kernel))
        streams->start(request_id);
}

OpenStream::~OpenStream() {
    // Runs when the task's frame ends, also while an exception unwinds it: keep that exception.
    OpenStreams *streams = open_streams_of(m_kernel);
    if (!streams)
        return;
    PyObject *raised = core::detail::fetch_exception();
    try {
        streams->end(m_kernel, m_request_id);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("OpenStream");
    }
    if (raised)
        core::detail::restore_exception(raised);
}

core::Task<> cancel_streaming_function(nb::object self, nb::object message) {
    nb::object request_id = field(message, INTERNED("request_id"));
    log().info("[Kernel] Received cancel_streaming_function for request_id: ", request_id);
    OpenStreams *streams = open_streams_of(self);
    if (streams && !streams->is_open(request_id)) {
        log().warning("[Kernel] Ignored cancel_streaming_function for request_id ", request_id,
                      ": no stream with that id is running or announced");
        co_return;
    }
    nb::object canceled = self.attr("_canceled_streaming_requests");
    if (nb::len(canceled) >= static_cast<size_t>(MAX_PENDING_CANCELS)) {
        log().warning("[Kernel] Ignored cancel_streaming_function for request_id ", request_id,
                      ": ", MAX_PENDING_CANCELS, " cancels are pending already");
        co_return;
    }
    canceled.attr("add")(request_id);
    if (!PyUnicode_Check(request_id.ptr()))
        co_return;
    // A generator that yields soon ends at its yield; one still computing after CANCEL_GRACE
    // is interrupted rather than left to reach its next yield.
    nb::object check = nb::cpp_function([canceled, request_id] {
        if (core::contains(canceled, request_id)) // the stream has not ended meanwhile
            interrupt_runs(request_id);
    });
    state().asyncio.attr("get_running_loop")().attr("call_later")(CANCEL_GRACE, check);
}

} // namespace kernel
