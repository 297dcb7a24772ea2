// The import hook that makes workbook modules, kept as source text in memory, importable.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Creates the InMemoryModuleLoader class: a subclass of importlib.abc.MetaPathFinder and Loader
// (made by their metaclass, as a `class` statement would make it) whose methods are C++.
nb::object make_in_memory_loader_class(nb::handle module);

// The virtual file name of an in-memory module: "<virtual:" + name + ">".
nb::str virtual_file_name(nb::handle module_name);

} // namespace kernel
