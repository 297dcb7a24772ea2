// Module-level constants and objects of the kernel, shared by its source files.
#pragma once

#include "core/module_state.hpp"
#include "core/objects.hpp"

#include <chrono>

namespace kernel {
namespace nb = nanobind;

// Largest accepted inbound frame, in characters.
inline constexpr Py_ssize_t MAX_MESSAGE_SIZE = 1048576;
// Outbound messages longer than this many characters go out as "chunk" messages of this length.
inline constexpr Py_ssize_t CHUNK_SIZE = 65536;
inline constexpr const char *CHUNK_HEADER_TYPE = "chunk";
inline constexpr double DEBUG_MESSAGE_SEND_TIMEOUT = 5.0;
inline constexpr int WORKER_POOL_SIZE = 10;
inline constexpr double FLUSH_INTERVAL = 0.01;

// How long disconnect waits for output still queued to go out, and for the closing handshake,
// in seconds: a hub that stopped reading cannot keep the process from ending.
inline constexpr double DISCONNECT_FLUSH_TIMEOUT = 0.5;
inline constexpr double DISCONNECT_CLOSE_TIMEOUT = 0.5;

// Bounds against hostile input.
// The WebSocket library's frame limit in bytes: a frame up to it reaches the kernel's own
// refusal of what is longer than MAX_MESSAGE_SIZE, and the kernel reads on; beyond it the
// library closes (1009). It bounds what one frame costs the kernel's memory while it is read.
inline constexpr Py_ssize_t MAX_FRAME_BYTES = 64 * 1024 * 1024;
// Largest message reassembled from inbound chunks, in characters.
inline constexpr Py_ssize_t MAX_CHUNKED_MESSAGE_SIZE = 16 * 1024 * 1024;
// Most chunks one inbound message may claim: enough for MAX_CHUNKED_MESSAGE_SIZE.
inline constexpr Py_ssize_t MAX_TOTAL_CHUNKS = MAX_CHUNKED_MESSAGE_SIZE / CHUNK_SIZE;
// Most partial chunked messages kept at once; a new one beyond it drops the oldest.
inline constexpr Py_ssize_t MAX_CHUNK_BUFFERS = 8;

// What the module imports once at load (see core::ModuleStateBase).
struct ModuleState : core::ModuleStateBase {
    nb::object quorvel;           // the host bridge module
    nb::object asyncio;           // the asyncio module
    nb::object json_loads;        // json.loads
    nb::object json_decode_error; // json.JSONDecodeError
    nb::object connection_closed; // websockets.exceptions.ConnectionClosed
    nb::object websocket_connect; // websockets.asyncio.client.connect
    nb::object builtin_compile;   // compile, eval and exec of the builtins
    nb::object builtin_eval;
    nb::object builtin_exec;
};

inline ModuleState &state() { return core::module_state<ModuleState>(); }
inline const core::Logger &log() { return state().log; }
inline nb::object module_global(const char *name) { return core::module_global(state(), name); }

// Milliseconds from `start` until now, for the timing lines of the log.
inline double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace kernel
