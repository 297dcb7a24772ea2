// The dispatch table and its dispatch: each received frame parsed, correlated with its request
// first, then handled by the table's method for its `type`; the table's handler methods, marked to
// run on the GUI thread, and the bodies of its two handler patterns.

#include "idelink/message_table.hpp"
#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "idelink/ide_link.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"

// The dispatch table, and the handler methods it names, marked to run on the GUI thread.
namespace idelink {
namespace {

constexpr PanelArgument list_field(const char *name) { return {name, Fallback::EmptyList}; }

// Exactly these types, in this order. A forward passes the message to the main-window method
// of the handler's name; a panel call is described in message_table.hpp.
constexpr MessageRoute ROUTES[] = {
    {"watchdog_info", "_handle_watchdog_info", &handle_watchdog_info},
    {"workbook_connected", "_handle_workbook_connected", &handle_workbook_connected},
    {"workbook_disconnected", "_handle_workbook_disconnected", &handle_workbook_disconnected},
    {"workbook_name_changed", "_handle_workbook_name_changed", &handle_workbook_name_changed},
    {"workbook_list", "_handle_workbook_list", &handle_workbook_list},
    {"module_content", "_handle_module_content", &handle_module_content},
    {"module_deleted", "_handle_module_deleted", &handle_module_deleted},
    {"module_saved", "_handle_module_saved", &handle_module_saved},
    {"module_list", "_handle_module_list",
     PanelCall{"project_explorer", "set_modules", list_field("modules")}},
    {"all_modules", "_handle_all_modules", &handle_all_modules},
    {"pip_output", "_handle_pip_output", Forward{}},
    {"get_package_versions_response", "_handle_package_versions_response", Forward{}},
    {"get_package_extras_response", "_handle_package_extras_response", Forward{}},
    {"get_package_info_response", "_handle_package_info_response", Forward{}},
    {"workbook_packages_update", "_handle_workbook_packages_update",
     &handle_workbook_packages_update},
    {"package_install_progress", "_handle_package_install_progress",
     &handle_package_install_progress},
    {"package_installation_complete", "_handle_package_installation_complete",
     &handle_package_installation_complete},
    {"resolved_deps_response", "_handle_resolved_deps_response",
     PanelCall{"package_manager", "show_resolved_deps_popup", list_field("deps"), nullptr,
               Condition::WorkbookShownInPackages, false}},
    {"package_paths_updated", "_handle_package_paths_updated", Forward{}},
    {"stdout", "_handle_stdout", &handle_stdout},
    {"stderr", "_handle_stderr", &handle_stderr},
    {"result_output", "_handle_result_output", &handle_result_output},
    {"execution_result", "_handle_execution_result", &handle_execution_result},
    {"interrupt_result", "_handle_interrupt_result", Forward{}},
    {"completion_response", "_handle_completion_response", Forward{}},
    {"signature_help_response", "_handle_signature_help_response", Forward{}},
    {"hover_response", "_handle_hover_response", Forward{}},
    {"diagnostic_response", "_handle_diagnostic_response", Forward{}},
    {"event_manager_state", "_handle_event_manager_state",
     PanelCall{"event_manager", "update_state", WHOLE_MESSAGE,
               "[IDE] Updated event manager state for workbook: "}},
    {"ontime_event_manager_state", "_handle_ontime_event_manager_state",
     PanelCall{"timer_manager", "update_ontime_config", list_field("ontime_events"),
               "[IDE] Updated on-time event manager state for workbook: "}},
    {"register_handler_result", "_handle_register_handler_result", &handle_register_handler_result},
    {"unregister_handler_result", "_handle_unregister_handler_result",
     &handle_unregister_handler_result},
    {"save_event_config_response", "_handle_save_event_config_response", Forward{}},
    {"validate_handler_response", "_handle_validate_handler_response", Forward{}},
    {"published_functions_state", "_handle_published_functions_state",
     PanelCall{"function_publisher", "update_publications_from_server", list_field("functions"),
               "[IDE] Updated published functions for workbook: "}},
    {"object_registry_update", "_handle_object_registry_update", &handle_object_registry_update},
    {"object_registry_response", "_handle_object_registry_response",
     PanelCall{"object_inspector", "handle_registry_response", list_field("objects"),
               "[IDE] Handled object_registry_response for "}},
    {"debug_paused", "_handle_debug_paused", &handle_debug_paused},
    {"debug_exception", "_handle_debug_exception", Forward{}},
    {"debug_resumed", "_handle_debug_resumed", Forward{}},
    {"debug_terminated", "_handle_debug_terminated", Forward{}},
    {"debug_evaluate_result", "_handle_debug_evaluate_result", Forward{}},
    {"all_settings_response", "_handle_all_settings_response", Forward{}},
    {"settings_response", "_handle_settings_response", Forward{}},
    {"setting_saved", "_handle_setting_saved", &handle_setting_saved},
    {"show_ide", "_handle_show_ide", &handle_show_ide},
    {"message_ide", "_handle_message_ide", &handle_message_ide},
    {"log_to_console", "_handle_log_to_console", &handle_log_to_console},
};
static_assert(std::size(ROUTES) == 48);

// The Python callable of a route's body, taking (self, message).
nb::object make_body(const MessageRoute &route) {
    if (const HandlerBody *body = std::get_if<HandlerBody>(&route.body))
        return nb::cpp_function(*body, nb::arg("self"), nb::arg("message").none());
    if (std::holds_alternative<Forward>(route.body))
        return nb::cpp_function(
            [method = route.method](nb::handle self, nb::handle message) {
                forward_to_main_window(method, self, message);
            },
            nb::arg("self"), nb::arg("message").none());
    const PanelCall *call = &std::get<PanelCall>(route.body);
    return nb::cpp_function(
        [call](nb::handle self, nb::handle message) { call_panel(*call, self, message); },
        nb::arg("self"), nb::arg("message").none());
}

} // namespace

std::span<const MessageRoute> message_routes() { return ROUTES; }

void add_message_handlers(nb::handle cls) {
    for (const MessageRoute &route : ROUTES)
        add_gui_method(cls, route.method, make_body(route));
}

void setup_message_handlers(nb::handle self) {
    nb::dict handlers;
    for (const MessageRoute &route : ROUTES)
        handlers[route.type] = self.attr(route.method);
    self.attr("MESSAGE_HANDLERS") = handlers;
}

} // namespace idelink

