// The runs that may be interrupted, and "interrupt_execution".

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

#include <mutex>
#include <vector>

namespace kernel {
namespace {

struct Run {
    unsigned long thread;
    unsigned long serial;
    PyObject *request_id; // a strong reference
    bool aimed;           // an interrupt was sent to this run's thread
};

// Every access holds the GIL too; nothing under `lock` allocates Python objects or runs Python
// code (which could let go of the GIL to a thread that then waits for `lock`).
struct Registry {
    std::mutex lock;
    std::vector<Run> runs;
    unsigned long serials = 0;
};

Registry &registry() {
    static Registry *runs = new Registry; // never destroyed: runs may end after finalization
    return *runs;
}

bool same_text(PyObject *a, PyObject *b) {
    return PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

} // namespace

thread_local PyObject *working_for = nullptr; // borrowed from the innermost RunningRequest

RunningRequest::RunningRequest(nb::handle request_id)
    : m_request_id(nb::borrow(request_id)), m_outer(working_for) {
    working_for = m_request_id.ptr();
}

RunningRequest::~RunningRequest() { working_for = m_outer; }

InterruptibleSpan::InterruptibleSpan() : m_thread(PyThread_get_thread_ident()) {
    if (!working_for)
        return;
    Registry &runs = registry();
    Py_INCREF(working_for);
    std::lock_guard<std::mutex> held(runs.lock);
    m_serial = ++runs.serials;
    runs.runs.push_back({m_thread, m_serial, working_for, false});
}

InterruptibleSpan::~InterruptibleSpan() {
    if (!m_serial)
        return;
    Registry &runs = registry();
    PyObject *request_id = nullptr;
    bool aimed = false;
    {
        std::lock_guard<std::mutex> held(runs.lock);
        for (auto run = runs.runs.begin(); run != runs.runs.end(); ++run) {
            if (run->serial != m_serial)
                continue;
            aimed = run->aimed;
            request_id = run->request_id;
            runs.runs.erase(run);
            break;
        }
    }
    Py_XDECREF(request_id);
    // Not raised yet, it must not reach the kernel's code or the thread's next job. Nothing
    // can aim at this thread any more (the span is gone from the table).
    if (aimed)
        core::withdraw_pending(PyExc_KeyboardInterrupt);
}

nb::list interrupt_runs(nb::handle request_id) {
    bool every = request_id.is_none();
    std::vector<PyObject *> reached; // strong references
    {
        Registry &runs = registry();
        std::lock_guard<std::mutex> held(runs.lock);
        for (Run &run : runs.runs) {
            if (!every && !same_text(run.request_id, request_id.ptr()))
                continue;
            PyThreadState_SetAsyncExc(run.thread, PyExc_KeyboardInterrupt);
            run.aimed = true;
            bool known = false;
            for (PyObject *id : reached)
                known = known || id == run.request_id || same_text(id, run.request_id);
            if (!known) {
                Py_INCREF(run.request_id);
                reached.push_back(run.request_id);
            }
        }
    }
    nb::list ids;
    for (PyObject *id : reached)
        ids.append(nb::steal(id));
    return ids;
}

core::Task<> handle_interrupt_execution(nb::object self, nb::object message) {
    nb::object request_id = field(message, INTERNED("request_id"));
    nb::dict reply = message_of({{"type", INTERNED("interrupt_result")},
                                 {"request_id", request_id},
                                 {"workbook_id", self.attr("workbook_id")}});
    if (request_id.is_none() || PyUnicode_Check(request_id.ptr())) {
        nb::list reached = interrupt_runs(request_id);
        log().info("[Kernel] Received interrupt_execution for request_id: ", request_id,
                   "; runs interrupted: ", reached);
        reply["interrupted"] = reached;
    } else {
        log().warning("[Kernel] Ignored interrupt_execution: its request_id is not text");
        reply["interrupted"] = nb::list();
        reply["error"] = "request_id must be a string";
    }
    co_await self.attr(INTERNED("send_message"))(reply);
}

} // namespace kernel
