// Secured mode: TLS for the hub connection unless QUORVEL_SECURED is exactly "0".
#pragma once

#include <nanobind/nanobind.h>

namespace idelink {
namespace nb = nanobind;

// Reads QUORVEL_SECURED (default "1") through os.environ at each call.
bool secured_mode();

// A TLS client context that accepts any server certificate and host name, or None when the
// client is not secured.
nb::object tls_context();

} // namespace idelink
