// Whether a hub connection uses TLS, and the TLS context it then connects with.
#pragma once

#include <nanobind/nanobind.h>

namespace core {
namespace nb = nanobind;

// QUORVEL_SECURED, read through os.environ at each call (default "1"; only "0" turns TLS off):
// the URL scheme and the TLS context are asked for at different times, and both must agree
// with what Python code set.
bool secured_mode();

// For a secured connection, a TLS client context that verifies neither certificate nor host
// name (the hub serves a self-signed certificate on the local machine); None otherwise.
nb::object tls_context();

} // namespace core
