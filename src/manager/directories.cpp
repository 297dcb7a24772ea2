// The hidden cache directory: where it is, and creating it on demand.
#include "manager/manager_module.hpp"
#include "manager/package_manager.hpp"

namespace manager {

// Resolved against the working directory at the time of the call, not of construction.
nb::object get_target_dir(nb::handle self) {
    return state().os_path.attr("abspath")(self.attr("cache_dir"));
}

nb::object ensure_cache_dir(nb::handle self) {
    nb::object target = self.attr("get_target_dir")();
    state().os.attr("makedirs")(target, nb::arg("exist_ok") = true);
    return target;
}

} // namespace manager
