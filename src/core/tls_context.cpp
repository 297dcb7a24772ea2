// Creation of the unverified TLS client context.
#include "core/tls_context.hpp"

namespace core {

nb::object unverified_tls_context() {
    nb::object ssl = nb::module_::import_("ssl");
    nb::object context = ssl.attr("create_default_context")();
    context.attr("check_hostname") = false;
    context.attr("verify_mode") = ssl.attr("CERT_NONE");
    return context;
}

} // namespace core
