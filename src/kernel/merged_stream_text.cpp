// Consecutive writes of one stream of one execution, merged into the message still waiting.
#include "core/interned.hpp"
#include "kernel/frame_gatherer.hpp"
#include "kernel/output_channel.hpp"
#include "kernel/stream_callbacks.hpp"

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
