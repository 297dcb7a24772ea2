// install_package_to_cache: one exact version installed without dependencies into a fresh
// directory of the cache and recorded there, or the recorded installation reused.
#include "core/async_iterator.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "manager/installation_stream.hpp"
#include "manager/manager_module.hpp"
#include "manager/package_manager.hpp"

#include <optional>

namespace manager {
namespace {

// The two values of a pair, unpacked as `a, b = pair` would unpack it.
std::pair<nb::object, nb::object> unpack_pair(nb::handle pair) {
    nb::tuple items = nb::steal<nb::tuple>(PySequence_Tuple(pair.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    if (nb::len(items) != 2) {
        PyErr_Format(PyExc_ValueError, "generate_install_path() returned %zd values, expected 2",
                     static_cast<Py_ssize_t>(nb::len(items)));
        throw nb::python_error();
    }
    return {items[0], items[1]};
}

} // namespace

core::AsyncGenerator install_package_to_cache(nb::object self, nb::str package_name,
                                              nb::str version, nb::object extras, nb::object env) {
    ModuleState &st = state();
    // Extras keep the caller's order in the spec; the cache key sorts them, so the same set in
    // any order finds the same installation.
    bool has_extras = !extras.is_none() && core::truthy(extras);
    nb::str extras_str = has_extras ? core::text("[", core::join(",", extras), "]") : nb::str("");
    nb::str package_spec = core::text(package_name, extras_str, "==", version);

    nb::object verdict = module_global("validate_package_spec")(package_spec);
    if (!nb::cast<bool>(verdict[0])) {
        co_yield error_item(core::text("Invalid package spec: ", verdict[1]));
        co_return;
    }

    nb::str extras_cache_key =
        has_extras ? core::join(",", nb::module_::import_("builtins").attr("sorted")(extras))
                   : nb::str("");
    nb::object cached = self.attr("package_cache")
                            .attr("get_cached_package")(package_name, version, extras_cache_key);
    if (core::truthy(cached)) {
        co_yield nb::make_tuple("stdout", core::text("Package already cached at ", cached));
        co_yield nb::make_tuple("success", core::text("Using cached ", package_spec));
        co_yield nb::make_tuple("cached", cached);
        co_return;
    }

    std::pair<nb::object, nb::object> slot =
        unpack_pair(self.attr("package_cache").attr("generate_install_path")());
    nb::object install_id = slot.first, install_dir = slot.second;
    st.os.attr("makedirs")(install_dir, nb::arg("exist_ok") = true);
    nb::object command =
        self.attr("pip_command_builder")
            .attr("build_install_command")(package_spec, install_dir, nb::arg("no_deps") = true,
                                           nb::arg("prefer_binary") = true);
    if (log().enabled(core::Logger::INFO))
        log().write(core::Logger::INFO,
                    core::text("Installing to cache: ", core::join(" ", command)));

    // Recorded before "success" goes out: a consumer reacting to it finds the record.
    auto record = [self, install_id, package_name, version, extras_cache_key, install_dir] {
        nb::object cache = self.attr("package_cache");
        nb::object platform = cache.attr("get_current_platform")();
        nb::object python_version = cache.attr("get_python_version")();
        cache.attr("add_cached_package")(install_id, package_name, version, extras_cache_key,
                                         platform, python_version, install_dir);
    };
    Installation installation{command,
                              env,
                              package_spec,
                              install_dir,
                              core::text("Successfully installed ", package_spec, " to cache"),
                              std::move(record)};
    core::AsyncIterator items(
        stream_installation(std::move(installation)).into_python("stream_installation"));
    while (std::optional<nb::object> item = co_await items.next())
        co_yield *item;
}

core::AsyncGenerator install_package_no_deps(nb::object self, nb::str package_name, nb::str version,
                                             nb::object extras) {
    core::AsyncIterator items(self.attr("install_package_to_cache")(package_name, version, extras));
    while (std::optional<nb::object> item = co_await items.next())
        co_yield *item;
}

} // namespace manager
