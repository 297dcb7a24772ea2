// PackageManager: the hub's entry to package installation and index queries.
//
// The object keeps its state as instance attributes (its __dict__), as the Python class it
// presents itself as: the hub and tests read and replace them freely. Methods take the Python
// instance and reach the components and each other through its attributes, so a replaced
// `package_cache` or `install_package_to_cache` sees every call. Everything runs on the caller's
// event loop with the GIL held; there are no threads.
#pragma once

#include "core/async_generator.hpp"
#include "core/task.hpp"

namespace manager {
namespace nb = nanobind;

// The C++ side of the instance holds nothing: the fields live in __dict__.
struct PackageManager {};

void bind_package_manager(nb::module_ &module);

// directories.cpp: the hidden cache directory.
nb::object get_target_dir(nb::handle self);
nb::object ensure_cache_dir(nb::handle self);

// index_queries.cpp: delegations to the resolvers.
core::Task<nb::object> get_available_versions(nb::object self, nb::object package_name);
core::Task<nb::object> get_package_extras(nb::object self, nb::object package_name,
                                          nb::object version);
core::Task<nb::object> get_package_info(nb::object self, nb::object package_name);

// install_package.cpp and install_to_cache.cpp: the installation streams.
core::AsyncGenerator install_package(nb::object self, nb::str package_spec, nb::object target_dir);
core::AsyncGenerator install_package_to_cache(nb::object self, nb::str package_name,
                                              nb::str version, nb::object extras, nb::object env);
core::AsyncGenerator install_package_no_deps(nb::object self, nb::str package_name, nb::str version,
                                             nb::object extras);

} // namespace manager
