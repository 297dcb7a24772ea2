// The worker pool: the queue that feeds it and settles outcomes on the loop, the workers left
// behind at disconnect, and the admission of formula calls a bounded number at a time.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"

#include <chrono>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <unordered_map>

#ifndef _WIN32
#endif

// Feeding the worker pool from one queue, and settling outcomes in batches on the loop.
namespace kernel {
namespace {

WorkQueue &queue_of(nb::handle self) { return *nb::inst_ptr<WorkQueue>(self); }

bool is_done(nb::handle future) { return nb::cast<bool>(future.attr(INTERNED("done"))()); }

#ifndef _WIN32
// A pipe whose ends neither block nor pass to child processes; false when none could be made.
bool open_pipe(int ends[2]) {
    if (pipe(ends) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        fcntl(ends[i], F_SETFL, fcntl(ends[i], F_GETFL) | O_NONBLOCK);
        fcntl(ends[i], F_SETFD, FD_CLOEXEC);
    }
    return true;
}
#endif

} // namespace

WorkQueue::WorkQueue(nb::object pool, nb::object loop, int workers)
    : m_pool(std::move(pool)), m_loop(std::move(loop)), m_workers(workers < 1 ? 1 : workers) {}

WorkQueue::~WorkQueue() {
#ifndef _WIN32
    // Closed only now: a runner left behind in user code may still write after close().
    if (m_wake_read >= 0) {
        ::close(m_wake_read);
        ::close(m_wake_write);
    }
#endif
}

void WorkQueue::watch(nb::handle self) {
    WorkQueue &queue = queue_of(self);
    queue.m_watch_tried = true;
#ifndef _WIN32
    int ends[2];
    if (!open_pipe(ends))
        return;
    try {
        queue.m_loop.attr("add_reader")(ends[0], self.attr("_settle"));
    } catch (nb::python_error &e) {
        // A loop that cannot watch descriptors (the proactor loop of Windows).
        ::close(ends[0]);
        ::close(ends[1]);
        if (!e.matches(PyExc_NotImplementedError))
            throw;
        return;
    }
    queue.m_wake_read = ends[0];
    queue.m_wake_write = ends[1];
#endif
}

nb::object WorkQueue::submit(nb::handle self, nb::object body) {
    WorkQueue &queue = queue_of(self);
    if (queue.m_closed)
        core::raise(PyExc_RuntimeError, "cannot run new work after the kernel disconnected");
    if (!queue.m_watch_tried)
        watch(self);
    nb::object done = queue.m_loop.attr(INTERNED("create_future"))();
    bool start_runner, wake_waiting;
    {
        std::lock_guard<std::mutex> lock(queue.m_lock);
        queue.m_jobs.push_back({std::move(body), done});
        // A runner busy with earlier work may be waiting on the workbook for a long time: work
        // that no waiting runner will take gets a runner of its own, up to `workers`.
        start_runner = static_cast<int>(queue.m_jobs.size()) > queue.m_idle &&
                       queue.m_runners < queue.m_workers;
        if (start_runner)
            ++queue.m_runners;
        wake_waiting = queue.m_idle > 0;
    }
    if (wake_waiting)
        queue.m_work.notify_one();
    if (start_runner) {
        try {
            queue.m_pool.attr(INTERNED("submit"))(self.attr("_run"));
        } catch (nb::python_error &) {
            std::optional<Job> dropped;
            {
                std::lock_guard<std::mutex> lock(queue.m_lock);
                --queue.m_runners;
                dropped.emplace(std::move(queue.m_jobs.back()));
                queue.m_jobs.pop_back();
            }
            throw;
        }
    }
    return done;
}

bool WorkQueue::take(std::optional<Job> &job, bool wait) {
    std::unique_lock<std::mutex> lock(m_lock);
    // One runner at a time waits for work, so that the next piece finds it awake; the others
    // give their threads back to the pool at once.
    if (wait && m_jobs.empty() && !m_closed && m_idle == 0) {
        ++m_idle;
        m_work.wait_for(lock, std::chrono::duration<double>(RUNNER_LINGER),
                        [this] { return !m_jobs.empty() || m_closed; });
        --m_idle;
    }
    if (m_jobs.empty() || m_closed) {
        // Leaving is decided under the lock, so that a submit from now on starts a runner.
        if (wait)
            --m_runners;
        return false;
    }
    job.emplace(std::move(m_jobs.front()));
    m_jobs.pop_front();
    return true;
}

void WorkQueue::run(nb::handle self) {
    WorkQueue &queue = queue_of(self);
    bool owes_wake = false; // outcomes were handed over and the loop was not told yet
    for (;;) {
        std::optional<Job> job;
        bool found = queue.take(job, false);
        // Before more work runs, the loop is told: an outcome never waits for later work.
        if (owes_wake && (found || queue.m_wake_write < 0)) {
            queue.wake_loop(self);
            owes_wake = false;
        }
        if (!found) {
            {
                // Told with the GIL already let go, the loop finds it free when it wakes.
                nb::gil_scoped_release unlocked;
                if (owes_wake)
                    queue.wake_loop_without_gil();
                found = queue.take(job, true);
            }
            owes_wake = false;
            if (!found)
                return;
        }
        if (is_done(job->done))
            continue; // cancelled while it waited: it never starts
        Outcome outcome{std::move(job->done), nb::none(), nb::object()};
        try {
            BusyWorker busy; // left behind at disconnect while this runs
            outcome.value = job->body();
        } catch (nb::python_error &e) {
            outcome.error = core::exception_of(e);
        }
        job.reset();
        std::lock_guard<std::mutex> lock(queue.m_lock);
        queue.m_outcomes.push_back(std::move(outcome));
        owes_wake = owes_wake || !queue.m_signalled;
        queue.m_signalled = true;
    }
}

void WorkQueue::wake_loop_without_gil() {
#ifndef _WIN32
    if (m_wake_write < 0)
        return;
    char byte = 1;
    // A full pipe already holds a wake-up the loop has not read: nothing is lost.
    [[maybe_unused]] ssize_t written = ::write(m_wake_write, &byte, 1);
#endif
}

void WorkQueue::wake_loop(nb::handle self) {
    if (m_wake_write >= 0) {
        wake_loop_without_gil();
        return;
    }
    try {
        m_loop.attr(INTERNED("call_soon_threadsafe"))(self.attr("_settle"));
    } catch (nb::python_error &e) {
        // The loop closed: nobody waits any more. Anything else is a fault of ours; the runner
        // goes on so that the work behind it still runs.
        if (!e.matches(PyExc_RuntimeError))
            e.discard_as_unraisable("WorkQueue.run");
    }
}

void WorkQueue::settle(nb::handle self) {
    WorkQueue &queue = queue_of(self);
#ifndef _WIN32
    if (queue.m_wake_read >= 0) {
        char bytes[64];
        while (::read(queue.m_wake_read, bytes, sizeof bytes) > 0) {
        }
    }
#endif
    std::deque<Outcome> outcomes;
    {
        std::lock_guard<std::mutex> lock(queue.m_lock);
        outcomes.swap(queue.m_outcomes);
        queue.m_signalled = false;
    }
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
    // The loop goes on watching the pipe: work still running reports when it ends.
    WorkQueue &queue = queue_of(self);
    std::deque<Job> dropped; // released below, with the GIL and without the lock
    {
        std::lock_guard<std::mutex> lock(queue.m_lock);
        queue.m_closed = true;
        dropped.swap(queue.m_jobs);
    }
    queue.m_work.notify_all();
}

int WorkQueue::traverse(visitproc visit, void *arg) {
    Py_VISIT(m_pool.ptr());
    Py_VISIT(m_loop.ptr());
    std::lock_guard<std::mutex> lock(m_lock);
    for (const Job &job : m_jobs) {
        Py_VISIT(job.body.ptr());
        Py_VISIT(job.done.ptr());
    }
    for (const Outcome &outcome : m_outcomes) {
        Py_VISIT(outcome.done.ptr());
        Py_VISIT(outcome.value.ptr());
        Py_VISIT(outcome.error.ptr());
    }
    return 0;
}

void WorkQueue::clear() {
    std::deque<Job> jobs;
    std::deque<Outcome> outcomes;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        jobs.swap(m_jobs);
        outcomes.swap(m_outcomes);
    }
    m_pool.reset();
    m_loop.reset();
}

