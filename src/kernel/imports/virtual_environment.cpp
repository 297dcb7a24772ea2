// VirtualEnvironment: the record of the import paths a kernel added to sys.path itself.
//
// One per kernel, built with the kernel. The path messages call it on the listener loop, one
// message at a time; sys.path is changed in place, so every holder of the list sees it.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/imports/imports.hpp"

namespace kernel {
namespace {

nb::list custom_paths_of(nb::handle self) {
    nb::object paths = self.attr("custom_paths");
    if (!PyList_Check(paths.ptr()))
        core::raise(PyExc_TypeError, "VirtualEnvironment.custom_paths must be a list");
    return nb::borrow<nb::list>(paths);
}

// Removes the first occurrence of `item` from `list`; false when it is not there.
bool remove_first(nb::handle list, nb::handle item) {
    if (!core::contains(list, item))
        return false;
    list.attr("remove")(item);
    return true;
}

void construct(nb::handle self, nb::object workbook_id) {
    self.attr("workbook_id") = workbook_id;
    self.attr("original_path") = list_copy(sys_path());
    self.attr("custom_paths") = nb::list();
}

void add_path(nb::handle self, nb::handle path) {
    require_path_text(path, "VirtualEnvironment.add_path");
    nb::list custom = custom_paths_of(self);
    if (core::contains(custom, path))
        return;
    custom.append(path);
    nb::list path_list = sys_path();
    if (!core::contains(path_list, path))
        path_list.insert(0, path);
}

void remove_path(nb::handle self, nb::handle path) {
    require_path_text(path, "VirtualEnvironment.remove_path");
    // Only a path added through this record is ever taken out of sys.path.
    if (!remove_first(custom_paths_of(self), path))
        return;
    remove_first(sys_path(), path);
}

void reset_path(nb::handle self) {
    nb::list original = list_copy(self.attr("original_path"));
    nb::list path_list = sys_path();
    if (PyList_SetSlice(path_list.ptr(), 0, PY_SSIZE_T_MAX, original.ptr()) < 0)
        throw nb::python_error();
    custom_paths_of(self).clear();
}

nb::list get_paths(nb::handle self) { return list_copy(custom_paths_of(self)); }

} // namespace

nb::list sys_path() {
    nb::object path = nb::module_::import_("sys").attr("path");
    if (!PyList_Check(path.ptr()))
        core::raise(PyExc_TypeError, "sys.path is not a list");
    return nb::borrow<nb::list>(path);
}

void require_path_text(nb::handle path, const char *where) {
    if (!PyUnicode_Check(path.ptr()))
        core::raise(PyExc_TypeError,
                    core::text(where, ": a path must be a string, not ", core::type_name(path)));
}

void bind_virtual_environment(nb::module_ &module) {
    nb::class_<VirtualEnvironment>(module, "VirtualEnvironment", nb::dynamic_attr(),
                                   "The import paths a kernel added to sys.path itself, and the "
                                   "sys.path it started with.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<VirtualEnvironment> self, nb::object workbook_id) {
                new (self.p) VirtualEnvironment();
                construct(self.h, workbook_id);
            },
            nb::arg("workbook_id").none())
        .def("add_path", &add_path, nb::arg("path").none(),
             "Records `path` and puts it at the head of sys.path unless it is there already.")
        .def("remove_path", &remove_path, nb::arg("path").none(),
             "Takes a recorded `path` out of the record and out of sys.path.")
        .def("reset_path", &reset_path,
             "Gives sys.path back the entries it had when the record was made; forgets the "
             "recorded paths.")
        .def("get_paths", &get_paths, "A copy of the recorded paths, in the order added.");
}

} // namespace kernel
