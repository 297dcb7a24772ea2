// Installation and removal of the process-wide hooks of a connected kernel.
#include "kernel/host_hooks.hpp"

#include "kernel/host_requests.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/output_channel.hpp"

namespace kernel {
namespace {

// print() holds the stream it writes to without a reference of its own, between its writes too.
// A worker may be inside such a write, waiting for room in the output channel, when disconnect
// puts the original streams back: the hooks must outlive it, so each installed hook is kept for
// the life of the process (two small objects per connection). Leaked on purpose.
nb::object kept_for_process(nb::object hook) {
    static nb::list *kept = new nb::list();
    kept->append(hook);
    return hook;
}

} // namespace

void install_host_hooks(nb::handle self) {
    output_channel_of(self);
    nb::object send_stream_message = make_send_stream_message(self);
    nb::object hook_class = module_global("KernelStreamHook");
    nb::object sys = nb::module_::import_("sys");
    // Each hook keeps the stream it replaces as its console pass-through.
    sys.attr("stdout") = kept_for_process(hook_class("stdout", send_stream_message));
    sys.attr("stderr") = kept_for_process(hook_class("stderr", send_stream_message));
    state().quorvel.attr("messaging").attr("send_request_sync") = make_send_request_sync(self);
}

void remove_host_hooks(nb::handle self) {
    nb::object sys = nb::module_::import_("sys");
    sys.attr("stdout") = self.attr("_original_stdout");
    sys.attr("stderr") = self.attr("_original_stderr");
}

} // namespace kernel
