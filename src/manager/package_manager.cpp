// PackageManager's constructor and its Python class.
#include "manager/package_manager.hpp"

#include "core/task.hpp"
#include "manager/manager_module.hpp"

namespace manager {
namespace {

// Sets the fields in the order the constructor is documented to set them. Creates no directory.
void construct(nb::handle self, nb::object base_dir, nb::object settings_manager) {
    ModuleState &st = state();
    int given = PyObject_IsTrue(base_dir.ptr());
    if (given < 0)
        throw nb::python_error();
    nb::object base = given ? st.os.attr("fspath")(base_dir) : st.os.attr("getcwd")();
    self.attr("base_dir") = base;
    self.attr("cache_dir") = st.os_path.attr("join")(base, DEFAULT_CACHE_DIR);
    self.attr("settings_manager") = settings_manager;
    // The cache is given the base directory: it keeps its records inside the hidden directory
    // beneath it, the same one cache_dir names.
    self.attr("package_cache") = module_global("PackageCache")(nb::arg("cache_dir") = base);
    self.attr("pip_command_builder") = module_global("PipCommandBuilder")(settings_manager);
    self.attr("version_resolver") = module_global("VersionResolver")(settings_manager);
    self.attr("extras_resolver") = module_global("ExtrasResolver")(settings_manager);
    self.attr("index_client") = module_global("PackageIndexClient")(settings_manager);
}

} // namespace

void bind_package_manager(nb::module_ &module) {
    nb::class_<PackageManager>(
        module, "PackageManager", nb::dynamic_attr(),
        "Installs packages with pip into the hidden cache directory under a base directory, "
        "streaming pip's output, and answers version, extras and package questions through the "
        "index resolvers.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<PackageManager> self, nb::object base_dir,
               nb::object settings_manager) {
                new (self.p) PackageManager();
                construct(self.h, base_dir, settings_manager);
            },
            nb::arg("base_dir").none() = nb::none(),
            nb::arg("settings_manager").none() = nb::none())
        .def("get_target_dir", &get_target_dir, "The absolute path of the hidden cache directory.")
        .def("ensure_cache_dir", &ensure_cache_dir,
             "Creates the hidden cache directory if needed and returns its absolute path.")
        .def(
            "get_installation_path", [](nb::handle self) { return self.attr("get_target_dir")(); },
            "Where installations go: the hidden cache directory (not created here).")
        .def("get_available_versions",
             core::coroutine_method<get_available_versions, nb::object>(
                 "PackageManager.get_available_versions"),
             nb::arg("package_name").none(), "The package's versions, newest first; [] on error.")
        .def("get_package_extras",
             core::coroutine_method<get_package_extras, nb::object, nb::object>(
                 "PackageManager.get_package_extras"),
             nb::arg("package_name").none(), nb::arg("version").none() = nb::none(),
             "The extras of a version (None: the latest); [] when none or on error.")
        .def(
            "get_package_info",
            core::coroutine_method<get_package_info, nb::object>("PackageManager.get_package_info"),
            nb::arg("package_name").none(),
            "{'name', 'latest_version', 'summary'}, or a dict with an 'error' key.")
        .def("install_package",
             core::coroutine_method<install_package, nb::str, nb::object>(
                 "PackageManager.install_package"),
             nb::arg("package_spec"), nb::arg("target_dir").none() = nb::none(),
             "Installs a spec with pip into target_dir (default: the hidden cache directory), "
             "yielding (output type, content) pairs as pip runs.")
        .def("install_package_to_cache",
             core::coroutine_method<install_package_to_cache, nb::str, nb::str, nb::object,
                                    nb::object>("PackageManager.install_package_to_cache"),
             nb::arg("package_name"), nb::arg("version"), nb::arg("extras").none() = nb::none(),
             nb::arg("env").none() = nb::none(),
             "Installs one exact version without dependencies into a fresh directory of the "
             "cache and records it, or reuses the recorded one; yields (output type, content).")
        .def("install_package_no_deps",
             core::coroutine_method<install_package_no_deps, nb::str, nb::str, nb::object>(
                 "PackageManager.install_package_no_deps"),
             nb::arg("package_name"), nb::arg("version"), nb::arg("extras").none() = nb::none(),
             "What install_package_to_cache(package_name, version, extras) yields.");
}

} // namespace manager
