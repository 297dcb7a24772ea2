// The language thread: a one-thread executor that the listener loop awaits.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/language/language.hpp"
#include "kernel/python_kernel.hpp"

namespace kernel {

nb::object LanguageThread::executor() {
    if (!m_executor.is_valid())
        m_executor = nb::module_::import_("concurrent.futures")
                         .attr("ThreadPoolExecutor")(nb::arg("max_workers") = 1,
                                                     nb::arg("thread_name_prefix") = "Language");
    return m_executor;
}

core::Task<nb::object> LanguageThread::run(nb::object kernel, nb::object call) {
    LanguageThread &thread = language_thread_of(kernel);
    nb::object loop = state().asyncio.attr("get_running_loop")();
    nb::object answer = loop.attr("run_in_executor")(thread.executor(), call);
    thread.warm_up_once(kernel); // queued behind the request, which does not wait for it
    co_return co_await answer;
}

namespace {

// What the process holds once warmed up it holds for good: its modules and the language
// services' caches, some 300,000 objects. Frozen, they stay out of the collector's full passes,
// which otherwise walk them all (about 0.2 s each, one every few thousand formula calls).
// Cyclic garbage made before this point is never collected; start-up makes little.
void freeze_what_is_held() { nb::module_::import_("gc").attr("freeze")(); }

// Queues warm-up step `index` on the language thread. Each step queues the next when it ends,
// so a request that arrived meanwhile runs first: it waits for one step, not for the whole
// warm-up. After the last step, what is held is frozen.
void queue_warm_up_step(nb::object executor, nb::object steps, size_t index) {
    executor.attr("submit")(nb::cpp_function([executor, steps, index] {
        if (index == nb::len(steps)) {
            freeze_what_is_held();
            return;
        }
        try {
            steps[index]();
        } catch (nb::python_error &e) {
            if (!core::is_ordinary(e))
                throw;
            log().warning("[LSP] Warm-up step failed: ", core::exception_of(e));
        }
        try {
            queue_warm_up_step(executor, steps, index + 1);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_RuntimeError)) // the thread was stopped: no more steps
                throw;
        }
    }));
}

} // namespace

void LanguageThread::start_warm_up(nb::handle bridge) {
    if (bridge.is_none())
        return;
    nb::object steps;
    if (nb::hasattr(bridge, "warm_up_steps"))
        steps = nb::list(bridge.attr("warm_up_steps")());
    else if (nb::hasattr(bridge, "warm_up"))
        steps = nb::make_tuple(bridge.attr("warm_up"));
    else
        return;
    queue_warm_up_step(executor(), steps, 0);
}

void LanguageThread::warm_up_once(nb::handle kernel) {
    if (m_warm_up_started)
        return;
    m_warm_up_started = true;
    start_warm_up(kernel.attr("_lsp_bridge"));
}

void LanguageThread::stop() {
    if (m_executor.is_valid())
        m_executor.attr("shutdown")(nb::arg("wait") = false, nb::arg("cancel_futures") = true);
}

LanguageThread &language_thread_of(nb::handle kernel) {
    // nb::cast refuses an instance whose __init__ did not run.
    return nb::cast<PythonKernel &>(kernel).m_language_thread;
}

} // namespace kernel
