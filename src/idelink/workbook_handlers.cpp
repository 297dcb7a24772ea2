// Workbook handlers: a workbook connects, disconnects or is renamed, and the full list of open
// workbooks reconciles the IDE with the hub.
#include "core/objects.hpp"
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"
#include "idelink/message_table.hpp"

namespace idelink {
namespace {

// A module map field; null counts as an empty map.
nb::object modules_of(nb::handle holder) {
    nb::object modules = field(holder, INTERNED("modules"), nb::dict());
    return modules.is_none() ? nb::object(nb::dict()) : modules;
}

nb::list keys_of(nb::handle mapping) { return nb::list(mapping.attr("keys")()); }

// mapping.pop(key, None): removes the entry if there is one.
void discard(nb::handle mapping, nb::handle key) { mapping.attr("pop")(key, nb::none()); }

} // namespace

void handle_workbook_connected(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    nb::object name = field(message, INTERNED("name"));
    nb::object modules = modules_of(message);
    nb::list names = keys_of(modules);
    if (!truthy(workbook_id))
        return;
    nb::object window = main_window(self);
    nb::object explorer = window.attr("project_explorer");
    explorer.attr("add_workbook")(workbook_id, name);
    if (names.size() > 0)
        explorer.attr("set_modules")(workbook_id, names);
    window.attr("_module_cache")[workbook_id] = modules;
    window.attr("event_manager").attr("set_module_cache")(workbook_id, modules);
    window.attr("timer_manager").attr("add_workbook")(workbook_id, name);
    console_line(window, core::text("Workbook connected: ", truthy(name) ? name : workbook_id),
                 nullptr, Level::Detailed);
}

void handle_workbook_disconnected(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    if (!truthy(workbook_id))
        return;
    nb::object window = main_window(self);
    if (truthy(window.attr("_debug_active")) &&
        window.attr("_current_debug_workbook").equal(workbook_id)) {
        log().info("[IDE] Stopping debugger - workbook ", workbook_id, " disconnected");
        window.attr("_debug_stop")();
    }
    window.attr("project_explorer").attr("remove_workbook")(workbook_id);
    window.attr("timer_manager").attr("remove_workbook")(workbook_id);
    window.attr("_close_tabs_for_workbook")(workbook_id);
    discard(window.attr("_module_cache"), workbook_id);
    discard(window.attr("event_manager").attr("_module_cache"), workbook_id);
    discard(window.attr("_synced_module_hashes"), workbook_id);
    console_line(window, core::text("Workbook disconnected: ", workbook_id), nullptr,
                 Level::Detailed);
}

void handle_workbook_name_changed(nb::handle self, nb::handle message) {
    nb::object workbook_id = field(message, INTERNED("workbook_id"));
    nb::object new_name = field(message, INTERNED("new_name"));
    if (!truthy(workbook_id) || !truthy(new_name))
        return;
    nb::object window = main_window(self);
    window.attr("_update_workbook_name")(workbook_id, new_name);
    for (const char *panel : {"event_manager", "function_publisher", "object_inspector",
                              "package_manager", "timer_manager"})
        window.attr(panel).attr("update_workbook_name")(workbook_id, new_name);
    console_line(
        window,
        core::text("Workbook renamed: ", field(message, INTERNED("old_name")), " -> ", new_name),
        nullptr, Level::Detailed);
}

void handle_workbook_list(nb::handle self, nb::handle message) {
    nb::object window = main_window(self);
    nb::object explorer = window.attr("project_explorer");
    nb::object timers = window.attr("timer_manager");
    nb::object cache = window.attr("_module_cache");
    nb::list current = keys_of(explorer.attr("_workbook_items"));

    nb::object workbooks = field(message, INTERNED("workbooks"), nb::list());
    if (workbooks.is_none())
        workbooks = nb::list();
    // Insertion-ordered: workbooks are added in list order.
    nb::dict names, module_maps;
    for (nb::handle entry : workbooks) {
        if (PyDict_Check(entry.ptr())) {
            nb::object workbook_id = field(entry, INTERNED("id"));
            if (workbook_id.is_none())
                continue;
            names[workbook_id] = field(entry, INTERNED("name"));
            module_maps[workbook_id] = modules_of(entry);
        } else {
            names[entry] = nb::none();
            module_maps[entry] = nb::dict();
        }
    }

    for (auto [workbook_id, name] : names) {
        if (core::contains(current, workbook_id))
            continue;
        window.attr("set_workbook_name")(workbook_id, name);
        explorer.attr("add_workbook")(workbook_id, name);
        timers.attr("add_workbook")(workbook_id, name);
        nb::object modules = module_maps[workbook_id];
        nb::list module_names = keys_of(modules);
        if (module_names.size() > 0)
            explorer.attr("set_modules")(workbook_id, module_names);
        cache[workbook_id] = modules;
    }
    for (nb::handle workbook_id : current) {
        if (names.contains(workbook_id))
            continue;
        explorer.attr("remove_workbook")(workbook_id);
        timers.attr("remove_workbook")(workbook_id);
        discard(cache, workbook_id);
        discard(window.attr("_synced_module_hashes"), workbook_id);
    }
    console_line(window, core::text("Received workbook list: ", nb::len(workbooks), " workbooks"),
                 nullptr, Level::Detailed);
}

} // namespace idelink
