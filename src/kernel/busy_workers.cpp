// Busy worker threads, and leaving them behind at disconnect.
#include "kernel/busy_workers.hpp"

#include "core/text.hpp"
#include "kernel/kernel_module.hpp"

#include <unordered_map>

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
