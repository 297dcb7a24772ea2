// The connection thread: its start and stop, the thread body that owns the client's event loop,
// the loop that connects, receives frames in arrival order and backs off between attempts, and
// the submission of coroutines to that loop from any thread.

#include "core/async_iterator.hpp"
#include "core/errors.hpp"
#include "core/hub_connection.hpp"
#include "core/text.hpp"
#include "idelink/ide_link.hpp"
#include "idelink/idelink_module.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

// The connection thread: start, stop, and the thread body that owns the client's event loop.
//
// start() and stop() run on the GUI thread; run_event_loop() is the body of the daemon thread
// they start and join. The thread's loop is published in `_loop` for the sends of other threads,
// and cleared once it is closed, so that nothing is ever submitted to a closed loop knowingly.
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

// The connection loop: connect, receive frames in arrival order, and back off between attempts.
// Connection thread only; the status notices it raises are posted to the GUI thread.
namespace idelink {
namespace {

// How one round of the connection loop ended.
enum class Ending {
    StreamEnded, // the server closed normally (1000, 1001): the receive loop just finished
    Closed,      // the connection closed with an error status or dropped
    Replaced,    // the hub closed it because another IDE connected
    Failed,      // refused, handshake or TLS failure, or an error escaping the receive step
};

// The reason of a close with REPLACED_CLOSE_CODE received from the hub, if `closed` is one.
std::optional<nb::object> replaced_reason(nb::handle closed) {
    nb::object received = nb::getattr(closed, "rcvd", nb::none());
    if (received.is_none() || !received.attr("code").equal(nb::int_(REPLACED_CLOSE_CODE)))
        return std::nullopt;
    return received.attr("reason");
}

// "HTTP 403: <the hub's reason>" for a refused handshake; empty for any other failure, and for
// a refusal whose response cannot be read (the failure is logged all the same).
std::string refusal_text(nb::python_error &e) noexcept {
    try {
        if (!e.matches(state().invalid_status))
            return {};
        nb::object response = e.value().attr("response");
        nb::str text = core::text("HTTP ", response.attr("status_code"));
        nb::object body = nb::getattr(response, "body", nb::none());
        if (!body.is_none()) {
            nb::object reason = body.attr("decode")("utf-8", "replace").attr("strip")();
            nb::object cut = reason[nb::slice(nb::none(), nb::int_(MAX_REFUSAL_TEXT), nb::none())];
            if (nb::len(cut) > 0)
                text = core::text(text, ": ", cut);
        }
        return core::to_std_string(text);
    } catch (nb::python_error &) {
        return {};
    }
}

// Drops a connection without a closing handshake (the client is being torn down).
void abort_connection(nb::handle connection) noexcept {
    if (!connection.is_valid())
        return;
    try {
        connection.attr("transport").attr("abort")();
    } catch (nb::python_error &) {
        // The transport is already gone: there is nothing left to abort.
    }
}

// Closes a connection that is still open after a failure in this round, as leaving an
// `async with` block would: the peer gets a closing handshake within the close time-out.
core::Task<> close_after_failure(nb::object connection) {
    try {
        co_await connection.attr("close")();
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
    }
}

// Marks the connection lost. The flag is cleared before the notice is posted: sends made from now
// on are refused with the "not connected" warning instead of failing on a dead socket.
void mark_disconnected(nb::handle self) {
    link_of(self).m_connected = false;
    self.attr("_on_disconnected")();
}

} // namespace

core::Task<> connect_and_listen(nb::object self) {
    ModuleState &st = state();
    IdeLink &link = link_of(self);
    nb::object context = core::tls_context();
    while (link.m_running) {
        nb::object connection; // this round's connection, once open
        Ending ending = Ending::StreamEnded;
        std::optional<nb::object> replaced;
        try {
            connection = co_await st.websocket_connect(
                self.attr("url"), nb::arg("ping_interval") = PING_INTERVAL,
                nb::arg("ping_timeout") = PING_TIMEOUT, nb::arg("close_timeout") = CLOSE_TIMEOUT,
                nb::arg("ssl") = context,
                nb::arg("additional_headers") = core::token_headers(self.attr("token")));
            link.m_last_refusal.clear();
            self.attr("ws") = connection;
            self.attr("_reconnect_attempts") = 0;
            self.attr("_reconnect_delay") = INITIAL_RECONNECT_DELAY;
            log().info("[IdeLink] Connected to Business Layer");
            self.attr("_on_connected")();
            link.m_connected = true;

            core::AsyncIterator frames(connection);
            nb::handle handle_message = INTERNED("_handle_message");
            while (std::optional<nb::object> frame = co_await frames.next())
                co_await self.attr(handle_message)(*frame);
        } catch (nb::python_error &e) {
            if (!core::is_ordinary(e)) {
                // Cancelled by the thread's tear-down: the connection ends with the loop.
                abort_connection(connection);
                throw;
            }
            if (e.matches(st.connection_closed)) {
                ending = Ending::Closed;
                log().warning("[IdeLink] Connection closed: ", core::exception_of(e));
                replaced = replaced_reason(e.value());
            } else {
                ending = Ending::Failed;
                log().error("[IdeLink] Connection error: ", core::exception_of(e));
                std::string refusal = refusal_text(e);
                if (!refusal.empty() && refusal != link.m_last_refusal) {
                    link.m_last_refusal = refusal;
                    self.attr("_on_refused_qt")(nb::str(refusal.c_str(), refusal.size()));
                }
            }
            if (replaced) {
                // Another IDE holds the hub now: coming back would take its place in turn.
                ending = Ending::Replaced;
                link.m_running = false;
                link.m_connected = false;
                self.attr("_on_replaced_qt")(*replaced);
            } else {
                mark_disconnected(self);
            }
        }
        if (ending == Ending::StreamEnded) {
            // A normal close by the server is a lost connection like any other for the user:
            // the window says so, and sends during the back-off are refused, not failed.
            log().info("[IdeLink] Connection closed by server (code ",
                       connection.attr("close_code"), ")");
            mark_disconnected(self);
        } else if (ending == Ending::Failed && connection.is_valid()) {
            co_await close_after_failure(connection);
        }
        if (link.m_running)
            co_await self.attr("_reconnect")();
    }
}

core::Task<> reconnect(nb::object self) {
    long long attempts = nb::cast<long long>(self.attr("_reconnect_attempts")) + 1;
    self.attr("_reconnect_attempts") = attempts;
    double delay = backoff_delay(nb::cast<double>(self.attr("_reconnect_delay")),
                                 nb::cast<double>(self.attr("_max_reconnect_delay")), attempts);
    log().info("[IdeLink] Reconnecting in ", core::one_decimal(delay), "s (attempt ", attempts,
               ")...");
    self.attr("_on_reconnecting")(attempts, delay);
    // On the loop: stop() ends the wait at once by stopping the loop.
    co_await state().asyncio.attr("sleep")(delay);
}

} // namespace idelink

// Reconnection back-off arithmetic.
namespace idelink {

double backoff_delay(double base, double cap, long long attempt) {
    // ldexp saturates to infinity (or to zero for a zero base) instead of overflowing, as the
    // integer power 2 ** (attempt - 1) of a naive version would after about a thousand rounds.
    long long exponent = std::clamp(attempt - 1, static_cast<long long>(INT_MIN) + 1,
                                    static_cast<long long>(INT_MAX));
    double delay = std::ldexp(base, static_cast<int>(exponent));
    return std::min(cap, delay);
}

} // namespace idelink

// Submission of coroutines to the connection thread's loop.
namespace idelink {

bool submit_to_loop(nb::handle loop, nb::object coroutine, nb::object *refusal) {
    try {
        state().asyncio.attr("run_coroutine_threadsafe")(coroutine, loop);
        return true;
    } catch (nb::python_error &e) {
        // A closed loop raises RuntimeError; anything else is not ours to hide.
        if (!e.matches(PyExc_RuntimeError))
            throw;
        coroutine.attr("close")();
        if (refusal)
            *refusal = core::exception_of(e);
        return false;
    }
}

} // namespace idelink
