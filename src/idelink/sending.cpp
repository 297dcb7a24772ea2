// Fire-and-forget sends: any thread submits, the connection thread writes the frame.
#include "core/errors.hpp"
#include "idelink/ide_link.hpp"
#include "idelink/idelink_module.hpp"

namespace idelink {
namespace {

// Submits self.<coroutine_method>(message) to the loop; the caller never waits. Nothing is
// queued while the client is not connected.
void submit_send(nb::handle self, const char *coroutine_method, nb::handle message) {
    if (!link_of(self).m_connected || self.attr(INTERNED("ws")).is_none()) {
        log().warning("[IdeLink] Cannot send message: not connected");
        return;
    }
    nb::object loop = self.attr(INTERNED("_loop"));
    if (loop.is_none())
        return;
    nb::object refusal;
    if (!submit_to_loop(loop, self.attr(coroutine_method)(message), &refusal))
        log().error("[IdeLink] Send error: ", refusal);
}

// Writes one text frame on the current connection; a failure is logged and the frame dropped.
core::Task<> write_frame(nb::object self, nb::object text_or_message, bool serialise) {
    nb::object ws = self.attr(INTERNED("ws"));
    if (ws.is_none())
        co_return;
    try {
        nb::object text = serialise ? state().json_dumps(text_or_message) : text_or_message;
        co_await ws.attr(INTERNED("send"))(text);
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        log().error("[IdeLink] Send error: ", core::exception_of(e));
    }
}

} // namespace

void send_message(nb::handle self, nb::handle message) {
    submit_send(self, "_async_send", message);
}

void send_text_message(nb::handle self, nb::handle message) {
    submit_send(self, "_async_send_text", message);
}

core::Task<> async_send(nb::object self, nb::object message) {
    // json.dumps defaults: non-ASCII escaped as \uXXXX, separators ", " and ": ".
    co_await write_frame(std::move(self), std::move(message), true);
}

core::Task<> async_send_text(nb::object self, nb::object message) {
    co_await write_frame(std::move(self), std::move(message), false);
}

} // namespace idelink
