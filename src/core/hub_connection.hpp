// How a client connects to the hub: over TLS or not, and with which token.
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

// The headers that present the hub's token in a handshake: {"Authorization": "Bearer <token>"}
// for `token` when it is a string, or, when it is None, for QUORVEL_HUB_TOKEN (read through
// os.environ); None when neither gives a token, and the client connects without one. A token
// of another type raises TypeError.
nb::object token_headers(nb::handle token);

} // namespace core
