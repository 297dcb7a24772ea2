// The outbound path: serialising (with repr text for fields the serialiser refuses), chunking
// and writing every message under the socket lock.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/wire/wire.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

// The outbound path: every message is serialised once, chunked when long, and written under the
// socket lock so that frames of different senders never interleave.
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
    auto failure = co_await core::ordinary_failure(self.attr(INTERNED("send_message"))(message));
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

// Encoding outbound messages, with repr text for fields of JSON data the serialiser refuses.
namespace kernel {
namespace {

// True when `value` is made of what JSON carries only; walked without recursion, so that a
// nesting too deep for the serialiser is walked all the same.
bool is_json_data(nb::handle value) {
    std::vector<PyObject *> pending{value.ptr()};
    while (!pending.empty()) {
        PyObject *item = pending.back();
        pending.pop_back();
        if (PyDict_Check(item)) {
            PyObject *key, *field;
            Py_ssize_t position = 0;
            while (PyDict_Next(item, &position, &key, &field)) {
                if (!PyUnicode_Check(key))
                    return false;
                pending.push_back(field);
            }
        } else if (PyList_Check(item)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(item); ++i)
                pending.push_back(PyList_GET_ITEM(item, i));
        } else if (!(PyUnicode_Check(item) || PyLong_Check(item) || PyFloat_Check(item) ||
                     item == Py_None)) {
            return false; // bool is an int
        }
    }
    return true;
}

bool encodes(nb::handle value) {
    try {
        json_dumps(value);
        return true;
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        return false;
    }
}

} // namespace

nb::str encode_message(nb::handle message) {
    try {
        return json_dumps(message);
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e) || !PyDict_Check(message.ptr()))
            throw;
        nb::object short_repr = nb::module_::import_("reprlib").attr("repr");
        nb::dict safe;
        nb::list replaced;
        for (auto [key, value] : nb::borrow<nb::dict>(message)) {
            bool refused = is_json_data(value) && !encodes(value);
            safe[key] = refused ? short_repr(value) : nb::borrow(value);
            if (refused)
                replaced.append(nb::str(key));
        }
        if (nb::len(replaced) == 0)
            throw;
        nb::str text = json_dumps(safe);
        nb::object msg_type = field(message, INTERNED("type"), INTERNED("unknown"));
        log().error("[Kernel] Message type '", msg_type, "' could not be serialised (",
                    core::exception_of(e),
                    "); sent with repr text for: ", core::join(", ", replaced));
        return text;
    }
}

} // namespace kernel

// Outbound JSON serialisation.
namespace kernel {

namespace {
PyObject *g_dumps = nullptr; // orjson.dumps or json.dumps, owned for the life of the process
bool g_orjson = false;
PyObject *g_json_dumps = nullptr; // json.dumps, for what orjson refuses

// json.dumps of `obj`, or null with the error of `failed` restored when it fails too. orjson
// refuses strings that are not valid UTF-8 (lone surrogates, which user code can print); the
// standard module escapes them, so that such output is still delivered.
PyObject *standard_dumps(PyObject *obj, PyObject *type, PyObject *value, PyObject *traceback) {
    if (!g_json_dumps) {
        PyObject *json = PyImport_ImportModule("json");
        g_json_dumps = json ? PyObject_GetAttrString(json, "dumps") : nullptr;
        Py_XDECREF(json);
    }
    PyObject *text = g_json_dumps ? PyObject_CallOneArg(g_json_dumps, obj) : nullptr;
    if (text) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return text;
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return nullptr;
}
} // namespace

void init_json_dumps() {
    PyObject *orjson = PyImport_ImportModule("orjson");
    if (orjson) {
        g_dumps = PyObject_GetAttrString(orjson, "dumps");
        Py_DECREF(orjson);
        g_orjson = g_dumps != nullptr;
    }
    if (!g_dumps) {
        PyErr_Clear();
        nb::object json = nb::module_::import_("json");
        g_dumps = nb::object(json.attr("dumps")).release().ptr();
    }
}

bool json_dumps_uses_orjson() { return g_orjson; }

nb::str json_dumps(nb::handle obj) {
    PyObject *encoded = PyObject_CallOneArg(g_dumps, obj.ptr());
    if (!encoded && g_orjson && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (PyObject *text = standard_dumps(obj.ptr(), type, value, traceback))
            return nb::steal<nb::str>(text);
    }
    if (!encoded)
        throw nb::python_error();
    if (!g_orjson)
        return nb::steal<nb::str>(encoded);
    PyObject *text =
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded), nullptr);
    Py_DECREF(encoded);
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

} // namespace kernel

// Release of a held asyncio.Lock at scope exit.
namespace kernel {

AsyncLockHold::~AsyncLockHold() {
    PyObject *saved_type, *saved_value, *saved_traceback;
    PyErr_Fetch(&saved_type, &saved_value, &saved_traceback);
    PyObject *result = PyObject_CallMethodNoArgs(m_lock.ptr(), INTERNED("release").ptr());
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(m_lock.ptr());
    PyErr_Restore(saved_type, saved_value, saved_traceback);
}

} // namespace kernel
