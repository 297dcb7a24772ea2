// The output channel: messages posted from any thread, merged while they wait when they are
// writes of one stream, and drained in order on the listener loop.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/task.hpp"
#include "core/text.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/streams/streams.hpp"
#include "kernel/wire/wire.hpp"

// Posting to and draining the kernel's output channel.
namespace kernel {
namespace {

OutputChannel &channel_of(nb::handle self) { return *nb::inst_ptr<OutputChannel>(self); }

// Resets the draining flag when the drain task ends by an exception (cancellation), so that a
// later post schedules a new one.
struct DrainingScope {
    bool &flag;
    ~DrainingScope() { flag = false; }
};

// What a message counts for against the bound: the text it carries and its envelope.
Py_ssize_t size_of(nb::handle message) {
    Py_ssize_t size = QUEUED_MESSAGE_OVERHEAD;
    if (PyDict_Check(message.ptr())) {
        PyObject *content = PyDict_GetItemWithError(message.ptr(), INTERNED("content").ptr());
        if (content && PyUnicode_Check(content))
            size += PyUnicode_GET_LENGTH(content);
        else if (!content && PyErr_Occurred())
            throw nb::python_error();
    }
    return size;
}

nb::object closed_error() {
    return nb::handle(PyExc_RuntimeError)(nb::str("The kernel's output channel is closed"));
}

} // namespace

OutputChannel::OutputChannel(nb::object kernel, nb::object loop)
    : m_kernel(std::move(kernel)), m_loop(std::move(loop)),
      m_loop_thread(PyThread_get_thread_ident()) {}

bool OutputChannel::reserve(Py_ssize_t size) {
    {
        std::lock_guard<std::mutex> lock(m_room_lock);
        if (m_closed)
            return false;
        if (PyThread_get_thread_ident() == m_loop_thread || m_queued == 0 ||
            m_queued + size <= MAX_QUEUED_OUTPUT) {
            m_queued += size;
            return true;
        }
    }
    nb::gil_scoped_release unlocked;
    std::unique_lock<std::mutex> lock(m_room_lock);
    ++m_waiting;
    m_room.wait(
        lock, [&] { return m_closed || m_queued == 0 || m_queued + size <= RESUME_QUEUED_OUTPUT; });
    --m_waiting;
    if (m_closed)
        return false;
    m_queued += size;
    return true;
}

void OutputChannel::release(Py_ssize_t size) {
    {
        std::lock_guard<std::mutex> lock(m_room_lock);
        if (m_closed)
            return;
        m_queued -= size;
        if (m_waiting == 0 || m_queued > RESUME_QUEUED_OUTPUT)
            return;
    }
    m_room.notify_all();
}

bool OutputChannel::grow(nb::handle self, nb::handle message, Py_ssize_t size) {
    OutputChannel &channel = channel_of(self);
    {
        std::lock_guard<std::mutex> lock(channel.m_room_lock);
        bool on_loop = PyThread_get_thread_ident() == channel.m_loop_thread;
        if (channel.m_closed || (!on_loop && channel.m_queued + size > MAX_QUEUED_OUTPUT))
            return false;
        channel.m_queued += size;
    }
    channel.m_grown[message.ptr()] += size;
    return true;
}

Py_ssize_t OutputChannel::queued() const {
    std::lock_guard<std::mutex> lock(m_room_lock);
    return m_queued;
}

void OutputChannel::schedule_drain(nb::handle self) {
    OutputChannel &channel = channel_of(self);
    channel.m_draining = true;
    try {
        nb::object coroutine = drain(nb::borrow(self)).into_python("OutputChannel.drain");
        channel.m_loop.attr("call_soon_threadsafe")(channel.m_loop.attr("create_task"), coroutine);
    } catch (...) {
        // The loop is gone: nothing posted can be sent any more.
        channel.m_draining = false;
        channel.m_queue.clear();
        channel.m_grown.clear();
        {
            std::lock_guard<std::mutex> lock(channel.m_room_lock);
            channel.m_queued = 0;
        }
        channel.m_room.notify_all();
        throw;
    }
}

void OutputChannel::push(nb::handle self, Entry entry) {
    OutputChannel &channel = channel_of(self);
    // May wait for room: the GIL is released meanwhile and the queue may change.
    if (!channel.reserve(entry.size))
        core::raise(PyExc_RuntimeError, "The kernel's output channel is closed");
    channel.m_queue.push_back(std::move(entry));
    if (!channel.m_draining)
        schedule_drain(self);
}

void OutputChannel::post(nb::handle self, nb::object message) {
    Py_ssize_t size = size_of(message);
    push(self, {std::move(message), nb::object(), nb::object(), size});
}

void OutputChannel::post_notifying(nb::handle self, nb::object message, nb::object notify) {
    Py_ssize_t size = size_of(message);
    push(self, {std::move(message), nb::object(), std::move(notify), size});
}

void OutputChannel::close(nb::handle self) {
    OutputChannel &channel = channel_of(self);
    {
        std::lock_guard<std::mutex> lock(channel.m_room_lock);
        channel.m_closed = true;
        channel.m_queued = 0;
    }
    channel.m_room.notify_all();
    channel.m_grown.clear();
    std::deque<Entry> dropped;
    dropped.swap(channel.m_queue);
    for (Entry &entry : dropped) {
        if (entry.reached.is_valid() && !nb::cast<bool>(entry.reached.attr("done")()))
            entry.reached.attr("set_result")(nb::none());
        if (entry.notify.is_valid())
            entry.notify(closed_error());
    }
}

SendConfirmation::SendConfirmation() : m_sent(nb::module_::import_("threading").attr("Lock")()) {
    m_sent.attr("acquire")();
    nb::object sent = m_sent;
    nb::list outcome = m_outcome;
    m_notify = nb::cpp_function(
        [sent, outcome](nb::object error) {
            PyList_Append(outcome.ptr(), error.ptr());
            sent.attr("release")();
        },
        nb::arg("error").none());
}

void SendConfirmation::post(nb::handle channel, nb::object message) {
    PyList_SetSlice(m_outcome.ptr(), 0, PY_SSIZE_T_MAX, nullptr);
    OutputChannel::post_notifying(channel, std::move(message), m_notify);
}

void SendConfirmation::wait(double timeout) {
    if (!nb::cast<bool>(m_sent.attr("acquire")(nb::arg("timeout") = timeout)))
        core::raise(PyExc_TimeoutError,
                    core::text("The hub did not take a message within ", timeout, " s"));
    nb::object error = m_outcome[0];
    if (!error.is_none()) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        throw nb::python_error();
    }
}

