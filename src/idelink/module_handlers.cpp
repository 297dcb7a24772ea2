// Module handlers: a module's source opened in an editor tab (with the debugger's pending line),
// module deletions and saves, and the modules of a workbook.
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"
#include "idelink/message_table.hpp"

namespace idelink {
namespace {

// The module an editor tab shows: its title without a final ".py".
nb::object tab_module(nb::handle title) {
    nb::str text = nb::str(title);
    if (!truthy(text.attr("endswith")(".py")))
        return text;
    PyObject *stem = PyUnicode_Substring(text.ptr(), 0, PyUnicode_GET_LENGTH(text.ptr()) - 3);
    if (!stem)
        throw nb::python_error();
    return nb::steal(stem);
}

// Marks the pending debug line in the tab of (workbook, module), if that tab is open, after the
// window's highlight delay; the pending line is used up either way.
void show_pending_debug_line(nb::handle window, nb::handle workbook_id, nb::handle module_name) {
    nb::object pending = window.attr("_pending_debug_line");
    if (!truthy(pending) || !field(pending, INTERNED("workbook_id")).equal(workbook_id) ||
        !field(pending, INTERNED("module_name")).equal(module_name))
        return; // a line for another module stays pending
    nb::object tabs = window.attr("editor_tabs");
    nb::object editor_class = module_global("MonacoEditor");
    long count = nb::cast<long>(tabs.attr("count")());
    for (long i = 0; i < count; ++i) {
        nb::object widget = tabs.attr("widget")(i);
        if (!nb::isinstance(widget, editor_class))
            continue;
        if (!tab_module(tabs.attr("tabText")(i)).equal(module_name) ||
            !widget.attr("workbook_id").equal(workbook_id))
            continue;
        nb::object mark =
            nb::module_::import_("functools")
                .attr("partial")(widget.attr("set_debug_line"), field(pending, INTERNED("line")));
        // With the editor as context: a tab closed within the delay cancels the mark.
        module_global("QTimer").attr("singleShot")(window.attr("DEBUG_LINE_HIGHLIGHT_DELAY_MS"),
                                                   widget, mark);
        window.attr("_current_debug_editor") = widget;
        break;
    }
    window.attr("_pending_debug_line") = nb::none();
}

} // namespace

void handle_module_content(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    nb::object module_name = field(message, INTERNED("module_name"));
    nb::object code = field(message, INTERNED("code"));
    nb::object window = main_window(self);
    if (code.is_none()) {
        console_line(window, core::text("Module not found: ", module_name), ERROR_COLOR,
                     Level::Detailed);
        return;
    }
    if (!truthy(workbook_id) || !truthy(module_name))
        return;
    nb::object cache = window.attr("_module_cache");
    nb::object modules = cache.attr("setdefault")(workbook_id, nb::dict());
    modules[module_name] = code;
    window.attr("event_manager").attr("set_module_cache")(workbook_id, modules);
    window.attr("add_editor_tab")(module_name, code, workbook_id);
    console_line(window, core::text("Opened module: ", module_name), nullptr, Level::Detailed);
    show_pending_debug_line(window, workbook_id, module_name);
}

void handle_module_deleted(nb::handle, nb::handle message) {
    nb::object module_name = field(message, INTERNED("module_name"));
    if (truthy(field(message, INTERNED("success"))))
        log().debug("Module '", module_name, "' deleted from Business Layer");
    else
        log().warning("Failed to delete module '", module_name, "' from Business Layer");
}

void handle_module_saved(nb::handle, nb::handle message) {
    log().debug("Module '", field(message, INTERNED("module_name")), "' saved to Business Layer");
}

void handle_all_modules(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    nb::object modules = field(message, INTERNED("modules"), nb::dict());
    if (!truthy(workbook_id) || !truthy(modules))
        return;
    nb::object window = main_window(self);
    window.attr("_module_cache")[workbook_id] = modules;
    window.attr("event_manager").attr("set_module_cache")(workbook_id, modules);
    window.attr("project_explorer")
        .attr("set_modules")(workbook_id, nb::list(modules.attr("keys")()));
}

} // namespace idelink
