// How a client connects to the hub: TLS (QUORVEL_SECURED) and the token (QUORVEL_HUB_TOKEN).
#include "core/hub_connection.hpp"

namespace core {
namespace {

// os.environ.get(name, fallback): values set from Python are seen exactly as Python sees them.
nb::object environment(const char *name, nb::handle fallback) {
    return nb::module_::import_("os").attr("environ").attr("get")(name, fallback);
}

} // namespace

bool secured_mode() { return !environment("QUORVEL_SECURED", nb::str("1")).equal(nb::str("0")); }

nb::object tls_context() {
    if (!secured_mode())
        return nb::none();
    nb::object ssl = nb::module_::import_("ssl");
    nb::object context = ssl.attr("create_default_context")();
    context.attr("check_hostname") = false;
    context.attr("verify_mode") = ssl.attr("CERT_NONE");
    return context;
}

nb::object token_headers(nb::handle token) {
    nb::object chosen =
        token.is_none() ? environment("QUORVEL_HUB_TOKEN", Py_None) : nb::borrow(token);
    if (chosen.is_none())
        return nb::none();
    if (!nb::isinstance<nb::str>(chosen))
        throw nb::type_error("the hub token must be a string");
    nb::str text = nb::borrow<nb::str>(chosen);
    if (nb::len(text) == 0)
        return nb::none();
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer ") + text;
    return headers;
}

} // namespace core
