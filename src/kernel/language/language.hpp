// The kernel's language thread: the one thread on which the language bridge computes.
#pragma once

#include "core/task.hpp"

namespace kernel {
namespace nb = nanobind;

// The bridge's calls run here one at a time, in the order they were handed over, so that the
// listener loop stays free for stream output and host requests while an analysis works.
class LanguageThread {
public:
    // On the loop: runs `call()` on the thread and returns its result (or raises its error).
    // The first call also starts the warm-up, behind itself.
    static core::Task<nb::object> run(nb::object kernel, nb::object call);
    // Once per kernel, when language services are first wanted (a language request, or the
    // hub's word that the IDE edits the workbook; nothing loads them at connect, so that a
    // workbook nobody edits pays nothing for them): runs the bridge's `warm_up_steps` (or its
    // `warm_up`), a step at a time with requests let in between, then freezes what the process
    // holds by then out of the garbage collector's reach.
    void warm_up_once(nb::handle kernel);
    // At disconnect: calls not yet started are dropped; a running one ends on its own.
    void stop();

private:
    nb::object executor();

    void start_warm_up(nb::handle bridge);

    nb::object m_executor; // a one-thread ThreadPoolExecutor, made on first use
    bool m_warm_up_started = false;
};

// The language thread of a PythonKernel instance. GIL held.
LanguageThread &language_thread_of(nb::handle kernel);

} // namespace kernel
