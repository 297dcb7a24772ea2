// Imports: the in-memory loader of workbook modules, the record of the paths the kernel added to
// sys.path, and the unloading of modules imported from paths that go away.
#pragma once

#include <nanobind/nanobind.h>

// The import hook that makes workbook modules, kept as source text in memory, importable.
namespace kernel {
namespace nb = nanobind;

// Creates the InMemoryModuleLoader class: a subclass of importlib.abc.MetaPathFinder and Loader
// (made by their metaclass, as a `class` statement would make it) whose methods are C++.
nb::object make_in_memory_loader_class(nb::handle module);

// The virtual file name of an in-memory module: "<virtual:" + name + ">".
nb::str virtual_file_name(nb::handle module_name);

} // namespace kernel

// VirtualEnvironment: the record of the import paths a kernel added to sys.path itself.
namespace kernel {
namespace nb = nanobind;

// The C++ side holds nothing: `workbook_id`, `original_path` and `custom_paths` are attributes.
struct VirtualEnvironment {};

void bind_virtual_environment(nb::module_ &module);

// sys.path, the process's one list of import paths (changed in place, never replaced).
nb::list sys_path();

// A new list of the items of `items` (nb::list(l) of an nb::list would share the list).
inline nb::list list_copy(nb::handle items) { return nb::list(items); }

// Raises TypeError naming `where` unless `path` is a str: sys.path must only ever hold strings.
void require_path_text(nb::handle path, const char *where);

} // namespace kernel

// Unloading the modules that were imported from directories that are going away.
namespace kernel {
namespace nb = nanobind;

// Removes from sys.modules every module whose file lies under one of `directories` (a list of
// str), together with every other module of the same top-level package, deepest first. Returns
// how many names were chosen for removal (those already gone by their turn count too).
Py_ssize_t unload_modules_under(nb::handle directories);

} // namespace kernel
