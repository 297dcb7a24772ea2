// The six path messages: the import path changes the hub asks for, and their replies.
//
// Inline on the listener loop, one message at a time, so no lock is needed. Every path a
// message carries is checked before anything changes: a malformed message raises a TypeError
// out of the dispatcher and leaves sys.path, sys.modules and the kernel's path record as they
// were, and nothing but strings ever reaches sys.path from here.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/imports/imports.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

// The list of paths in `message[key]` (an empty list when absent), checked to hold only
// strings. A copy: the message's own list is not kept.
nb::list path_list(nb::handle message, const char *key, const char *message_type) {
    nb::object value = field(message, nb::str(key), nb::list());
    if (!PyList_Check(value.ptr()))
        core::raise(PyExc_TypeError,
                    core::text(message_type, ": ", key, " must be a list of strings, not ",
                               core::type_name(value)));
    nb::list paths = list_copy(value);
    for (size_t i = 0; i < paths.size(); ++i) {
        nb::object path = paths[i];
        if (!PyUnicode_Check(path.ptr()))
            core::raise(PyExc_TypeError,
                        core::text(message_type, ": ", key, "[", i, "] must be a string, not ",
                                   core::type_name(path)));
    }
    return paths;
}

nb::object sys_path_copy() { return list_copy(sys_path()); }

// Removes the first occurrence of each path present in sys.path, logging `what` for each.
void remove_from_sys_path(nb::handle paths, const char *what) {
    nb::list path_list = sys_path();
    for (nb::handle path : paths) {
        if (!core::contains(path_list, path))
            continue;
        path_list.attr("remove")(path);
        log().debug(what, path);
    }
}

void tell_language_bridge(nb::handle self, nb::handle paths) {
    nb::object bridge = self.attr("_lsp_bridge");
    if (!bridge.is_none())
        bridge.attr("update_sys_paths")(paths);
}

// Replies are built before the co_await that sends them (g++ 12 and temporaries there).
core::Task<> reply(nb::object self, nb::dict message) {
    co_await self.attr(INTERNED("send_message"))(message);
}

} // namespace

core::Task<> handle_add_path(nb::object self, nb::object message) {
    nb::object path = field(message, INTERNED("path"), INTERNED(""));
    self.attr("virtual_env").attr("add_path")(path);
    nb::dict answer = message_of(
        {{"type", INTERNED("path_added")}, {"path", path}, {"current_paths", sys_path_copy()}});
    co_await reply(self, answer);
}

core::Task<> handle_remove_path(nb::object self, nb::object message) {
    nb::object path = field(message, INTERNED("path"), INTERNED(""));
    self.attr("virtual_env").attr("remove_path")(path);
    nb::dict answer = message_of(
        {{"type", INTERNED("path_removed")}, {"path", path}, {"current_paths", sys_path_copy()}});
    co_await reply(self, answer);
}

core::Task<> handle_reset_path(nb::object self, nb::object) {
    self.attr("virtual_env").attr("reset_path")();
    nb::dict answer =
        message_of({{"type", INTERNED("path_reset")}, {"current_paths", sys_path_copy()}});
    co_await reply(self, answer);
}

core::Task<> handle_set_package_paths(nb::object self, nb::object message) {
    nb::list old_paths = path_list(message, "old_paths", "set_package_paths");
    nb::list new_paths = path_list(message, "new_paths", "set_package_paths");

    Py_ssize_t unloaded = unload_modules_under(old_paths);
    remove_from_sys_path(old_paths, "Removed old path from sys.path: ");
    // In reverse, so that the new paths end up at the head of sys.path in their given order.
    nb::list path_list_now = sys_path();
    for (Py_ssize_t i = static_cast<Py_ssize_t>(new_paths.size()) - 1; i >= 0; --i) {
        nb::object path = new_paths[static_cast<size_t>(i)];
        if (core::contains(path_list_now, path))
            continue;
        path_list_now.insert(0, path);
        log().debug("Added new path to sys.path: ", path);
    }
    self.attr("virtual_env").attr("custom_paths") = list_copy(new_paths);
    tell_language_bridge(self, new_paths);

    Py_ssize_t added = static_cast<Py_ssize_t>(new_paths.size());
    nb::dict answer = message_of({{"type", INTERNED("package_paths_updated")},
                                  {"paths_added", nb::int_(added)},
                                  {"modules_unloaded", nb::int_(unloaded)},
                                  {"workbook_id", self.attr(INTERNED("workbook_id"))}});
    co_await reply(self, answer);
    log().info("Package paths updated: ", added, " paths added, ", unloaded, " modules unloaded");
}

core::Task<> handle_set_python_paths(nb::object self, nb::object message) {
    nb::list old_paths = path_list(message, "old_paths", "set_python_paths");
    nb::list new_paths = path_list(message, "new_paths", "set_python_paths");

    remove_from_sys_path(old_paths, "Removed old python path from sys.path: ");
    // Appended: the user's own code directories come after the standard library and packages.
    nb::list path_list_now = sys_path();
    for (nb::handle path : new_paths) {
        if (core::contains(path_list_now, path))
            continue;
        path_list_now.append(path);
        log().debug("Added new python path to sys.path: ", path);
    }
    tell_language_bridge(self, sys_path_copy());

    Py_ssize_t added = static_cast<Py_ssize_t>(new_paths.size());
    nb::dict answer = message_of({{"type", INTERNED("python_paths_updated")},
                                  {"paths_added", nb::int_(added)},
                                  {"workbook_id", self.attr(INTERNED("workbook_id"))}});
    co_await reply(self, answer);
    log().info("Python paths updated: ", added, " paths added");
}

core::Task<> handle_unload_and_clear_paths(nb::object self, nb::object message) {
    nb::list paths = path_list(message, "paths", "unload_and_clear_paths");

    Py_ssize_t unloaded = unload_modules_under(paths);
    remove_from_sys_path(paths, "Removed path from sys.path: ");

    Py_ssize_t cleared = static_cast<Py_ssize_t>(paths.size());
    nb::dict answer = message_of({{"type", INTERNED("modules_unloaded")},
                                  {"modules_unloaded", nb::int_(unloaded)},
                                  {"paths_cleared", nb::int_(cleared)},
                                  {"workbook_id", self.attr(INTERNED("workbook_id"))}});
    co_await reply(self, answer);
    log().info("Modules unloaded: ", unloaded, ", paths cleared: ", cleared);
}

} // namespace kernel
