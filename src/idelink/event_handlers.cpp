// Event handlers: results of registering and unregistering event handlers, and changes to the
// kernel's object registry.
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"
#include "idelink/message_table.hpp"

namespace idelink {
namespace {

// "Handler registered: obj.event" or "Failed to register handler: obj.event"; only the ids are
// shown, never the message's error text.
void registration_line(nb::handle self, nb::handle message, const char *done, const char *verb) {
    nb::object object_id = field(message, INTERNED("object_id"));
    nb::object event_name = field(message, INTERNED("event_name"));
    nb::object window = main_window(self);
    if (truthy(field(message, INTERNED("success"), Py_False)))
        console_line(window, core::text("Handler ", done, ": ", object_id, ".", event_name),
                     nullptr, Level::Simple);
    else
        console_line(window,
                     core::text("Failed to ", verb, " handler: ", object_id, ".", event_name),
                     ERROR_COLOR, Level::Simple);
}

} // namespace

void handle_register_handler_result(nb::handle self, nb::handle message) {
    registration_line(self, message, "registered", "register");
}

void handle_unregister_handler_result(nb::handle self, nb::handle message) {
    registration_line(self, message, "unregistered", "unregister");
}

void handle_object_registry_update(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    nb::object action = field(message, INTERNED("action"));
    if (!truthy(workbook_id) || !truthy(action))
        return;
    main_window(self)
        .attr("object_inspector")
        .attr("handle_registry_update")(workbook_id, action, message);
    log().debug("[IDE] Handled object_registry_update: ", action, " for ", workbook_id);
}

} // namespace idelink
