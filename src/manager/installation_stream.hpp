// The part every installation shares once its command line is known: pip run with its output
// streamed, then the outcome as the last items.
#pragma once

#include "core/async_generator.hpp"

#include <functional>

namespace manager {
namespace nb = nanobind;

struct Installation {
    nb::object command;         // the program first
    nb::object env;             // the child's environment; None: the parent's
    nb::object package_spec;    // for the messages
    nb::object install_dir;     // the "path" item, and the permission message
    nb::object success_message; // the "success" item
    // Runs on exit code 0 before "success" goes out (the cache records the installation here);
    // may be empty. What it raises ends the installation like any other failure.
    std::function<void()> on_success;
};

// Yields pip's lines in arrival order, then ("success", ...) and ("path", install_dir), or one
// ("error", ...): for a non-zero exit code, a missing program, a refused permission, or any
// other ordinary exception (logged at error level). Cancellation and GeneratorExit pass through.
core::AsyncGenerator stream_installation(Installation installation);

// ("error", message).
nb::object error_item(nb::handle message);

} // namespace manager
