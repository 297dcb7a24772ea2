// Feeding the worker pool from one queue, and settling outcomes in batches on the loop.
#include "kernel/work_queue.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "kernel/busy_workers.hpp"
#include "kernel/kernel_module.hpp"

namespace kernel {
namespace {

WorkQueue &queue_of(nb::handle self) { return *nb::inst_ptr<WorkQueue>(self); }

bool is_done(nb::handle future) { return nb::cast<bool>(future.attr(INTERNED("done"))()); }

} // namespace

WorkQueue::WorkQueue(nb::object pool, nb::object loop, int workers)
    : m_pool(std::move(pool)), m_loop(std::move(loop)), m_workers(workers < 1 ? 1 : workers) {}

nb::object WorkQueue::submit(nb::handle self, nb::object body) {
    WorkQueue &queue = queue_of(self);
    if (queue.m_closed)
        core::raise(PyExc_RuntimeError, "cannot run new work after the kernel disconnected");
    nb::object done = queue.m_loop.attr(INTERNED("create_future"))();
    queue.m_jobs.push_back({std::move(body), done});
    // A runner busy with earlier work may be waiting on the workbook for a long time: while
    // fewer runners than workers are going, the new work gets one of its own.
    if (queue.m_runners < queue.m_workers) {
        ++queue.m_runners;
        try {
            queue.m_pool.attr(INTERNED("submit"))(self.attr("_run"));
        } catch (nb::python_error &) {
            --queue.m_runners;
            queue.m_jobs.pop_back();
            throw;
        }
    }
    return done;
}

void WorkQueue::run(nb::handle self) {
    WorkQueue &queue = queue_of(self);
    for (;;) {
        if (queue.m_jobs.empty()) {
            --queue.m_runners;
            return;
        }
        Job job = std::move(queue.m_jobs.front());
        queue.m_jobs.pop_front();
        if (is_done(job.done))
            continue; // cancelled while it waited: it never starts
        Outcome outcome{std::move(job.done), nb::none(), nb::object()};
        try {
            BusyWorker busy; // left behind at disconnect while this runs
            outcome.value = job.body();
        } catch (nb::python_error &e) {
            outcome.error = core::exception_of(e);
        }
        job.body.reset();
        queue.m_outcomes.push_back(std::move(outcome));
        if (queue.m_signalled)
            continue;
        queue.m_signalled = true;
        try {
            queue.m_loop.attr(INTERNED("call_soon_threadsafe"))(self.attr("_settle"));
        } catch (nb::python_error &e) {
            // The loop closed: nobody waits any more. Anything else is a fault of ours; the
            // runner goes on so that the work behind it still runs.
            if (!e.matches(PyExc_RuntimeError))
                e.discard_as_unraisable("WorkQueue.run");
        }
    }
}

void WorkQueue::settle(nb::handle self) {
    WorkQueue &queue = queue_of(self);
    std::deque<Outcome> outcomes;
    outcomes.swap(queue.m_outcomes);
    queue.m_signalled = false;
    for (Outcome &outcome : outcomes) {
        try {
            if (is_done(outcome.done)) // its task gave up on it (cancelled at disconnect)
                continue;
            if (outcome.error.is_valid())
                outcome.done.attr(INTERNED("set_exception"))(outcome.error);
            else
                outcome.done.attr(INTERNED("set_result"))(outcome.value);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("WorkQueue.settle");
        }
    }
}

void WorkQueue::close(nb::handle self) {
    WorkQueue &queue = queue_of(self);
    queue.m_closed = true;
    std::deque<Job> dropped;
    dropped.swap(queue.m_jobs); // released here, after the queue no longer holds them
}

int WorkQueue::traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    WorkQueue &queue = queue_of(self);
    Py_VISIT(queue.m_pool.ptr());
    Py_VISIT(queue.m_loop.ptr());
    for (const Job &job : queue.m_jobs) {
        Py_VISIT(job.body.ptr());
        Py_VISIT(job.done.ptr());
    }
    for (const Outcome &outcome : queue.m_outcomes) {
        Py_VISIT(outcome.done.ptr());
        Py_VISIT(outcome.value.ptr());
        Py_VISIT(outcome.error.ptr());
    }
    return 0;
}

int WorkQueue::clear(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    WorkQueue &queue = queue_of(self);
    std::deque<Job> jobs;
    std::deque<Outcome> outcomes;
    jobs.swap(queue.m_jobs);
    outcomes.swap(queue.m_outcomes);
    queue.m_pool.reset();
    queue.m_loop.reset();
    return 0;
}

void WorkQueue::bind(nb::module_ &module) {
    static PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(&WorkQueue::traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(&WorkQueue::clear)},
        {0, nullptr},
    };
    nb::class_<WorkQueue>(module, "_WorkQueue", nb::type_slots(slots),
                          "Feeds the worker pool from one queue and settles outcomes on the loop.")
        .def(nb::init<nb::object, nb::object, int>(), nb::arg("pool"), nb::arg("loop"),
             nb::arg("workers"))
        .def("submit", [](nb::handle self, nb::object body) { return submit(self, body); },
             nb::arg("body"))
        .def("close", [](nb::handle self) { close(self); })
        .def("_run", [](nb::handle self) { run(self); })
        .def("_settle", [](nb::handle self) { settle(self); });
}

nb::object work_queue_of(nb::handle kernel) {
    nb::object queue = kernel.attr(INTERNED("_work_queue"));
    if (queue.is_none()) {
        queue = module_global("_WorkQueue")(kernel.attr("_thread_pool"),
                                            state().asyncio.attr("get_running_loop")(),
                                            kernel.attr("WORKER_POOL_SIZE"));
        kernel.attr("_work_queue") = queue;
    }
    return queue;
}

} // namespace kernel
