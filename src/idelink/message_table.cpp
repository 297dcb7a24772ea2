// The dispatch table, and the handler methods it names, marked to run on the GUI thread.
#include "idelink/message_table.hpp"

#include "idelink/gui_methods.hpp"
#include "idelink/handlers.hpp"
#include "idelink/ide_link.hpp"

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
