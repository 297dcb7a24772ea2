// Package handlers: a workbook's package caches and import paths, and installation progress,
// shown only while the package panel shows the same workbook.
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"
#include "idelink/message_table.hpp"

namespace idelink {
namespace {

inline constexpr const char *INSTALLATION_COMPLETE_COLOR = "#2ECC71";

nb::object package_panel(nb::handle self) { return main_window(self).attr("package_manager"); }

bool shown_in_package_panel(nb::handle panel, nb::handle workbook_id) {
    return truthy(workbook_id) && panel.attr("get_current_workbook")().equal(workbook_id);
}

} // namespace

void handle_workbook_packages_update(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    nb::object packages = field(message, INTERNED("packages"));
    nb::object no_errors = packages.is_none() ? nb::none() : nb::object(nb::dict());
    nb::object package_errors = field(message, INTERNED("package_errors"), no_errors);
    nb::object python_paths = field(message, INTERNED("python_paths"));
    log().info("[PYTHON_PATH] Received workbook_packages_update for ", workbook_id);
    log().info("[PYTHON_PATH] python_paths in message: ", python_paths);
    package_panel(self)
        .attr("update_caches")
        .attr("emit")(workbook_id, packages, package_errors, python_paths);
}

void handle_package_install_progress(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    nb::object package_name = field(message, INTERNED("package_name"));
    nb::object status = field(message, INTERNED("status"));
    nb::object error = field(message, INTERNED("error"), INTERNED(""));
    if (!truthy(workbook_id) || !truthy(package_name) || !truthy(status))
        return;
    nb::object panel = package_panel(self);
    if (!shown_in_package_panel(panel, workbook_id))
        return; // another workbook's progress: dropped
    panel.attr("update_package_status")(package_name, status, error);
    nb::object line;
    if (status.equal(nb::str("installing")))
        line = core::text("Installing ", package_name, "...");
    else if (status.equal(nb::str("installed")))
        line = core::text("Successfully installed ", package_name);
    else if (status.equal(nb::str("error")))
        line = core::text("Error installing ", package_name, ": ", error);
    if (line.is_valid())
        panel.attr("log_pip_output")(line);
}

void handle_package_installation_complete(nb::handle self, nb::handle message) {
    nb::object panel = package_panel(self);
    if (!shown_in_package_panel(panel, field(message, INTERNED("workbook_id"))))
        return;
    panel.attr("log_pip_output_colored")(
        field(message, INTERNED("message"), nb::str("Installation complete.")),
        INSTALLATION_COMPLETE_COLOR);
}

} // namespace idelink
