// The protected region of an installation: pip's output streamed, its outcome, its failures.
#include "manager/installation_stream.hpp"

#include "core/errors.hpp"
#include "core/text.hpp"
#include "manager/manager_module.hpp"
#include "manager/pip_process.hpp"

namespace manager {
namespace {

// The item for an ordinary exception of the protected region.
nb::object failure_item(const nb::python_error &error, const Installation &installation) {
    // Order matters: both are OSErrors, and either is more telling than the generic message.
    if (error.matches(PyExc_FileNotFoundError))
        return error_item(nb::str("Python executable not found"));
    if (error.matches(PyExc_PermissionError))
        return error_item(
            core::text("Permission denied when installing to ", installation.install_dir));
    nb::object exception = core::exception_of(error);
    if (log().enabled(core::Logger::ERROR))
        log().write(core::Logger::ERROR, core::text("Failed to install package ",
                                                    installation.package_spec, ": ", exception));
    return error_item(core::text("Installation failed: ", exception));
}

} // namespace

nb::object error_item(nb::handle message) { return nb::make_tuple("error", message); }

core::AsyncGenerator stream_installation(Installation installation) {
    nb::object failure;
    try {
        PipProcess pip;
        co_await pip.start(installation.command, installation.env);
        for (;;) {
            nb::object item = co_await pip.next_output();
            if (item.is_none())
                break;
            co_yield item;
        }
        nb::object code = co_await pip.wait();
        if (code.equal(nb::int_(0))) {
            if (installation.on_success)
                installation.on_success();
            co_yield nb::make_tuple("success", installation.success_message);
            co_yield nb::make_tuple("path", installation.install_dir);
        } else {
            co_yield error_item(core::text("pip install failed with return code ", code));
        }
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        failure = failure_item(e, installation);
    }
    if (failure.is_valid())
        co_yield failure;
}

} // namespace manager
