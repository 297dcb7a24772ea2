// Secured mode and the TLS context of the hub connection.
#include "idelink/secured_mode.hpp"

namespace idelink {

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
    // The hub serves a self-signed certificate on the local machine.
    context.attr("check_hostname") = false;
    context.attr("verify_mode") = ssl.attr("CERT_NONE");
    return context;
}

} // namespace idelink
