// The dispatch table, and the handler methods it names, marked to run on the GUI thread.
#include "idelink/message_table.hpp"

#include "idelink/gui_methods.hpp"
#include "idelink/handlers.hpp"
#include "idelink/ide_link.hpp"

namespace idelink {
namespace {

constexpr MessageRoute ROUTES[] = {
    {"stdout", "_handle_stdout", &handle_stdout},
    {"stderr", "_handle_stderr", &handle_stderr},
    {"result_output", "_handle_result_output", &handle_result_output},
    {"execution_result", "_handle_execution_result", &handle_execution_result},
    {"log_to_console", "_handle_log_to_console", &handle_log_to_console},
};

} // namespace

std::span<const MessageRoute> message_routes() { return ROUTES; }

void add_message_handlers(nb::handle cls) {
    for (const MessageRoute &route : ROUTES)
        add_gui_method(cls, route.method,
                       nb::cpp_function(route.body, nb::arg("self"), nb::arg("message").none()));
}

void setup_message_handlers(nb::handle self) {
    nb::dict handlers;
    for (const MessageRoute &route : ROUTES)
        handlers[route.type] = self.attr(route.method);
    self.attr("MESSAGE_HANDLERS") = handlers;
}

} // namespace idelink
