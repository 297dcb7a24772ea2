// The connection thread: start, stop, and the thread body that owns the client's event loop.
//
// start() and stop() run on the GUI thread; run_event_loop() is the body of the daemon thread
// they start and join. The thread's loop is published in `_loop` for the sends of other threads,
// and cleared once it is closed, so that nothing is ever submitted to a closed loop knowingly.
#include "core/errors.hpp"
#include "idelink/ide_link.hpp"
#include "idelink/idelink_module.hpp"

#include <optional>

namespace idelink {
namespace {

// Cancels what is still scheduled on `loop` after its main coroutine ended or the loop was
// stopped (sends, time-outs, the library's keepalive), lets the cancellations run, then closes
// the loop. Cancelling the connection loop aborts its open connection, without a closing
// handshake. Connection thread.
void close_loop(nb::handle self, nb::object loop) {
    ModuleState &st = state();
    try {
        nb::object tasks = st.asyncio.attr("all_tasks")(loop);
        if (nb::len(tasks) > 0) {
            for (nb::handle task : tasks)
                task.attr("cancel")();
            loop.attr("run_until_complete")(
                st.asyncio.attr("wait")(tasks, nb::arg("timeout") = TEARDOWN_TIMEOUT));
        }
        loop.attr("run_until_complete")(loop.attr("shutdown_asyncgens")());
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        log().error("[IdeLink] Event loop error: ", core::exception_of(e));
    }
    loop.attr("close")();
    st.asyncio.attr("set_event_loop")(nb::none());
    // A later start() may already have published its own loop.
    if (self.attr("_loop").is(loop))
        self.attr("_loop") = nb::none();
}

} // namespace

void start(nb::handle self) {
    // Test-and-set in one step: two racing starts still make one thread.
    if (link_of(self).m_running.exchange(true))
        return;
    nb::object thread = state().threading.attr("Thread")(
        nb::arg("target") = self.attr("_run_event_loop"), nb::arg("name") = "IdeLink connection",
        nb::arg("daemon") = true);
    self.attr("_thread") = thread;
    thread.attr("start")();
    log().info("[IdeLink] Started, connecting to ", self.attr("url"));
}

void stop(nb::handle self) {
    link_of(self).m_running = false;
    nb::object loop = self.attr("_loop");
    if (!loop.is_none()) {
        try {
            loop.attr("call_soon_threadsafe")(loop.attr("stop"));
        } catch (nb::python_error &e) {
            // The loop closed meanwhile: the thread has ended by itself.
            if (!e.matches(PyExc_RuntimeError))
                throw;
        }
    }
    nb::object thread = self.attr("_thread");
    if (!thread.is_none() && !thread.is(state().threading.attr("current_thread")()))
        thread.attr("join")(nb::arg("timeout") = STOP_JOIN_TIMEOUT);
    log().info("[IdeLink] Stopped");
}

void run_event_loop(nb::handle self) {
    ModuleState &st = state();
    nb::object loop = st.asyncio.attr("new_event_loop")();
    self.attr("_loop") = loop;
    st.asyncio.attr("set_event_loop")(loop);
    std::optional<nb::python_error> escaping;
    try {
        // stop() ends this with "Event loop stopped before Future completed."
        loop.attr("run_until_complete")(self.attr("_connect_and_listen")());
    } catch (nb::python_error &e) {
        if (core::is_ordinary(e))
            log().error("[IdeLink] Event loop error: ", core::exception_of(e));
        else
            escaping.emplace(std::move(e));
    }
    // The connection ends with the loop; sends from now on are refused, not attempted.
    link_of(self).m_connected = false;
    close_loop(self, loop);
    if (escaping)
        throw std::move(*escaping);
}

} // namespace idelink
