// The language thread: a one-thread executor that the listener loop awaits.
#include "kernel/language_thread.hpp"

#include "core/interned.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/python_kernel.hpp"

#include <optional>

namespace kernel {

nb::object LanguageThread::executor() {
    if (!m_executor.is_valid())
        m_executor = nb::module_::import_("concurrent.futures")
                         .attr("ThreadPoolExecutor")(nb::arg("max_workers") = 1,
                                                     nb::arg("thread_name_prefix") = "Language");
    return m_executor;
}

core::Task<nb::object> LanguageThread::run(nb::object kernel, nb::object call) {
    nb::object executor = language_thread_of(kernel).executor();
    nb::object loop = state().asyncio.attr("get_running_loop")();
    co_return co_await loop.attr("run_in_executor")(executor, call);
}

void LanguageThread::start_warm_up(nb::handle bridge) {
    if (bridge.is_none() || !nb::hasattr(bridge, "warm_up"))
        return;
    nb::object warm_up = bridge.attr("warm_up");
    executor().attr("submit")(nb::cpp_function([warm_up] {
        std::optional<nb::python_error> failed;
        try {
            warm_up();
        } catch (nb::python_error &e) {
            failed.emplace(std::move(e));
        }
        // What the process holds by now it holds for good: its modules and the language
        // services' caches, some 300,000 objects. Frozen, they stay out of the collector's full
        // passes, which otherwise walk them all (about 0.2 s each, one every few thousand
        // formula calls). Cyclic garbage made before this point is never collected; start-up
        // makes little.
        nb::module_::import_("gc").attr("freeze")();
        if (failed)
            throw std::move(*failed);
    }));
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