core::Task<> OutputChannel::flush(nb::object self) {
    OutputChannel &channel = channel_of(self);
    if ((channel.m_queue.empty() && !channel.m_draining) || channel.m_closed)
        co_return;
    nb::object reached = channel.m_loop.attr("create_future")();
    channel.m_queue.push_back({nb::object(), reached, nb::object(), 0});
    if (!channel.m_draining)
        schedule_drain(self);
    co_await reached;
}

core::Task<> OutputChannel::drain(nb::object self) {
    OutputChannel &channel = channel_of(self);
    channel.m_task = state().asyncio.attr("current_task")();
    DrainingScope draining{channel.m_draining};
    nb::object sleep = state().asyncio.attr("sleep");
    int sent_since_yield = 0;
    while (true) {
        if (channel.m_queue.empty() || channel.m_closed) {
            // Checked and cleared with no Python call in between: a writer that posts after
            // this point sees m_draining false and schedules a new drain.
            channel.m_task = nb::object();
            channel.m_draining = false;
            break;
        }
        Entry entry = std::move(channel.m_queue.front());
        channel.m_queue.pop_front();
        if (!entry.message.is_valid()) {
            if (!nb::cast<bool>(entry.reached.attr("done")()))
                entry.reached.attr("set_result")(nb::none());
            continue;
        }
        nb::object error = nb::none();
        try {
            co_await channel.m_kernel.attr(INTERNED("send_message"))(entry.message);
        } catch (nb::python_error &e) {
            if (!core::is_ordinary(e))
                throw;
            // As a send submitted from a worker: its failure stays with the send.
            log().debug("[Kernel] Failed to send queued output: ", core::exception_of(e));
            error = core::exception_of(e);
        }
        Py_ssize_t size = entry.size;
        auto grown = channel.m_grown.find(entry.message.ptr());
        if (grown != channel.m_grown.end()) {
            size += grown->second;
            channel.m_grown.erase(grown);
        }
        channel.release(size);
        if (entry.notify.is_valid())
            entry.notify(error);
        if (++sent_since_yield == OUTPUT_DRAIN_BATCH) {
            sent_since_yield = 0;
            co_await sleep(0);
        }
    }
}

int OutputChannel::traverse(visitproc visit, void *arg) {
    Py_VISIT(m_kernel.ptr());
    Py_VISIT(m_loop.ptr());
    Py_VISIT(m_task.ptr());
    for (const Entry &entry : m_queue) {
        Py_VISIT(entry.message.ptr());
        Py_VISIT(entry.reached.ptr());
        Py_VISIT(entry.notify.ptr());
    }
    return 0;
}

void OutputChannel::clear() {
    m_kernel.reset();
    m_loop.reset();
    m_task.reset();
    m_queue.clear();
}

