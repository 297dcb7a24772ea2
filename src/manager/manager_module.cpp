// The package manager extension module: its imports, constants and classes, set up at load.

#include "manager/manager_module.hpp"
#include "manager/package_manager.hpp"
#include "manager/package_spec.hpp"

#include <initializer_list>

namespace nb = nanobind;
using namespace manager;

namespace {

// The hub's components the manager builds on, bound as module globals so that tests and the hub
// can replace them before constructing a PackageManager.
void import_names(nb::module_ &m, const char *module_name,
                  std::initializer_list<const char *> names) {
    nb::object component = nb::module_::import_(module_name);
    for (const char *name : names)
        m.attr(name) = component.attr(name);
}

} // namespace

NB_MODULE(manager, m) {
    ModuleState &st = state();
    core::start_module(st, m);

    m.attr("__doc__") =
        "The hub's package manager: pip install commands targeting a centralised hidden cache "
        "directory, with pip's output streamed as it runs; versions and extras from the package "
        "index's JSON interface through the resolvers; installations recorded in an "
        "SQLite-backed package cache (PackageCache).";

    st.asyncio = nb::module_::import_("asyncio");
    st.asyncio_timeout = st.asyncio.attr("TimeoutError");
    st.incomplete_read = st.asyncio.attr("IncompleteReadError");
    st.limit_overrun = st.asyncio.attr("LimitOverrunError");
    st.os = nb::module_::import_("os");
    st.os_path = st.os.attr("path");
    st.end_of_stream = nb::module_::import_("builtins").attr("object")();

    import_names(m, "business_layer.package_cache", {"PackageCache"});
    import_names(m, "business_layer.packages.pip_runner", {"PipCommandBuilder"});
    import_names(m, "business_layer.packages.version_resolver", {"VersionResolver"});
    import_names(m, "business_layer.packages.extras_resolver", {"ExtrasResolver"});
    import_names(m, "business_layer.packages.package_index_client", {"PackageIndexClient"});

    m.attr("DEFAULT_CACHE_DIR") = DEFAULT_CACHE_DIR;
    m.attr("VALID_PACKAGE_PATTERN") =
        nb::module_::import_("re").attr("compile")(VALID_PACKAGE_PATTERN_SOURCE);
    m.attr("MAX_PACKAGE_SPEC_LENGTH") = MAX_PACKAGE_SPEC_LENGTH;
    m.attr("FORBIDDEN_CHARACTERS") = forbidden_characters();
    m.attr("OUTPUT_POLL_INTERVAL") = OUTPUT_POLL_INTERVAL;
    m.attr("MAX_OUTPUT_LINE_BYTES") = MAX_OUTPUT_LINE_BYTES;

    m.def("validate_package_spec", &validate_package_spec, nb::arg("package_spec"),
          "(True, '') for a spec pip may be given, else (False, the reason). Refuses shell "
          "syntax, option-like specs and anything outside name[extras]op version.");
    bind_package_manager(m);
}
