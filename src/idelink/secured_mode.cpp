// Secured mode and the TLS context of the hub connection.
#include "idelink/secured_mode.hpp"

#include "core/tls_context.hpp"

namespace idelink {

bool secured_mode() {
    // os.environ, not getenv(): values set from Python are seen exactly as Python sees them.
    nb::object value =
        nb::module_::import_("os").attr("environ").attr("get")("QUORVEL_SECURED", "1");
    return !value.equal(nb::str("0"));
}

nb::object tls_context() { return secured_mode() ? core::unverified_tls_context() : nb::none(); }

} // namespace idelink
