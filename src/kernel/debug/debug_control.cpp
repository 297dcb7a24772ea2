// The debug control messages of the IDE, handled inline on the listener loop while a debug run's
// worker is paused (or running), and the session's end when the kernel disconnects.
//
// None of them waits for the worker: resuming and stopping only signal it, and an evaluation,
// which the paused worker performs, is answered by a task once the worker has answered, so the
// loop goes on reading (a Stop can still arrive while an expression runs).

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/debug/debug.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

nb::object active_debugger(nb::handle self) { return nb::getattr(self, "_debugger", nb::none()); }

// Calls a control method of the session; a failure is logged, never raised into the read loop.
bool control(nb::handle debugger, const char *method) {
    try {
        debugger.attr(method)();
        return true;
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        log().error("[Kernel] Debugger ", method, " failed: ", core::exception_of(e));
        return false;
    }
}

core::Task<> step(nb::object self, const char *method) {
    nb::object debugger = active_debugger(self);
    if (!debugger.is_none())
        control(debugger, method);
    co_return;
}

// The evaluation's reply: the kernel's fields, then the answer's own. Keys the reply already
// has are the kernel's to set.
nb::dict evaluation_reply(nb::handle self, nb::handle request_id, nb::handle expression,
                          nb::handle answer) {
    nb::dict reply = message_of({{"type", INTERNED("debug_evaluate_result")},
                                 {"workbook_id", self.attr("workbook_id")},
                                 {"request_id", request_id},
                                 {"expression", expression}});
    if (!PyDict_Check(answer.ptr())) {
        reply["error"] = "The debugger gave no answer";
        return reply;
    }
    for (auto [key, value] : nb::borrow<nb::dict>(answer))
        if (!reply.contains(key))
            reply[key] = value;
    return reply;
}

nb::dict failure_answer(const nb::python_error &error) {
    nb::dict answer;
    nb::object exception = core::exception_of(error);
    answer["error"] = core::text(exception.type().attr("__name__"), ": ", exception);
    return answer;
}

core::Task<> reply_when_evaluated(nb::object self, nb::object request_id, nb::object expression,
                                  nb::object pending) {
    nb::object answer;
    try {
        answer = co_await pending;
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        answer = failure_answer(e);
    }
    nb::dict reply = evaluation_reply(self, request_id, expression, answer);
    try {
        co_await self.attr(INTERNED("send_message"))(reply);
    } catch (nb::python_error &e) {
        // The connection ended while the expression ran: nobody waits for the answer.
        if (!core::is_ordinary(e))
            throw;
        log().warning("[Kernel] Could not send debug_evaluate_result: ", core::exception_of(e));
    }
}

} // namespace

bool has_active_debugger(nb::handle self) { return !active_debugger(self).is_none(); }

void end_debug_session(nb::handle self) {
    nb::object debugger = active_debugger(self);
    if (debugger.is_none())
        return;
    // A paused worker would otherwise stay parked for good, holding one of the pool's threads.
    control(debugger, "stop_debugging");
    self.attr("_debugger") = nb::none();
}

core::Task<> handle_debug_continue(nb::object self, nb::object) {
    nb::object debugger = active_debugger(self);
    if (debugger.is_none() || !control(debugger, "continue_execution"))
        co_return;
    nb::dict message;
    message["type"] = "debug_resumed";
    co_await self.attr(INTERNED("send_message"))(message);
}

core::Task<> handle_debug_step_over(nb::object self, nb::object) {
    co_await step(self, "step_over");
}

core::Task<> handle_debug_step_into(nb::object self, nb::object) {
    co_await step(self, "step_into");
}

core::Task<> handle_debug_step_out(nb::object self, nb::object) { co_await step(self, "step_out"); }

core::Task<> handle_debug_stop(nb::object self, nb::object) {
    nb::object debugger = active_debugger(self);
    if (debugger.is_none())
        co_return;
    control(debugger, "stop_debugging");
    {
        nb::dict message = message_of(
            {{"type", INTERNED("debug_terminated")}, {"workbook_id", self.attr("workbook_id")}});
        co_await self.attr(INTERNED("send_message"))(message);
    }
    self.attr("_debugger") = nb::none();
}

core::Task<> handle_debug_evaluate(nb::object self, nb::object message) {
    nb::object expression = field(message, INTERNED("expression"), INTERNED(""));
    nb::object request_id = field(message, INTERNED("request_id"));
    nb::object debugger = active_debugger(self);
    nb::object answer;
    if (debugger.is_none()) {
        nb::dict no_session;
        no_session["error"] = "No active debug session";
        answer = no_session;
    } else {
        try {
            answer = debugger.attr("evaluate_expression")(expression);
        } catch (nb::python_error &e) {
            if (!core::is_ordinary(e))
                throw;
            answer = failure_answer(e);
        }
        if (nb::cast<bool>(nb::module_::import_("inspect").attr("isawaitable")(answer))) {
            start_background_task(self, reply_when_evaluated(self, request_id, expression, answer)
                                            .into_python("PythonKernel._reply_when_evaluated"));
            co_return;
        }
    }
    nb::dict reply = evaluation_reply(self, request_id, expression, answer);
    co_await self.attr(INTERNED("send_message"))(reply);
}

core::Task<> handle_debug_update_breakpoints(nb::object self, nb::object message) {
    nb::object breakpoints = field(message, INTERNED("breakpoints"), nb::list());
    nb::object debugger = active_debugger(self);
    if (debugger.is_none()) {
        log().warning("[Kernel] Received debug_update_breakpoints but no active debugger");
        co_return;
    }
    if (!PyList_Check(breakpoints.ptr())) {
        log().warning("[Kernel] Invalid breakpoints data type: ",
                      nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(breakpoints.ptr()))));
        co_return;
    }
    try {
        debugger.attr("set_breakpoints")(breakpoints);
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        log().error("[Kernel] Debugger set_breakpoints failed: ", core::exception_of(e));
        co_return;
    }
    log().info("[Kernel] Updated breakpoints during debug session: ", nb::len(breakpoints),
               " breakpoints");
}

} // namespace kernel
