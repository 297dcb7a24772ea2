// WorkQueue: the work on its way to the worker pool, and the outcomes on their way back.
//
// Handing each piece of work to the pool on its own costs a pool future with its condition
// lock, a wake-up of an idle worker and, back on the loop, a wake-up per outcome: under a burst
// of formula calls this was a third of what a call cost the kernel. Here the work waits in one
// queue instead, and up to `workers` runners on the pool's threads take it in arrival order,
// each going on to the next piece until none is left; outcomes gather in a second queue that
// the loop settles in one callback, woken once however many arrived meanwhile.
//
// What user code sees is unchanged: it runs on the pool's threads, at most `workers` pieces at
// once, started in the order submitted, and work that waits when the kernel disconnects never
// starts.
//
// Both queues are touched only with the GIL held and never across a Python call, so they need
// no lock of their own.
#pragma once

#include "core/task.hpp"

#include <deque>

namespace kernel {
namespace nb = nanobind;

class WorkQueue {
public:
    WorkQueue(nb::object pool, nb::object loop, int workers);

    // On the loop: queues `body` (a callable) and returns the future that its outcome settles:
    // its return value, or the exception it raised. Cancelling the future before a runner took
    // the work drops it. RuntimeError after close().
    static nb::object submit(nb::handle self, nb::object body);
    // On the loop, at disconnect: work that has not started is dropped, and later submits raise.
    static void close(nb::handle self);

    static void bind(nb::module_ &module);

private:
    struct Job {
        nb::object body;
        nb::object done; // the loop's future for the outcome
    };
    struct Outcome {
        nb::object done;
        nb::object value;
        nb::object error; // null when the body returned
    };

    // On a pool thread: runs queued work until none is left.
    static void run(nb::handle self);
    // On the loop: settles the futures of every outcome that arrived.
    static void settle(nb::handle self);
    static int traverse(PyObject *self, visitproc visit, void *arg);
    static int clear(PyObject *self);

    nb::object m_pool;
    nb::object m_loop;
    int m_workers;
    int m_runners = 0;         // runners started and not yet finished
    bool m_signalled = false;  // a settle callback is on its way to the loop
    bool m_closed = false;
    std::deque<Job> m_jobs;
    std::deque<Outcome> m_outcomes;
};

// The kernel's work queue, feeding its `_thread_pool`; created for the running loop on first use.
nb::object work_queue_of(nb::handle kernel);

} // namespace kernel
