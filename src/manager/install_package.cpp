// install_package: a free-form spec installed with pip into a directory, its output streamed.
#include "core/async_iterator.hpp"
#include "core/text.hpp"
#include "manager/installation_stream.hpp"
#include "manager/manager_module.hpp"
#include "manager/package_manager.hpp"

#include <optional>

namespace manager {

core::AsyncGenerator install_package(nb::object self, nb::str package_spec, nb::object target_dir) {
    ModuleState &st = state();
    nb::object verdict = module_global("validate_package_spec")(package_spec);
    if (!nb::cast<bool>(verdict[0])) {
        co_yield error_item(core::text("Invalid package spec: ", verdict[1]));
        co_return;
    }
    if (target_dir.is_none()) {
        target_dir = self.attr("ensure_cache_dir")();
    } else {
        target_dir = st.os_path.attr("abspath")(target_dir);
        st.os.attr("makedirs")(target_dir, nb::arg("exist_ok") = true);
    }
    nb::object command =
        self.attr("pip_command_builder").attr("build_install_command")(package_spec, target_dir);
    if (log().enabled(core::Logger::INFO))
        log().write(core::Logger::INFO,
                    core::text("Running pip install: ", core::join(" ", command)));

    Installation installation{command,
                              nb::none(),
                              package_spec,
                              target_dir,
                              core::text("Successfully installed ", package_spec),
                              {}};
    core::AsyncIterator items(
        stream_installation(std::move(installation)).into_python("stream_installation"));
    while (std::optional<nb::object> item = co_await items.next())
        co_yield *item;
}

} // namespace manager
