// The connection: connect, the read loop, run and tear-down in a fixed order; each inbound
// frame read, refused or handed to the dispatcher; and the reassembly of "chunk" messages.

#include "core/async_iterator.hpp"
#include "core/errors.hpp"
#include "core/hub_connection.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/debug/debug.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/language/language.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/streams/streams.hpp"
#include "kernel/wire/wire.hpp"

#include <optional>

// The connection's life: connect, the read loop, run, and tear-down in a fixed order.
namespace kernel {
namespace {

// On Windows connections: announce the COM event definitions and start the COM components.
core::Task<> start_win32_components(nb::object self) {
    try {
        nb::object win32_tools_func = state().quorvel.attr("_get_win32");
        nb::dict definitions;
        definitions["type"] = "win32_event_definitions";
        definitions["definitions"] = module_global("get_win32_events_dictionary")();
        co_await self.attr("send_message")(definitions);
        self.attr("_win32_watcher") = module_global("Win32ComWatcher")(self);
        self.attr("_win32_watcher").attr("start")(win32_tools_func);
        self.attr("_com_event_registrar") = module_global("Win32ComEventRegistrar")(self);
        self.attr("_com_event_registrar").attr("start")(win32_tools_func);
        log().info("[Kernel] Win32 COM watcher started");
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        log().warning("[Kernel] Could not start Win32 COM watcher: ", core::exception_of(e));
    }
}

// Stops a COM component held in `field`, if any, and clears the field.
void stop_component(nb::handle self, const char *field) {
    nb::object component = self.attr(field);
    if (component.is_none())
        return;
    component.attr("stop")();
    self.attr(field) = nb::none();
}

// Awaits `awaitable` for at most `timeout` seconds; false when the time ran out (it is cancelled).
core::Task<bool> within(nb::object awaitable, double timeout) {
    ModuleState &st = state();
    std::optional<nb::python_error> late;
    try {
        co_await st.asyncio.attr("wait_for")(awaitable, timeout);
    } catch (nb::python_error &e) {
        if (!e.matches(st.asyncio.attr("TimeoutError")))
            throw;
        late.emplace(std::move(e));
    }
    co_return !late;
}

core::Task<> flush_output(nb::object channel, nb::object gatherer) {
    if (!channel.is_none())
        co_await OutputChannel::flush(channel);
    if (!gatherer.is_none())
        co_await FrameGatherer::flush(gatherer);
}

// Sends what user code wrote before the end, unless the hub no longer takes it; then closes the
// channel, releasing writers that wait for room.
core::Task<> close_output(nb::object channel, nb::object gatherer) {
    nb::object flushing = flush_output(channel, gatherer).into_python("flush_output");
    double limit = DISCONNECT_FLUSH_TIMEOUT;
    if (!co_await within(flushing, limit))
        log().warning("[Kernel] Output not sent within ", core::one_decimal(limit),
                      " s of disconnecting was dropped");
    if (!channel.is_none())
        OutputChannel::close(channel);
}

// The closing handshake, cut short when the hub does not answer it.
core::Task<> close_connection(nb::object websocket) {
    if (co_await within(websocket.attr("close")(), DISCONNECT_CLOSE_TIMEOUT))
        co_return;
    log().warning("[Kernel] The hub did not complete the closing handshake within ",
                  core::one_decimal(DISCONNECT_CLOSE_TIMEOUT), " s: connection aborted");
    nb::object transport = nb::getattr(websocket, "transport", nb::none());
    if (!transport.is_none())
        transport.attr("abort")();
}

} // namespace

core::Task<> connect(nb::object self) {
    ModuleState &st = state();
    // The workbook's name is a file name: percent-encoded, so that spaces and other
    // characters a URL path cannot hold reach the hub (plain names are unchanged).
    nb::object quoted = nb::module_::import_("urllib.parse")
                            .attr("quote")(self.attr("workbook_id"), nb::arg("safe") = "");
    nb::object url = self.attr("server_url") + nb::str("/ws/kernel/") + quoted;
    nb::object context = core::tls_context();
    // The hub's token: connection_args["auth_token"] when given, else QUORVEL_HUB_TOKEN, which
    // the hub sets for the kernels it launches. Without either the handshake carries none.
    nb::object headers =
        core::token_headers(field(self.attr("connection_args"), INTERNED("auth_token")));
    // No per-message compression: the hub is on this machine, and deflating the frames took a
    // sixth of the listener loop's time in a burst of formula calls.
    nb::object websocket = co_await st.websocket_connect(
        url, nb::arg("ssl") = context, nb::arg("max_size") = MAX_FRAME_BYTES,
        nb::arg("compression") = nb::none(), nb::arg("additional_headers") = headers);
    self.attr("websocket") = websocket;
    self.attr("running") = true;

    nb::object loop = st.asyncio.attr("get_running_loop")();
    self.attr("_loop") = loop;
    self.attr("_socket_lock") = st.asyncio.attr("Lock")();
    install_frame_gatherer(self);

    nb::object messaging = st.quorvel.attr("messaging");
    messaging.attr("loop") = loop;
    messaging.attr("loop_thread") = nb::module_::import_("threading").attr("current_thread")();
    st.quorvel.attr("connection_args") = self.attr("connection_args");
    st.quorvel.attr("_kernel_instance") = self;

    nb::object batcher = module_global("MessageBatcher")(self);
    self.attr("_batcher") = batcher;
    co_await batcher.attr("start")();

    nb::object platform = field(self.attr("connection_args"), nb::str("platform"));
    if (platform.equal(nb::str("win32")))
        co_await start_win32_components(self);

    install_host_hooks(self);
}

core::Task<> listen(nb::object self) {
    core::AsyncIterator frames(self.attr("websocket"));
    try {
        // read_frame answers every frame it cannot take: only the connection's end stops this.
        while (std::optional<nb::object> frame = co_await frames.next())
            co_await read_frame(self, *frame);
    } catch (nb::python_error &e) {
        if (!e.matches(state().connection_closed))
            throw;
        // A frame beyond MAX_FRAME_BYTES ends up here too: the library closes with 1009.
        log().info("[Kernel] Connection closed: ", core::exception_of(e));
        self.attr("running") = false;
    }
}

core::Task<> run(nb::object self) {
    std::optional<nb::python_error> escaping;
    try {
        co_await self.attr("connect")();
        log().info("Kernel connected for workbook: ", self.attr("workbook_id"));
        co_await self.attr("listen")();
    } catch (nb::python_error &e) {
        // Cancellation and interpreter exits are not kernel errors: they leave after tear-down.
        if (core::is_ordinary(e))
            log().error("Kernel error: ", core::exception_of(e));
        else
            escaping.emplace(std::move(e));
    }
    co_await self.attr("disconnect")();
    log().info("Kernel disconnected for workbook: ", self.attr("workbook_id"));
    if (escaping)
        throw std::move(*escaping);
}

core::Task<> disconnect(nb::object self) {
    self.attr("running") = false;
    end_debug_session(self);
    stop_component(self, "_win32_watcher");
    stop_component(self, "_com_event_registrar");

    nb::object batcher = self.attr("_batcher");
    if (!batcher.is_none())
        co_await batcher.attr("stop")();
    co_await close_output(self.attr("_output_channel"), frame_gatherer_of(self));

    nb::object quorvel = state().quorvel;
    quorvel.attr("messaging").attr("reset")();
    quorvel.attr("_kernel_instance") = nb::none();

    remove_host_hooks(self);

    nb::object websocket = self.attr("websocket");
    if (!websocket.is_none())
        co_await close_connection(websocket);
    // Work not started yet is dropped; work still running is left behind, so that the process
    // can end now rather than when (if ever) user code returns.
    nb::object queue = self.attr("_work_queue");
    if (!queue.is_none())
        WorkQueue::close(queue);
    nb::object pool = self.attr("_thread_pool");
    pool.attr("shutdown")(nb::arg("wait") = false, nb::arg("cancel_futures") = true);
    abandon_busy_workers(pool);
    language_thread_of(self).stop();
}

} // namespace kernel

