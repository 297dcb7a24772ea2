// Reading of the QUORVEL_SECURED environment variable through os.environ.
#include "kernel/secured_mode.hpp"

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

bool secured_mode() {
    // os.environ, not getenv(): values set from Python are seen exactly as Python sees them.
    nb::object value =
        nb::module_::import_("os").attr("environ").attr("get")("QUORVEL_SECURED", "1");
    return !value.equal(nb::str("0"));
}

} // namespace kernel
