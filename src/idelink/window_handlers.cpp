// Window handlers: bring the IDE forward, watchdog details, a message box from the add-in, the
// debugger's pause, and a saved setting.
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"
#include "idelink/message_table.hpp"

namespace idelink {

void handle_watchdog_info(nb::handle self, nb::handle message) {
    nb::object port = field(message, INTERNED("watchdog_port"), nb::int_(0));
    nb::object window = main_window(self);
    window.attr("watchdog_port") = port;
    window.attr("auth_token") = field(message, INTERNED("auth_token"), INTERNED(""));
    // The token is a secret: it is never logged.
    log().info("[IDE] Received watchdog info: port=", port);
}

void handle_debug_paused(nb::handle self, nb::handle message) {
    nb::object window = main_window(self);
    window.attr("_handle_debug_paused")(message);
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    if (!truthy(window.attr("_debug_active")) && truthy(workbook_id))
        window.attr("_set_debug_state")(true, workbook_id);
}

void handle_setting_saved(nb::handle, nb::handle) {
    log().debug("[IDE] Setting saved successfully");
}

void handle_show_ide(nb::handle self, nb::handle) {
    log().info("[IDE] Received show_ide message");
    main_window(self).attr("show_and_focus")();
}

void handle_message_ide(nb::handle self, nb::handle message) {
    nb::object value = field(message, INTERNED("message"), INTERNED(""));
    nb::object text = value.is_none() ? nb::object(nb::str("")) : nb::object(nb::str(value));
    nb::object from_client = field(message, INTERNED("from_client"), nb::str("Unknown"));
    if (log().enabled(core::Logger::INFO)) {
        nb::object head = nb::steal(PyUnicode_Substring(text.ptr(), 0, 50));
        if (!head.is_valid())
            throw nb::python_error();
        log().info("[IDE] Received message_ide from ", from_client, ": ", head, "...");
    }
    // Modal: the GUI thread waits here until the user closes the box; the connection thread
    // goes on receiving meanwhile.
    module_global("QMessageBox").attr("information")(main_window(self), "Message from Addin", text);
}

} // namespace idelink