// Reading one inbound frame: size, decoding, parsing, dispatch, and the refusal of each failure.
namespace kernel {
namespace {

nb::object class_name(nb::handle value) { return core::type_name(value); }

// The frame as text, or null (with `refusal` set) when it is binary data that is not UTF-8.
nb::object frame_text(nb::handle frame, nb::object &refusal) {
    if (!PyBytes_Check(frame.ptr()))
        return nb::borrow(frame);
    PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(frame.ptr()),
                                          PyBytes_GET_SIZE(frame.ptr()), nullptr);
    if (text)
        return nb::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        throw nb::python_error();
    PyErr_Clear();
    refusal = nb::str("Invalid frame: binary data that is not UTF-8 text");
    return nb::object();
}

// The parsed message, or null with `refusal` set. "Invalid JSON received" for text that is not
// JSON; the parser's own reason after it for JSON it cannot hold (integers beyond its digit
// limit, nesting beyond the recursion limit).
nb::object parse(nb::handle text, nb::object &refusal) {
    nb::object message;
    try {
        message = state().json_loads(text);
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        if (e.matches(state().json_decode_error))
            refusal = nb::str("Invalid JSON received");
        else
            refusal = core::text("Invalid JSON received: ", core::exception_of(e));
        return nb::object();
    }
    if (!PyDict_Check(message.ptr())) {
        refusal =
            core::text("Invalid message: a JSON object is required, not ", class_name(message));
        return nb::object();
    }
    return message;
}

} // namespace

