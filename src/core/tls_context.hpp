// The TLS client context of a local hub connection.
#pragma once

#include <nanobind/nanobind.h>

namespace core {
namespace nb = nanobind;

// ssl.create_default_context() with host-name checking and certificate verification off: the
// hub serves a self-signed certificate on the local machine.
nb::object unverified_tls_context();

} // namespace core
