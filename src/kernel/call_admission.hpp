// CallAdmission: how many formula calls are at the worker pool at once.
//
// A burst of formula calls (thousands of frames read in a row) would otherwise put every call on
// the pool's queue at once, each holding its futures, closures and callbacks while it waits: a
// large live heap that the cyclic garbage collector scans again and again as the burst grows.
// Calls beyond MAX_ADMITTED_CALLS wait here instead, in arrival order, holding only their task.
// The pool runs them in the same order either way. Runs on the listener loop, GIL held.
#pragma once

#include "core/task.hpp"
#include "kernel/kernel_module.hpp"

#include <deque>

namespace kernel {
namespace nb = nanobind;

// Enough to keep every worker busy while the loop hands the next calls over, and to let many
// replies share a gathered frame: a burst of 10,000 calls ran about 9% faster than with 20.
inline constexpr int MAX_ADMITTED_CALLS = 64;

class CallAdmission {
public:
    explicit CallAdmission(nb::object loop) : m_loop(std::move(loop)) {}

    // Returns once the caller may go to the pool; its slot is given back by AdmittedCall.
    static core::Task<> enter(nb::object self);
    // Gives the slot to the first call still waiting, or frees it.
    void leave();

    static void bind(nb::module_ &module);

private:
    static int traverse(PyObject *self, visitproc visit, void *arg);
    static int clear(PyObject *self);

    nb::object m_loop;
    int m_admitted = 0;
    std::deque<nb::object> m_waiting; // futures, resolved when their call's turn has come
};

// Holds an admitted call's slot for the scope, however the scope is left.
class AdmittedCall {
public:
    explicit AdmittedCall(nb::object admission) : m_admission(std::move(admission)) {}
    AdmittedCall(const AdmittedCall &) = delete;
    ~AdmittedCall();

private:
    nb::object m_admission;
};

// The kernel's admission, created for the running loop on first use.
nb::object call_admission_of(nb::handle kernel);

} // namespace kernel
