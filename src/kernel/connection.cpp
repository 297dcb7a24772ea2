// The connection's life: connect, the read loop, run, and tear-down in a fixed order.
#include "core/async_iterator.hpp"
#include "core/errors.hpp"
#include "core/hub_connection.hpp"
#include "core/interned.hpp"
#include "core/text.hpp"
#include "kernel/busy_workers.hpp"
#include "kernel/frame_gatherer.hpp"
#include "kernel/handlers.hpp"
#include "kernel/host_hooks.hpp"
#include "kernel/inbound_frame.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/language_thread.hpp"
#include "kernel/message_fields.hpp"
#include "kernel/output_channel.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/work_queue.hpp"

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

// Awaits `awaitable` for at most `timeout` seconds; false when the time ran out (it is cancelled).
core::Task<bool> within(nb::object awaitable, double timeout) {
    ModuleState &st = state();
    std::optional<nb::python_error> late;
    try {
        co_await st.asyncio.attr("wait_for")(awaitable, timeout);
    } catch (nb::python_error &e) {
        if (!e.matches(st.asyncio.attr("TimeoutError")))
            throw;
        late.emplace(std::move(e));
    }
    co_return !late;
}

core::Task<> flush_output(nb::object channel, nb::object gatherer) {
    if (!channel.is_none())
        co_await OutputChannel::flush(channel);
    if (!gatherer.is_none())
        co_await FrameGatherer::flush(gatherer);
}

// Sends what user code wrote before the end, unless the hub no longer takes it; then closes the
// channel, releasing writers that wait for room.
core::Task<> close_output(nb::object channel, nb::object gatherer) {
    nb::object flushing = flush_output(channel, gatherer).into_python("flush_output");
    double limit = DISCONNECT_FLUSH_TIMEOUT;
    if (!co_await within(flushing, limit))
        log().warning("[Kernel] Output not sent within ", core::one_decimal(limit),
                      " s of disconnecting was dropped");
    if (!channel.is_none())
        OutputChannel::close(channel);
}

// The closing handshake, cut short when the hub does not answer it.
core::Task<> close_connection(nb::object websocket) {
    if (co_await within(websocket.attr("close")(), DISCONNECT_CLOSE_TIMEOUT))
        co_return;
    log().warning("[Kernel] The hub did not complete the closing handshake within ",
                  core::one_decimal(DISCONNECT_CLOSE_TIMEOUT), " s: connection aborted");
    nb::object transport = nb::getattr(websocket, "transport", nb::none());
    if (!transport.is_none())
        transport.attr("abort")();
}

} // namespace

core::Task<> connect(nb::object self) {
    ModuleState &st = state();
    // The workbook's name is a file name: percent-encoded, so that spaces and other
    // characters a URL path cannot hold reach the hub (plain names are unchanged).
    nb::object quoted = nb::module_::import_("urllib.parse")
                            .attr("quote")(self.attr("workbook_id"), nb::arg("safe") = "");
    nb::object url = self.attr("server_url") + nb::str("/ws/kernel/") + quoted;
    nb::object context = core::tls_context();
    // The hub's token: connection_args["auth_token"] when given, else QUORVEL_HUB_TOKEN, which
    // the hub sets for the kernels it launches. Without either the handshake carries none.
    nb::object headers =
        core::token_headers(field(self.attr("connection_args"), INTERNED("auth_token")));
    // No per-message compression: the hub is on this machine, and deflating the frames took a
    // sixth of the listener loop's time in a burst of formula calls.
    nb::object websocket = co_await st.websocket_connect(
        url, nb::arg("ssl") = context, nb::arg("max_size") = MAX_FRAME_BYTES,
        nb::arg("compression") = nb::none(), nb::arg("additional_headers") = headers);
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
}

core::Task<> listen(nb::object self) {
    core::AsyncIterator frames(self.attr("websocket"));
    try {
        // read_frame answers every frame it cannot take: only the connection's end stops this.
        while (std::optional<nb::object> frame = co_await frames.next())
            co_await read_frame(self, *frame);
    } catch (nb::python_error &e) {
        if (!e.matches(state().connection_closed))
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
    co_await close_output(self.attr("_output_channel"), frame_gatherer_of(self));

    nb::object quorvel = state().quorvel;
    quorvel.attr("messaging").attr("reset")();
    quorvel.attr("_kernel_instance") = nb::none();

    remove_host_hooks(self);

    nb::object websocket = self.attr("websocket");
    if (!websocket.is_none())
        co_await close_connection(websocket);
    // Work not started yet is dropped; work still running is left behind, so that the process
    // can end now rather than when (if ever) user code returns.
    nb::object queue = self.attr("_work_queue");
    if (!queue.is_none())
        WorkQueue::close(queue);
    nb::object pool = self.attr("_thread_pool");
    pool.attr("shutdown")(nb::arg("wait") = false, nb::arg("cancel_futures") = true);
    abandon_busy_workers(pool);
    language_thread_of(self).stop();
}

} // namespace kernel