core::Task<> read_frame(nb::object self, nb::object frame) {
    Py_ssize_t length = static_cast<Py_ssize_t>(nb::len(frame));
    if (length > MAX_MESSAGE_SIZE) {
        log().warning("Message too large: ", length, " bytes");
        co_await send_error_message(self, error_reply("Message too large"));
        co_return;
    }
    nb::object refusal;
    nb::object text = frame_text(frame, refusal);
    nb::object message = text.is_valid() ? parse(text, refusal) : nb::object();
    if (!message.is_valid()) {
        log().warning("[Kernel] Refused a frame: ", refusal);
        co_await send_error_message(self, error_reply(refusal));
        co_return;
    }

    // The connection's end leaves the read loop; so do cancellation and interpreter exits.
    auto failure = co_await core::ordinary_failure(self.attr(INTERNED("handle_message"))(message));
    if (!failure)
        co_return;
    if (failure->matches(state().connection_closed))
        throw std::move(*failure);
    nb::object msg_type = field(message, INTERNED("type"));
    nb::object error = core::exception_of(*failure);
    log().error("[Kernel] Failed to handle message type ", msg_type, ": ", class_name(error), ": ",
                error);
    co_await send_error_message(
        self,
        error_reply_to(message, core::text("Failed to handle message type ", nb::repr(msg_type),
                                           ": ", class_name(error), ": ", error)));
}

} // namespace kernel

// Reassembly of inbound "chunk" messages into the message they carry.
//
// One buffer per chunk_id in `_chunk_buffers`: {"chunks": slots, "received": n, "total": n,
// "size": characters so far}. Chunks may arrive in any order and interleaved with other
// messages' chunks; a repeated chunk is ignored (the first copy wins). A chunk that does not fit
// (fields of the wrong type, an index beyond its message's chunks) is logged and dropped. Only
// the listener loop touches the buffers. Bounds against hostile input: a message may claim at most
// MAX_TOTAL_CHUNKS chunks and carry at most MAX_CHUNKED_MESSAGE_SIZE characters, and at most
// MAX_CHUNK_BUFFERS partial messages are kept (a new one drops the oldest).
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

// Field access helpers for messages.
namespace kernel {

nb::dict message_of(std::initializer_list<std::pair<const char *, nb::handle>> fields) {
    nb::dict message;
    for (const auto &[key, value] : fields)
        message[key] = value;
    return message;
}

nb::dict error_reply(const char *text) { return error_reply(nb::str(text)); }

nb::dict error_reply(nb::handle text) {
    nb::dict reply;
    reply[INTERNED("type")] = "error";
    reply[INTERNED("message")] = text;
    return reply;
}

nb::dict error_reply_to(nb::handle message, nb::handle text) {
    nb::dict reply = error_reply(text);
    if (PyDict_Check(message.ptr())) {
        PyObject *request_id = PyDict_GetItemWithError(message.ptr(), INTERNED("request_id").ptr());
        if (request_id)
            reply[INTERNED("request_id")] = nb::handle(request_id);
        else if (PyErr_Occurred())
            throw nb::python_error();
    }
    return reply;
}

} // namespace kernel
