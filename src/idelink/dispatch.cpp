// Parse and dispatch of received frames: correlation first, then the handler table by `type`.
// Connection thread, one frame at a time; handler calls only queue their bodies for the GUI.
#include "core/errors.hpp"
#include "idelink/ide_link.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/message_fields.hpp"

namespace idelink {
namespace {

// "[IdeLink] Error handling message: " + the error, with its stack trace attached.
void log_handling_error(const nb::python_error &error) {
    const core::Logger &logger = log();
    if (!logger.enabled(core::Logger::ERROR))
        return;
    logger.python().attr("error")(
        core::text("[IdeLink] Error handling message: ", core::exception_of(error)),
        nb::arg("exc_info") = core::exception_of(error));
}

// Parses one frame into a message; null when the text is not JSON (logged).
nb::object parse(nb::handle raw_message) {
    ModuleState &st = state();
    try {
        return st.json_loads(raw_message);
    } catch (nb::python_error &e) {
        if (!e.matches(st.json_decode_error))
            throw;
        log().error("[IdeLink] Failed to parse message: ", core::exception_of(e));
        return nb::object();
    }
}

void dispatch(nb::handle self, nb::handle raw_message) {
    nb::object message = parse(raw_message);
    if (!message.is_valid())
        return;
    nb::object message_type = field(message, INTERNED("type"));
    if (truthy(self.attr(INTERNED("_try_handle_response"))(message)))
        return;
    nb::object handler = field(self.attr(INTERNED("MESSAGE_HANDLERS")), message_type);
    if (handler.is_none()) {
        log().warning("[IdeLink] No handler for message type: ", message_type);
        return;
    }
    handler(message);
}

} // namespace

core::Task<> handle_message(nb::object self, nb::object raw_message) {
    try {
        dispatch(self, raw_message);
    } catch (nb::python_error &e) {
        // One bad frame never ends the connection.
        if (!core::is_ordinary(e))
            throw;
        log_handling_error(e);
    }
    co_return;
}

} // namespace idelink
