// The "update_module" and "delete_module" branches: workbook module sources in memory.
#include "core/interned.hpp"
#include "kernel/handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"

namespace kernel {
namespace {

nb::dict module_reply(const char *type, nb::handle module_name) {
    nb::dict reply;
    reply[INTERNED("type")] = type;
    reply[INTERNED("module_name")] = module_name;
    return reply;
}

// The module name of the message, or null when it is missing or empty ("" counts as missing).
nb::object module_name_of(nb::handle message) {
    nb::object name = field(message, INTERNED("module_name"), INTERNED(""));
    int truth = PyObject_IsTrue(name.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth ? name : nb::object();
}

} // namespace

core::Task<> handle_update_module(nb::object self, nb::object message) {
    nb::object module_name = module_name_of(message);
    if (!module_name.is_valid()) {
        log().warning("[Kernel] Received update_module without module_name");
        co_await self.attr(INTERNED("send_message"))(
            error_reply("update_module requires module_name"));
        co_return;
    }
    nb::object code = field(message, INTERNED("code"), INTERNED(""));
    module_global("in_memory_loader").attr("update_module")(module_name, code);
    log().info("[Kernel] Updated virtual module: ", module_name);
    co_await self.attr(INTERNED("send_message"))(module_reply("module_updated", module_name));
}

core::Task<> handle_delete_module(nb::object self, nb::object message) {
    nb::object module_name = module_name_of(message);
    if (!module_name.is_valid()) {
        log().warning("[Kernel] Received delete_module without module_name");
        co_await self.attr(INTERNED("send_message"))(
            error_reply("delete_module requires module_name"));
        co_return;
    }
    module_global("in_memory_loader").attr("delete_module")(module_name);
    nb::object bridge = self.attr("_lsp_bridge");
    if (!bridge.is_none())
        bridge.attr("delete_module")(module_name);
    log().info("[Kernel] Deleted virtual module: ", module_name);
    co_await self.attr(INTERNED("send_message"))(module_reply("module_deleted", module_name));
}

} // namespace kernel
