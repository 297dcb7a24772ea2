// Reading one inbound frame: size, decoding, parsing, dispatch, and the refusal of each failure.
#include "kernel/inbound_frame.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "core/text.hpp"
#include "kernel/handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"

#include <optional>

namespace kernel {
namespace {

nb::object class_name(nb::handle value) {
    return nb::handle(Py_TYPE(value.ptr())).attr("__name__");
}

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

    std::optional<nb::python_error> failure;
    try {
        co_await self.attr(INTERNED("handle_message"))(message);
    } catch (nb::python_error &e) {
        // The connection's end leaves the read loop; so do cancellation and interpreter exits.
        if (!core::is_ordinary(e) || e.matches(state().connection_closed))
            throw;
        failure.emplace(std::move(e));
    }
    if (!failure)
        co_return;
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
