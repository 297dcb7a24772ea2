// IdeLink: the IDE's one connection to the hub, and the methods its two threads run.
//
// The instance keeps its fields in its __dict__, as the Python class it presents itself as,
// except the two flags that the GUI thread and the connection thread both read and write
// (`_running`, `_connected`): those are atomics behind properties. `ws` and `_loop` are
// published through the __dict__, whose single stores and loads are atomic under the
// interpreter. Methods take the Python instance and call each other through its attributes, so
// a replaced `send_message` sees every message. Every function here runs with the GIL held.
#pragma once

#include "core/task.hpp"

#include <atomic>
#include <nanobind/nanobind.h>
#include <string>

namespace idelink {
namespace nb = nanobind;

struct IdeLink {
    std::atomic<bool> m_running{false};   // started, and should keep (re)connecting
    std::atomic<bool> m_connected{false}; // a connection is established and receiving
    // Why the hub refused the last handshake, as last shown; connection thread only. A refusal
    // is shown when it differs from this, not at every attempt.
    std::string m_last_refusal;
};

IdeLink &link_of(nb::handle self);

void bind_ide_link(nb::module_ &module);

// connection_thread.cpp: the thread and its event loop (GUI thread: start, stop).
void start(nb::handle self);
void stop(nb::handle self);
void run_event_loop(nb::handle self);

// connection_thread.cpp: connect, receive, back off (connection thread).
core::Task<> connect_and_listen(nb::object self);
core::Task<> reconnect(nb::object self);

// status_notifications.cpp: what the window shows of the connection's state.
void on_connected(nb::handle self);
void on_disconnected(nb::handle self);
void on_reconnecting(nb::handle self, nb::handle attempt, nb::handle delay);

// sending.cpp: fire-and-forget sends (any thread) and their coroutines (connection thread).
void send_message(nb::handle self, nb::handle message);
void send_text_message(nb::handle self, nb::handle message);
core::Task<> async_send(nb::object self, nb::object message);
core::Task<> async_send_text(nb::object self, nb::object message);

// correlation.cpp: requests that wait for their response.
nb::object send_and_wait_response(nb::handle self, nb::handle message, nb::handle callback,
                                  nb::handle response_type, double timeout);
bool try_handle_response(nb::handle self, nb::handle message);
core::Task<> check_timeout(nb::object self, nb::object request_id, double timeout);

// message_table.cpp: parse, correlate, dispatch by type (connection thread).
core::Task<> handle_message(nb::object self, nb::object raw_message);
void setup_message_handlers(nb::handle self);

} // namespace idelink

// Reconnection back-off arithmetic, kept apart from the connection loop so it can be checked
// with plain values.
namespace idelink {

// The wait before reconnection round `attempt` (1 for the first round after a loss):
// base × 2^(attempt − 1), capped at `cap`. Any attempt count is safe: where the doubling would
// overflow a double the result is the cap.
double backoff_delay(double base, double cap, long long attempt);

} // namespace idelink

// Handing a coroutine to the connection thread's event loop from any thread.
namespace idelink {
namespace nb = nanobind;

// asyncio.run_coroutine_threadsafe(coroutine, loop), without waiting for the result. Returns
// false when the loop refused it (it was closed meanwhile by the connection thread's end); the
// coroutine is then closed so that it is not reported as never awaited.
bool submit_to_loop(nb::handle loop, nb::object coroutine, nb::object *refusal = nullptr);

} // namespace idelink