void OutputChannel::bind(nb::module_ &module) {
    nb::class_<OutputChannel>(module, "_OutputChannel",
                              nb::type_slots(core::gc_slots<OutputChannel>()),
                              "Sends messages posted from any thread, in order, on the loop.")
        .def(nb::init<nb::object, nb::object>(), nb::arg("kernel"), nb::arg("loop"))
        .def(
            "post", [](nb::handle self, nb::object message) { post(self, message); },
            nb::arg("message"))
        .def("flush", core::coroutine_method<&OutputChannel::flush>("OutputChannel.flush"))
        .def_prop_ro("queued", &OutputChannel::queued,
                     "What the queued messages count for: their text plus an envelope each.");
}

nb::object output_channel_of(nb::handle kernel) {
    nb::object channel = kernel.attr(INTERNED("_output_channel"));
    if (channel.is_none()) {
        channel =
            module_global("_OutputChannel")(kernel, state().asyncio.attr("get_running_loop")());
        kernel.attr("_output_channel") = channel;
    }
    return channel;
}

} // namespace kernel

// Consecutive writes of one stream of one execution, merged into the message still waiting.
namespace kernel {
namespace {

FrameGatherer &gatherer_of(nb::handle self) { return *nb::inst_ptr<FrameGatherer>(self); }

// Characters `text` may take in JSON text: exact for ASCII, the worst case (a surrogate pair
// escaped as two \uXXXX) for anything else.
Py_ssize_t escaped_length(nb::handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (!PyUnicode_IS_ASCII(text.ptr()))
        return 12 * length;
    const unsigned char *data = PyUnicode_1BYTE_DATA(text.ptr());
    Py_ssize_t cost = length;
    for (Py_ssize_t i = 0; i < length; ++i) {
        unsigned char c = data[i];
        if (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f')
            cost += 1;
        else if (c < 0x20)
            cost += 5;
    }
    return cost;
}

// The JSON text of the message's other fields, at worst; MAX_MERGED_TEXT when one of them is
// not a short string or None (such a message is never merged).
Py_ssize_t envelope_length(std::initializer_list<nb::handle> fields) {
    Py_ssize_t cost = 96;
    for (nb::handle value : fields) {
        if (value.is_none())
            continue;
        if (!PyUnicode_Check(value.ptr()))
            return MAX_MERGED_TEXT;
        cost += escaped_length(value);
    }
    return cost;
}

bool same_item(nb::handle message, nb::handle key, nb::handle value) {
    return PyDict_GetItem(message.ptr(), key.ptr()) == value.ptr();
}

} // namespace

void FrameGatherer::post_stream_text(nb::handle self, nb::handle channel, nb::handle type,
                                     nb::handle text, nb::handle request_id, nb::handle workbook_id,
                                     nb::handle source) {
    FrameGatherer &gatherer = gatherer_of(self);
    Py_ssize_t cost = escaped_length(text);
    nb::handle open = gatherer.m_open;
    if (open.is_valid() && same_item(open, INTERNED("type"), type) &&
        same_item(open, INTERNED("request_id"), request_id) &&
        same_item(open, INTERNED("workbook_id"), workbook_id) &&
        same_item(open, INTERNED("source"), source) &&
        gatherer.m_open_cost + cost <= MAX_MERGED_TEXT &&
        OutputChannel::grow(channel, open, PyUnicode_GET_LENGTH(text.ptr()))) {
        if (PyList_Append(gatherer.m_open_pieces.ptr(), text.ptr()) < 0)
            throw nb::python_error();
        gatherer.m_open_cost += cost;
        return;
    }
    // The waiting message takes no more: its text is complete before another message follows.
    gatherer.close_open();
    nb::dict message = stream_message(type, text, request_id, workbook_id, source);
    // Opened before it is posted: posting may let the loop run, which may claim it at once.
    cost += envelope_length({type, request_id, workbook_id, source});
    if (cost <= MAX_MERGED_TEXT) {
        gatherer.m_open = message;
        gatherer.m_open_pieces = nb::list();
        PyList_Append(gatherer.m_open_pieces.ptr(), text.ptr());
        gatherer.m_open_cost = cost;
    }
    try {
        OutputChannel::post(channel, message);
    } catch (...) {
        if (gatherer.m_open.is(message)) {
            gatherer.m_open = nb::object();
            gatherer.m_open_pieces = nb::object();
        }
        throw;
    }
}

void FrameGatherer::claim(nb::handle message) {
    if (m_open.is_valid() && m_open.is(message))
        close_open();
}

void FrameGatherer::close_open() {
    if (!m_open.is_valid())
        return;
    if (PyList_GET_SIZE(m_open_pieces.ptr()) > 1) {
        nb::object whole = nb::steal(PyUnicode_Join(INTERNED("").ptr(), m_open_pieces.ptr()));
        if (!whole.is_valid())
            throw nb::python_error();
        nb::borrow<nb::dict>(m_open)[INTERNED("content")] = whole;
    }
    m_open = nb::object();
    m_open_pieces = nb::object();
}

} // namespace kernel
