// Reassembly of inbound "chunk" messages into the message they carry.
//
// One buffer per chunk_id in `_chunk_buffers`: {"chunks": slots, "received": n, "total": n,
// "size": characters so far}. Chunks may arrive in any order and interleaved with other
// messages' chunks; a repeated chunk is ignored (the first copy wins). A chunk that does not fit
// (fields of the wrong type, an index beyond its message's chunks) is logged and dropped. Only
// the listener loop touches the buffers. Bounds against hostile input: a message may claim at most
// MAX_TOTAL_CHUNKS chunks and carry at most MAX_CHUNKED_MESSAGE_SIZE characters, and at most
// MAX_CHUNK_BUFFERS partial messages are kept (a new one drops the oldest).
#include "core/containers.hpp"
#include "core/errors.hpp"
#include "core/interned.hpp"
#include "core/py_compat.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"
#include "kernel/python_kernel.hpp"

namespace kernel {
namespace {

bool greater(nb::handle a, Py_ssize_t b) {
    int result = PyObject_RichCompareBool(a.ptr(), nb::int_(b).ptr(), Py_GT);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

bool less(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// Drops the oldest partial message when the buffers are full, to make room for a new one.
void make_room(nb::dict buffers) {
    if (static_cast<Py_ssize_t>(nb::len(buffers)) < MAX_CHUNK_BUFFERS)
        return;
    nb::object oldest = nb::borrow(*buffers.keys().begin());
    log().error("[Kernel] Too many partial chunked messages: dropped chunk_id ", oldest);
    PyDict_DelItem(buffers.ptr(), oldest.ptr());
}

nb::dict new_buffer(nb::handle total_chunks) {
    Py_ssize_t total = PyLong_AsSsize_t(total_chunks.ptr());
    nb::list slots = nb::steal<nb::list>(PyList_New(total));
    for (Py_ssize_t i = 0; i < total; ++i)
        PyList_SET_ITEM(slots.ptr(), i, Py_NewRef(Py_None));
    nb::dict buffer;
    buffer["chunks"] = slots;
    buffer["received"] = 0;
    buffer["total"] = total_chunks;
    buffer["size"] = 0;
    return buffer;
}

} // namespace

core::Task<nb::object> handle_chunk_message(nb::object self, nb::object message) {
    nb::object chunk_id = field(message, INTERNED("chunk_id"));
    nb::object chunk_index = field(message, INTERNED("chunk_index"));
    nb::object total_chunks = field(message, INTERNED("total_chunks"));
    nb::object data = field(message, INTERNED("data"), INTERNED(""));

    if (chunk_index.is_none() || total_chunks.is_none() || chunk_id.is_none()) {
        log().error("[Kernel] Invalid chunk message: missing required fields");
        co_return nb::none();
    }
    if (!PyLong_Check(chunk_index.ptr()) || !PyLong_Check(total_chunks.ptr())) {
        log().error(
            "[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers");
        co_return nb::none();
    }
    if (less(chunk_index, nb::int_(0)) || !less(chunk_index, total_chunks)) {
        log().error("[Kernel] Invalid chunk_index ", chunk_index, " for total_chunks ",
                    total_chunks);
        co_return nb::none();
    }
    if (!PyUnicode_Check(chunk_id.ptr())) {
        log().error("[Kernel] Invalid chunk message: chunk_id must be a string");
        co_return nb::none();
    }
    if (!data.is_none() && !PyUnicode_Check(data.ptr())) {
        log().error("[Kernel] Invalid chunk message: data must be a string");
        co_return nb::none();
    }
    if (greater(total_chunks, MAX_TOTAL_CHUNKS)) {
        log().error("[Kernel] Chunked message refused: total_chunks ", total_chunks,
                    " exceeds the limit of ", MAX_TOTAL_CHUNKS);
        co_return nb::none();
    }

    nb::dict buffers = nb::borrow<nb::dict>(self.attr("_chunk_buffers"));
    nb::object buffer = field(buffers, chunk_id);
    if (buffer.is_none()) {
        make_room(buffers);
        buffer = new_buffer(total_chunks);
        buffers[chunk_id] = buffer;
    }

    // An earlier chunk of the message may have claimed fewer chunks than this one.
    nb::object slots = buffer["chunks"];
    if (!less(chunk_index, buffer["total"])) {
        log().error("[Kernel] Invalid chunk_index ", chunk_index, " for total_chunks ",
                    buffer["total"]);
        co_return nb::none();
    }
    if (slots[chunk_index].is_none()) {
        slots[chunk_index] = data;
        buffer["received"] = buffer["received"] + nb::int_(1);
        if (PyUnicode_Check(data.ptr())) {
            nb::object size = buffer["size"] + nb::int_(nb::len(data));
            buffer["size"] = size;
            if (greater(size, MAX_CHUNKED_MESSAGE_SIZE)) {
                log().error("[Kernel] Chunked message ", chunk_id, " exceeds ",
                            MAX_CHUNKED_MESSAGE_SIZE, " characters: dropped");
                PyDict_DelItem(buffers.ptr(), chunk_id.ptr());
                co_return nb::none();
            }
        }
    }

    if (!buffer["received"].equal(buffer["total"]))
        co_return nb::none();

    if (core::contains(slots, Py_None)) {
        log().error("[Kernel] Incomplete chunk buffer for chunk_id ", chunk_id);
        PyDict_DelItem(buffers.ptr(), chunk_id.ptr());
        co_return nb::none();
    }
    nb::object text = nb::steal(PyUnicode_Join(INTERNED("").ptr(), slots.ptr()));
    if (!text.is_valid())
        throw nb::python_error();
    PyDict_DelItem(buffers.ptr(), chunk_id.ptr());

    nb::object whole;
    try {
        whole = state().json_loads(text);
    } catch (nb::python_error &e) {
        // Not JSON, or JSON the parser cannot hold (too deep, integers too long).
        if (!core::is_ordinary(e))
            throw;
        log().error("[Kernel] Failed to parse reassembled message: ", core::exception_of(e));
        co_return nb::none();
    }
    if (!PyDict_Check(whole.ptr())) {
        log().error("[Kernel] Reassembled message for chunk_id ", chunk_id,
                    " is not a JSON object, rejecting");
        co_return nb::none();
    }
    if (field(whole, INTERNED("type")).equal(INTERNED(CHUNK_HEADER_TYPE))) {
        log().error("[Kernel] Nested chunk message detected for chunk_id ", chunk_id,
                    ", rejecting");
        co_return nb::none();
    }
    co_return whole;
}

} // namespace kernel
