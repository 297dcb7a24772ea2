// The dispatch table: the IdeLink method that handles each message type, and how its body is
// made. Most handlers differ only in data, so they are declared as one of two patterns; the
// rest are written out in the file of their family (declared below).
#pragma once

#include <nanobind/nanobind.h>
#include <span>
#include <variant>

namespace idelink {
namespace nb = nanobind;

// A handler body written out: runs on the GUI thread with the instance and the message map.
using HandlerBody = void (*)(nb::handle self, nb::handle message);

// Passes the whole message to the main-window method of the handler's own name.
struct Forward {};

// What a panel call passes after the workbook id: one field of the message or all of it.
enum class Fallback { None, EmptyList };
struct PanelArgument {
    const char *field; // null: the whole message
    Fallback fallback = Fallback::None;
};
inline constexpr PanelArgument WHOLE_MESSAGE{nullptr};

enum class Condition {
    WorkbookGiven,           // the message's workbook id is non-empty
    WorkbookShownInPackages, // ... and is the one the package panel shows
};

// "If the workbook id passes the condition, call the panel": panel.method(id, argument), or
// panel.method(argument) when the id is not passed; then the debug line, prefix + id.
struct PanelCall {
    const char *panel;
    const char *method;
    PanelArgument argument;
    const char *debug_log = nullptr;
    Condition condition = Condition::WorkbookGiven;
    bool passes_workbook_id = true;
};

struct MessageRoute {
    const char *type;   // the message's `type`
    const char *method; // the IdeLink method named in MESSAGE_HANDLERS
    std::variant<HandlerBody, Forward, PanelCall> body;
};

// In the order MESSAGE_HANDLERS lists them.
std::span<const MessageRoute> message_routes();

// message_table.cpp: the bodies of the two patterns.
void forward_to_main_window(const char *method, nb::handle self, nb::handle message);
void call_panel(const PanelCall &call, nb::handle self, nb::handle message);

} // namespace idelink

// Message handler bodies written out in C++, each in the file of its family. They run on the
// GUI thread (the dispatch table marks them) and take the instance and the message map; fields
// are read leniently, a missing one taking its default.
namespace idelink {
namespace nb = nanobind;

// workbook_handlers.cpp: workbooks appearing, going, renamed, and the full list.
void handle_workbook_connected(nb::handle self, nb::handle message);
void handle_workbook_disconnected(nb::handle self, nb::handle message);
void handle_workbook_name_changed(nb::handle self, nb::handle message);
void handle_workbook_list(nb::handle self, nb::handle message);

// module_handlers.cpp: module sources and their bookkeeping.
void handle_module_content(nb::handle self, nb::handle message);
void handle_module_deleted(nb::handle self, nb::handle message);
void handle_module_saved(nb::handle self, nb::handle message);
void handle_all_modules(nb::handle self, nb::handle message);

// package_handlers.cpp: package caches and installation progress.
void handle_workbook_packages_update(nb::handle self, nb::handle message);
void handle_package_install_progress(nb::handle self, nb::handle message);
void handle_package_installation_complete(nb::handle self, nb::handle message);

// console_handlers.cpp: program output, execution results and hub console lines.
void handle_stdout(nb::handle self, nb::handle message);
void handle_stderr(nb::handle self, nb::handle message);
void handle_result_output(nb::handle self, nb::handle message);
void handle_execution_result(nb::handle self, nb::handle message);
void handle_log_to_console(nb::handle self, nb::handle message);

// event_handlers.cpp: event handler registration results and object registry changes.
void handle_register_handler_result(nb::handle self, nb::handle message);
void handle_unregister_handler_result(nb::handle self, nb::handle message);
void handle_object_registry_update(nb::handle self, nb::handle message);

// window_handlers.cpp: the window itself, the debugger's pause, settings and the watchdog.
void handle_watchdog_info(nb::handle self, nb::handle message);
void handle_debug_paused(nb::handle self, nb::handle message);
void handle_setting_saved(nb::handle self, nb::handle message);
void handle_show_ide(nb::handle self, nb::handle message);
void handle_message_ide(nb::handle self, nb::handle message);

} // namespace idelink
