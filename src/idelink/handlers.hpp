// Message handler bodies written out in C++, each in the file of its family. They run on the
// GUI thread (the dispatch table marks them) and take the instance and the message map; fields
// are read leniently, a missing one taking its default.
#pragma once

#include <nanobind/nanobind.h>

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
