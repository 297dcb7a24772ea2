// QUORVEL_SECURED and the TLS context of a hub connection.
#include "core/secured_mode.hpp"

namespace core {

bool secured_mode() {
    // os.environ, not getenv(): values set from Python are seen exactly as Python sees them.
    nb::object value =
        nb::module_::import_("os").attr("environ").attr("get")("QUORVEL_SECURED", "1");
    return !value.equal(nb::str("0"));
}

nb::object tls_context() {
    if (!secured_mode())
        return nb::none();
    nb::object ssl = nb::module_::import_("ssl");
    nb::object context = ssl.attr("create_default_context")();
    context.attr("check_hostname") = false;
    context.attr("verify_mode") = ssl.attr("CERT_NONE");
    return context;
}

} // namespace core
