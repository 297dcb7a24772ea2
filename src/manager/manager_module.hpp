// Module-level constants and objects of the package manager, shared by its source files.
#pragma once

#include "core/module_state.hpp"
#include "core/objects.hpp"

namespace manager {
namespace nb = nanobind;

// The hidden cache directory, relative to the manager's base directory.
inline constexpr const char *DEFAULT_CACHE_DIR = ".quorvel_packages";
// How long the installer waits for a line before it checks again whether pip's pipes ended.
inline constexpr double OUTPUT_POLL_INTERVAL = 0.1;
// The longest run of output bytes read as one line; a longer line arrives in pieces of this size.
// Without a bound, one endless line would grow the reader's buffer without limit.
inline constexpr Py_ssize_t MAX_OUTPUT_LINE_BYTES = 1024 * 1024;

// What the module imports once at load (see core::ModuleStateBase).
struct ModuleState : core::ModuleStateBase {
    nb::object asyncio;         // the asyncio module
    nb::object asyncio_timeout; // asyncio.TimeoutError
    nb::object incomplete_read; // asyncio.IncompleteReadError
    nb::object limit_overrun;   // asyncio.LimitOverrunError
    nb::object os;              // the os module
    nb::object os_path;         // os.path
    nb::object end_of_stream;   // the mark a pipe reader queues when its pipe has ended
};

inline ModuleState &state() { return core::module_state<ModuleState>(); }
inline const core::Logger &log() { return state().log; }
inline nb::object module_global(const char *name) { return core::module_global(state(), name); }

} // namespace manager
