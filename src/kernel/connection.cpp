// The connection's life: connect, the read loop, run, and tear-down in a fixed order.
#include "core/async_iterator.hpp"
#include "core/errors.hpp"
#include "core/interned.hpp"
#include "core/secured_mode.hpp"
#include "kernel/frame_gatherer.hpp"
#include "kernel/handlers.hpp"
#include "kernel/host_hooks.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/language_thread.hpp"
#include "kernel/message_fields.hpp"
#include "kernel/output_channel.hpp"
#include "kernel/python_kernel.hpp"

#include <optional>

namespace kernel {
namespace {

// On Windows connections: announce the COM event definitions and start the COM components.
core::Task<> start_win32_components(nb::object self) {
    try {
        nb::object win32_tools_func = state().quorvel.attr("_get_win32");
        nb::dict definitions;
        definitions["type"] = "win32_event_definitions";
        definitions["definitions"] = module_global("get_win32_events_dictionary")();
        co_await self.attr("send_message")(definitions);
        self.attr("_win32_watcher") = module_global("Win32ComWatcher")(self);
        self.attr("_win32_watcher").attr("start")(win32_tools_func);
        self.attr("_com_event_registrar") = module_global("Win32ComEventRegistrar")(self);
        self.attr("_com_event_registrar").attr("start")(win32_tools_func);
        log().info("[Kernel] Win32 COM watcher started");
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        log().warning("[Kernel] Could not start Win32 COM watcher: ", core::exception_of(e));
    }
}

// Stops a COM component held in `field`, if any, and clears the field.
void stop_component(nb::handle self, const char *field) {
    nb::object component = self.attr(field);
    if (component.is_none())
        return;
    component.attr("stop")();
    self.attr(field) = nb::none();
}

} // namespace

core::Task<> connect(nb::object self) {
    ModuleState &st = state();
    nb::object url =
        self.attr("server_url") + nb::str("/ws/kernel/") + nb::str(self.attr("workbook_id"));
    nb::object context = core::tls_context();
    // No per-message compression: the hub is on this machine, and deflating the frames took a
    // sixth of the listener loop's time in a burst of formula calls.
    nb::object websocket = co_await st.websocket_connect(url, nb::arg("ssl") = context,
                                                         nb::arg("max_size") = MAX_FRAME_BYTES,
                                                         nb::arg("compression") = nb::none());
    self.attr("websocket") = websocket;
    self.attr("running") = true;

    nb::object loop = st.asyncio.attr("get_running_loop")();
    self.attr("_loop") = loop;
    self.attr("_socket_lock") = st.asyncio.attr("Lock")();
    install_frame_gatherer(self);

    nb::object messaging = st.quorvel.attr("messaging");
    messaging.attr("loop") = loop;
    messaging.attr("loop_thread") = nb::module_::import_("threading").attr("current_thread")();
    st.quorvel.attr("connection_args") = self.attr("connection_args");
    st.quorvel.attr("_kernel_instance") = self;

    nb::object batcher = module_global("MessageBatcher")(self);
    self.attr("_batcher") = batcher;
    co_await batcher.attr("start")();

    nb::object platform = field(self.attr("connection_args"), nb::str("platform"));
    if (platform.equal(nb::str("win32")))
        co_await start_win32_components(self);

    install_host_hooks(self);
    language_thread_of(self).start_warm_up(self.attr("_lsp_bridge"));
}

core::Task<> listen(nb::object self) {
    ModuleState &st = state();
    core::AsyncIterator frames(self.attr("websocket"));
    try {
        while (std::optional<nb::object> frame = co_await frames.next()) {
            Py_ssize_t length = nb::len(*frame);
            if (length > MAX_MESSAGE_SIZE) {
                log().warning("Message too large: ", length, " bytes");
                co_await self.attr(INTERNED("send_message"))(error_reply("Message too large"));
                continue;
            }
            nb::object message;
            try {
                message = st.json_loads(*frame);
            } catch (nb::python_error &e) {
                if (!e.matches(st.json_decode_error))
                    throw;
            }
            if (!message.is_valid()) {
                co_await self.attr(INTERNED("send_message"))(error_reply("Invalid JSON received"));
                continue;
            }
            co_await self.attr(INTERNED("handle_message"))(message);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(st.connection_closed))
            throw;
        // A frame beyond MAX_FRAME_BYTES ends up here too: the library closes with 1009.
        log().info("[Kernel] Connection closed: ", core::exception_of(e));
        self.attr("running") = false;
    }
}

core::Task<> run(nb::object self) {
    std::optional<nb::python_error> escaping;
    try {
        co_await self.attr("connect")();
        log().info("Kernel connected for workbook: ", self.attr("workbook_id"));
        co_await self.attr("listen")();
    } catch (nb::python_error &e) {
        // Cancellation and interpreter exits are not kernel errors: they leave after tear-down.
        if (core::is_ordinary(e))
            log().error("Kernel error: ", core::exception_of(e));
        else
            escaping.emplace(std::move(e));
    }
    co_await self.attr("disconnect")();
    log().info("Kernel disconnected for workbook: ", self.attr("workbook_id"));
    if (escaping)
        throw std::move(*escaping);
}

core::Task<> disconnect(nb::object self) {
    self.attr("running") = false;
    end_debug_session(self);
    stop_component(self, "_win32_watcher");
    stop_component(self, "_com_event_registrar");

    nb::object batcher = self.attr("_batcher");
    if (!batcher.is_none())
        co_await batcher.attr("stop")();
    // What user code wrote before the end still goes out.
    nb::object channel = self.attr("_output_channel");
    if (!channel.is_none())
        co_await OutputChannel::flush(channel);
    nb::object gatherer = frame_gatherer_of(self);
    if (!gatherer.is_none())
        co_await FrameGatherer::flush(gatherer);

    nb::object quorvel = state().quorvel;
    quorvel.attr("messaging").attr("reset")();
    quorvel.attr("_kernel_instance") = nb::none();

    remove_host_hooks(self);

    nb::object websocket = self.attr("websocket");
    if (!websocket.is_none())
        co_await websocket.attr("close")();
    self.attr("_thread_pool").attr("shutdown")(nb::arg("wait") = false);
    language_thread_of(self).stop();
}

} // namespace kernel
