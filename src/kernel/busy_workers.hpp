// The worker threads that run user code, and what becomes of them when the kernel disconnects
// while they still do: user code cannot be stopped from outside, so they are left behind as
// daemon threads and the process exits without waiting for them.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Marks the calling thread as running user code for the scope. GIL held.
class BusyWorker {
public:
    BusyWorker();
    BusyWorker(const BusyWorker &) = delete;
    ~BusyWorker();

private:
    unsigned long m_thread;
};

// After the pool was shut down (on the loop, GIL held): the pool's threads still running user
// code are detached from the interpreter's exit, which would otherwise join them for as long as
// the code runs; they become daemon threads, and a warning names them.
void abandon_busy_workers(nb::handle pool);

} // namespace kernel
