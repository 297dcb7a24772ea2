// The outbound path: every message is serialised once, chunked when long, and written under the
// socket lock so that frames of different senders never interleave.
#include "core/errors.hpp"
#include "core/interned.hpp"
#include "kernel/async_lock.hpp"
#include "kernel/frame_gatherer.hpp"
#include "kernel/handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"
#include "kernel/outbound_encoding.hpp"
#include "kernel/python_kernel.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

namespace kernel {
namespace {

nb::dict chunk_message(nb::handle chunk_id, Py_ssize_t index, Py_ssize_t total, nb::handle data,
                       nb::handle original_type, nb::handle request_id) {
    nb::dict chunk;
    chunk[INTERNED("type")] = CHUNK_HEADER_TYPE;
    chunk[INTERNED("chunk_id")] = chunk_id;
    chunk[INTERNED("chunk_index")] = index;
    chunk[INTERNED("total_chunks")] = total;
    chunk[INTERNED("data")] = data;
    chunk[INTERNED("original_type")] = original_type;
    chunk[INTERNED("request_id")] = request_id;
    return chunk;
}

} // namespace

core::Task<> send_message(nb::object self, nb::object message) {
    field(message, INTERNED("type"), INTERNED(""));
    // A replaced _send_message_direct sees stream text merged so far and nothing added later.
    claim_stream_text(self, message);
    if (nb::object gatherer = gatherer_to_join(self); gatherer.is_valid()) {
        nb::object msg_type = field(message, INTERNED("type"), INTERNED("unknown"));
        nb::object request_id = field(message, INTERNED("request_id"), INTERNED("N/A"));
        nb::str raw_json = encode_message(message);
        if (!FrameGatherer::queue(gatherer, raw_json, msg_type, request_id))
            co_await FrameGatherer::submit(gatherer, raw_json, msg_type, request_id);
        co_return;
    }
    co_await self.attr(INTERNED("_send_message_direct"))(message);
}

core::Task<> send_error_message(nb::object self, nb::dict message) {
    std::optional<nb::python_error> failure;
    try {
        co_await self.attr(INTERNED("send_message"))(message);
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        failure.emplace(std::move(e));
    }
    if (failure)
        log().error("[Kernel] Failed to send error message: ", core::exception_of(*failure));
}

core::Task<> send_message_direct(nb::object self, nb::object message) {
    nb::object msg_type = field(message, INTERNED("type"), INTERNED("unknown"));
    nb::object request_id = field(message, INTERNED("request_id"), INTERNED("N/A"));
    nb::object websocket = self.attr(INTERNED("websocket"));
    if (websocket.is_none()) {
        log().warning("[Kernel] Cannot send message type '", msg_type,
                      "': WebSocket not connected");
        co_return;
    }
    nb::object lock = self.attr(INTERNED("_socket_lock"));
    if (lock.is_none()) {
        log().warning("[Kernel] Cannot send message type '", msg_type,
                      "': Socket lock not initialized");
        co_return;
    }
    // Asked once: each question is a call into the logging module, twice per message.
    bool tracing = log().enabled(core::Logger::DEBUG);
    if (tracing)
        log().debug("[TIMING] Acquiring socket lock for: type=", msg_type,
                    ", request_id=", request_id);
    auto start = std::chrono::steady_clock::now();
    nb::object gatherer = frame_gatherer_of(self);
    if (!gatherer.is_none())
        claim_stream_text(self, message);
    // Serialised before the lock is taken: a long encoding does not hold up other senders.
    nb::str raw_json = encode_message(message);
    if (!gatherer.is_none()) {
        if (!FrameGatherer::queue(gatherer, raw_json, msg_type, request_id))
            co_await FrameGatherer::submit(gatherer, raw_json, msg_type, request_id);
    } else if (nb::len(raw_json) > static_cast<size_t>(CHUNK_SIZE)) {
        co_await self.attr(INTERNED("_send_chunked_message"))(raw_json, msg_type, request_id);
    } else {
        co_await lock.attr(INTERNED("acquire"))();
        AsyncLockHold hold(lock);
        double lock_wait_ms = milliseconds_since(start);
        if (lock_wait_ms > 5)
            log().warning("[TIMING] Socket lock waited ", core::one_decimal(lock_wait_ms),
                          "ms for: type=", msg_type);
        co_await websocket.attr(INTERNED("send"))(raw_json);
    }
    if (tracing)
        log().debug("[TIMING] Message sent: type=", msg_type, ", request_id=", request_id);
}

core::Task<> send_chunked_message(nb::object self, nb::object raw_json, nb::object message_type,
                                  nb::object request_id) {
    nb::object chunk_id = nb::str(nb::module_::import_("uuid").attr("uuid4")());
    Py_ssize_t length = static_cast<Py_ssize_t>(nb::len(raw_json));
    Py_ssize_t total_chunks = (length + CHUNK_SIZE - 1) / CHUNK_SIZE;
    log().info("[Kernel] Chunking large message: type=", message_type, ", size=", length,
               ", chunks=", total_chunks);
    nb::object websocket = self.attr(INTERNED("websocket"));
    nb::object lock = self.attr(INTERNED("_socket_lock"));
    {
        // One run of chunks under one hold: no other frame lands between two chunks.
        co_await lock.attr(INTERNED("acquire"))();
        AsyncLockHold hold(lock);
        for (Py_ssize_t index = 0; index < total_chunks; ++index) {
            Py_ssize_t begin = index * CHUNK_SIZE;
            Py_ssize_t end = std::min(begin + CHUNK_SIZE, length);
            // Slices of characters, not of encoded bytes.
            nb::object data = nb::steal(PyUnicode_Substring(raw_json.ptr(), begin, end));
            if (!data.is_valid())
                throw nb::python_error();
            nb::dict chunk =
                chunk_message(chunk_id, index, total_chunks, data, message_type, request_id);
            co_await websocket.attr(INTERNED("send"))(encode_message(chunk));
        }
    }
    log().debug("[Kernel] Sent ", total_chunks, " chunks for message: type=", message_type,
                ", chunk_id=", chunk_id);
}

} // namespace kernel