// Parse and dispatch of received frames: correlation first, then the handler table by `type`.
// Connection thread, one frame at a time; handler calls only queue their bodies for the GUI.
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

// The two handler patterns of the dispatch table: forwards and panel calls. GUI thread.
namespace idelink {
namespace {

bool condition_holds(Condition condition, nb::handle window, nb::handle workbook_id) {
    if (!truthy(workbook_id))
        return false;
    if (condition == Condition::WorkbookGiven)
        return true;
    nb::object shown = window.attr("package_manager").attr("get_current_workbook")();
    return shown.equal(workbook_id);
}

nb::object argument_of(const PanelArgument &argument, nb::handle message) {
    if (!argument.field)
        return nb::borrow(message);
    // A fresh default each time, as message.get(field, []) would make: panels may keep it.
    nb::object fallback =
        argument.fallback == Fallback::EmptyList ? nb::object(nb::list()) : nb::object(nb::none());
    return field(message, nb::str(argument.field), fallback);
}

} // namespace

void forward_to_main_window(const char *method, nb::handle self, nb::handle message) {
    main_window(self).attr(method)(message);
}

void call_panel(const PanelCall &call, nb::handle self, nb::handle message) {
    nb::object window = main_window(self);
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    if (!condition_holds(call.condition, window, workbook_id))
        return;
    nb::object method = window.attr(call.panel).attr(call.method);
    nb::object argument = argument_of(call.argument, message);
    if (call.passes_workbook_id)
        method(workbook_id, argument);
    else
        method(argument);
    if (call.debug_log)
        log().debug(call.debug_log, workbook_id);
}

} // namespace idelink
