// Admitting formula calls to the worker pool, a bounded number at a time, in arrival order.
#include "kernel/call_admission.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"

namespace kernel {
namespace {

CallAdmission &admission_of(nb::handle self) { return *nb::inst_ptr<CallAdmission>(self); }

bool is_done(nb::handle future) { return nb::cast<bool>(future.attr(INTERNED("done"))()); }

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

int CallAdmission::traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    CallAdmission &admission = admission_of(self);
    Py_VISIT(admission.m_loop.ptr());
    for (const nb::object &turn : admission.m_waiting)
        Py_VISIT(turn.ptr());
    return 0;
}

int CallAdmission::clear(PyObject *self) {
    if (!nb::inst_ready(self))
        return 0;
    CallAdmission &admission = admission_of(self);
    admission.m_loop.reset();
    admission.m_waiting.clear();
    return 0;
}

void CallAdmission::bind(nb::module_ &module) {
    static PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(&CallAdmission::traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(&CallAdmission::clear)},
        {0, nullptr},
    };
    nb::class_<CallAdmission>(module, "_CallAdmission", nb::type_slots(slots),
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
