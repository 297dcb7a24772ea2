// Module-level constants and objects of the IDE client, shared by its source files, and the
// lenient reading of incoming message fields.
#pragma once

#include "core/module_state.hpp"
#include "core/objects.hpp"

#include <cstddef>

// Module-level constants and objects of the IDE client, shared by its source files.
namespace idelink {
namespace nb = nanobind;

inline constexpr const char *ENDPOINT_PATH = "/ws/ide/main_ide";
// WebSocket keepalive and closing, in seconds.
inline constexpr double PING_INTERVAL = 20.0;
inline constexpr double PING_TIMEOUT = 60.0;
inline constexpr double CLOSE_TIMEOUT = 10.0;
// Longest wait of stop() for the connection thread, in seconds.
inline constexpr double STOP_JOIN_TIMEOUT = 5.0;
// Longest wait of the connection thread, at its end, for its cancelled tasks, in seconds.
inline constexpr double TEARDOWN_TIMEOUT = 1.0;
inline constexpr double DEFAULT_REQUEST_TIMEOUT = 30.0;
inline constexpr double INITIAL_RECONNECT_DELAY = 1.0;
inline constexpr double MAX_RECONNECT_DELAY = 30.0;
// The close code with which the hub tells an IDE that another IDE took its place: the client
// does not reconnect by itself, or the two would take the place from each other in turn.
inline constexpr int REPLACED_CLOSE_CODE = 4001;
// Most characters of the hub's refusal text that the window shows.
inline constexpr size_t MAX_REFUSAL_TEXT = 300;

// What the module imports once at load (see core::ModuleStateBase).
struct ModuleState : core::ModuleStateBase {
    nb::object asyncio;
    nb::object threading;
    nb::object json_loads;        // json.loads
    nb::object json_dumps;        // json.dumps
    nb::object json_decode_error; // json.JSONDecodeError
    nb::object connection_closed; // websockets.exceptions.ConnectionClosed
    nb::object invalid_status;    // websockets.exceptions.InvalidStatus (handshake refused)
    nb::object websocket_connect; // websockets.asyncio.client.connect
    nb::object uuid4;             // uuid.uuid4
    nb::object output_simple;     // OutputLevel.SIMPLE
    nb::object output_detailed;   // OutputLevel.DETAILED
};

inline ModuleState &state() { return core::module_state<ModuleState>(); }
inline const core::Logger &log() { return state().log; }
inline nb::object module_global(const char *name) { return core::module_global(state(), name); }

} // namespace idelink

// Lenient reading of incoming message fields: a missing field takes its default, as dict.get.
namespace idelink {

using core::field;
using core::truthy;

} // namespace idelink
