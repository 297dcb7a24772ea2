// Module-level constants and objects of the package manager, shared by its source files.
#pragma once

#include "core/interned.hpp"
#include "core/logger.hpp"

namespace manager {
namespace nb = nanobind;

// The hidden cache directory, relative to the manager's base directory.
inline constexpr const char *DEFAULT_CACHE_DIR = ".quorvel_packages";
// How long the installer waits for a line before it checks again whether pip's pipes ended.
inline constexpr double OUTPUT_POLL_INTERVAL = 0.1;
// The longest run of output bytes read as one line; a longer line arrives in pieces of this size.
// Without a bound, one endless line would grow the reader's buffer without limit.
inline constexpr Py_ssize_t MAX_OUTPUT_LINE_BYTES = 1024 * 1024;

// Objects the module imports once at load. Leaked on purpose: they must outlive the interpreter's
// own tear-down, where destructors may no longer touch Python.
struct ModuleState {
    nb::handle module; // the manager module itself
    core::Logger log;
    nb::object asyncio;         // the asyncio module
    nb::object asyncio_timeout; // asyncio.TimeoutError
    nb::object incomplete_read; // asyncio.IncompleteReadError
    nb::object limit_overrun;   // asyncio.LimitOverrunError
    nb::object os;              // the os module
    nb::object os_path;         // os.path
    nb::object end_of_stream;   // the mark a pipe reader queues when its pipe has ended
};

ModuleState &state();
inline const core::Logger &log() { return state().log; }

// A global of the manager module, looked up at each use so that tests and the hub can replace it
// (as they could replace a global of a Python module).
nb::object module_global(const char *name);

} // namespace manager
