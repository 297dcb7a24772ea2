// VirtualEnvironment: the record of the import paths a kernel added to sys.path itself.
#pragma once

#include <nanobind/nanobind.h>

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
