// One pip child of an installation: its start, the readers of its two pipes, the queue they fill
// in arrival order, and its exit.
#pragma once

#include "core/task.hpp"

namespace manager {
namespace nb = nanobind;

// Lives in the installer's frame; its coroutines are awaited there, one at a time.
class PipProcess {
public:
    // Starts `command` (the program first, never through a shell) with standard output and
    // standard error on pipes and `env` as its environment (None: the parent's), then one reader
    // task per pipe, standard output first.
    core::Task<> start(nb::object command, nb::object env);

    // The next (output type, line) pair in arrival order, or None once both pipes have ended and
    // every line has been handed out.
    core::Task<nb::object> next_output();

    // Awaits both readers together, then the child's exit; its return code.
    core::Task<nb::object> wait();

private:
    bool readers_finished() const;

    nb::object m_process;
    nb::object m_queue; // unbounded: a slow consumer never blocks pip
    nb::object m_stdout_task;
    nb::object m_stderr_task;
    int m_ended_pipes = 0; // end-of-stream marks taken from the queue
};

} // namespace manager