void WorkQueue::bind(nb::module_ &module) {
    nb::class_<WorkQueue>(module, "_WorkQueue", nb::type_slots(core::gc_slots<WorkQueue>()),
                          "Feeds the worker pool from one queue and settles outcomes on the loop.")
        .def(nb::init<nb::object, nb::object, int>(), nb::arg("pool"), nb::arg("loop"),
             nb::arg("workers"))
        .def(
            "submit", [](nb::handle self, nb::object body) { return submit(self, body); },
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

// Busy worker threads, and leaving them behind at disconnect.
namespace kernel {
namespace {

// Thread ident -> how many scopes of that thread run user code. Touched with the GIL held only.
std::unordered_map<unsigned long, int> &busy_threads() {
    static auto *threads = new std::unordered_map<unsigned long, int>();
    return *threads;
}

nb::object attribute_or_none(nb::handle object, const char *name) {
    return nb::getattr(object, name, nb::none());
}

// Takes `thread` out of what the interpreter joins at exit: the thread pool module's exit hook
// joins every pool thread it knows, and the threading module joins every non-daemon thread.
// Both lists are private to the standard library; where an interpreter has neither, the thread
// stays joined and the process launcher's exit applies.
void detach_from_exit(nb::handle thread) {
    nb::object queues =
        attribute_or_none(nb::module_::import_("concurrent.futures.thread"), "_threads_queues");
    if (!queues.is_none())
        queues.attr("pop")(thread, nb::none());
    nb::object threading = nb::module_::import_("threading");
    nb::object shutdown_locks = attribute_or_none(threading, "_shutdown_locks"); // up to 3.12
    nb::object tstate_lock = attribute_or_none(thread, "_tstate_lock");
    if (shutdown_locks.is_none() || tstate_lock.is_none())
        return;
    nb::object guard = threading.attr("_shutdown_locks_lock");
    guard.attr("acquire")();
    shutdown_locks.attr("discard")(tstate_lock);
    guard.attr("release")();
    thread.attr("_daemonic") = true;
}

} // namespace

BusyWorker::BusyWorker() : m_thread(PyThread_get_thread_ident()) { ++busy_threads()[m_thread]; }

BusyWorker::~BusyWorker() {
    auto &threads = busy_threads();
    auto found = threads.find(m_thread);
    if (found != threads.end() && --found->second == 0)
        threads.erase(found);
}

void abandon_busy_workers(nb::handle pool) {
    nb::object threads = attribute_or_none(pool, "_threads");
    if (threads.is_none())
        return;
    nb::list names;
    for (nb::handle thread : nb::list(threads)) {
        nb::object ident = thread.attr("ident");
        // A daemon thread was left behind by an earlier disconnect already.
        if (ident.is_none() || !busy_threads().count(nb::cast<unsigned long>(ident)) ||
            nb::cast<bool>(thread.attr("daemon")) || !nb::cast<bool>(thread.attr("is_alive")()))
            continue;
        detach_from_exit(thread);
        names.append(thread.attr("name"));
    }
    if (nb::len(names) > 0)
        log().warning("[Kernel] Worker threads still running user code are left behind as daemon "
                      "threads: ",
                      core::join(", ", names));
}

} // namespace kernel

// Admitting formula calls to the worker pool, a bounded number at a time, in arrival order.
namespace kernel {
namespace {

CallAdmission &admission_of(nb::handle self) { return *nb::inst_ptr<CallAdmission>(self); }

} // namespace

core::Task<> CallAdmission::enter(nb::object self) {
    CallAdmission &admission = admission_of(self);
    if (admission.m_admitted < MAX_ADMITTED_CALLS && admission.m_waiting.empty()) {
        ++admission.m_admitted;
        co_return;
    }
    nb::object turn = admission.m_loop.attr(INTERNED("create_future"))();
    admission.m_waiting.push_back(turn);
    try {
        co_await turn;
    } catch (nb::python_error &) {
        // Cancelled after its turn had come: the slot it was given goes on to the next call.
        if (is_done(turn) && !nb::cast<bool>(turn.attr("cancelled")()))
            admission_of(self).leave();
        throw;
    }
}

void CallAdmission::leave() {
    while (!m_waiting.empty()) {
        nb::object turn = std::move(m_waiting.front());
        m_waiting.pop_front();
        // A waiter cancelled meanwhile is skipped; the slot passes on without being freed.
        if (!is_done(turn)) {
            turn.attr(INTERNED("set_result"))(nb::none());
            return;
        }
    }
    --m_admitted;
}

AdmittedCall::~AdmittedCall() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        admission_of(m_admission).leave();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("CallAdmission.leave");
    }
    PyErr_Restore(type, value, traceback);
}

int CallAdmission::traverse(visitproc visit, void *arg) {
    Py_VISIT(m_loop.ptr());
    for (const nb::object &turn : m_waiting)
        Py_VISIT(turn.ptr());
    return 0;
}

void CallAdmission::clear() {
    m_loop.reset();
    m_waiting.clear();
}

void CallAdmission::bind(nb::module_ &module) {
    nb::class_<CallAdmission>(module, "_CallAdmission",
                              nb::type_slots(core::gc_slots<CallAdmission>()),
                              "Lets a bounded number of formula calls at the worker pool.")
        .def(nb::init<nb::object>(), nb::arg("loop"));
}

nb::object call_admission_of(nb::handle kernel) {
    nb::object admission = kernel.attr(INTERNED("_call_admission"));
    if (admission.is_none()) {
        admission = module_global("_CallAdmission")(state().asyncio.attr("get_running_loop")());
        kernel.attr("_call_admission") = admission;
    }
    return admission;
}

} // namespace kernel
