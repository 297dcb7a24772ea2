// send_sys_request and its answer: a worker waits on a thread event that the listener loop sets
// when the "sys_response" arrives. The wait happens on the worker, never on the loop, so a
// spreadsheet call cannot deadlock the kernel and several workers may wait at once.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

nb::object current_thread() { return nb::module_::import_("threading").attr("current_thread")(); }

// Takes an entry out of a dict, or null when absent.
nb::object pop(nb::handle mapping, nb::handle key) { return mapping.attr("pop")(key, nb::none()); }

nb::object send_sys_request(nb::handle kernel, nb::object payload, nb::object timeout) {
    nb::object request_id = field(payload, INTERNED("requestId"));
    nb::object thread = current_thread();
    nb::object thread_name = thread.attr("name");
    nb::object loop_thread = state().quorvel.attr("messaging").attr("loop_thread");
    if (!loop_thread.is_none() && loop_thread.is(thread))
        core::raise(PyExc_RuntimeError, "send_sys_request must not be called from the async "
                                        "event loop thread to avoid deadlock");
    log().debug("[Kernel] [Worker Thread ", thread_name, "] Sending sys_request: ", request_id);

    // Registered before the request leaves, so that an answer cannot arrive before its waiter.
    nb::object event = nb::module_::import_("threading").attr("Event")();
    nb::object lock = kernel.attr("_response_lock");
    nb::object futures = kernel.attr("_response_futures");
    nb::object data = kernel.attr("_response_data");
    {
        ThreadLockHold hold(lock);
        futures[request_id] = event;
    }
    nb::dict request;
    request["type"] = "sys_request";
    request["payload"] = payload;
    try {
        OutputChannel::post(output_channel_of(kernel), request);
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        // As a failed submission: the worker waits and times out.
        log().debug("[Kernel] Failed to submit sys_request ", request_id, ": ",
                    core::exception_of(e));
    }
    log().debug("[Kernel] [Worker Thread ", thread_name,
                "] Waiting for sys_response: ", request_id);

    if (!nb::cast<bool>(event.attr("wait")(timeout))) {
        {
            ThreadLockHold hold(lock);
            pop(futures, request_id);
            pop(data, request_id);
        }
        log().error("[Kernel] [Worker Thread ", thread_name, "] sys_request timeout: ", request_id);
        core::raise(PyExc_TimeoutError,
                    core::text("sys_request timeout after ", timeout, "s: ", request_id));
    }
    log().debug("[Kernel] [Worker Thread ", thread_name, "] Received sys_response: ", request_id);
    nb::object answer;
    {
        ThreadLockHold hold(lock);
        answer = pop(data, request_id);
        pop(futures, request_id);
    }
    if (!answer.is_none())
        return answer;
    nb::str error_msg = core::text("sys_response data missing for request_id: ", request_id);
    log().error("[Kernel] ", error_msg);
    core::raise(PyExc_RuntimeError, error_msg);
}

} // namespace

nb::object make_send_request_sync(nb::handle kernel_handle) {
    nb::object kernel = nb::borrow(kernel_handle);
    return nb::cpp_function(
        [kernel](nb::object req, nb::object timeout) {
            nb::str request_id = nb::str(nb::module_::import_("uuid").attr("uuid4")().attr("hex"));
            // A shallow copy: the caller's request is not changed.
            nb::object payload = PyDict_Check(req.ptr())
                                     ? nb::steal(PyDict_Copy(req.ptr()))
                                     : nb::module_::import_("builtins").attr("dict")(req);
            if (!payload.is_valid())
                throw nb::python_error();
            payload["requestId"] = request_id;
            payload["kind"] = "request";
            return send_sys_request(kernel, payload, timeout);
        },
        nb::arg("req"), nb::arg("timeout") = 30.0, nb::name("new_send_request_sync"));
}

nb::object make_send_stream_message(nb::handle kernel_handle) {
    nb::object kernel = nb::borrow(kernel_handle);
    return nb::cpp_function(
        [kernel](nb::object stream_type, nb::object content) {
            try {
                nb::dict message;
                message[INTERNED("type")] = stream_type;
                message[INTERNED("content")] = content;
                message[INTERNED("workbook_id")] = kernel.attr("workbook_id");
                OutputChannel::post(output_channel_of(kernel), message);
            } catch (nb::python_error &e) {
                if (!core::is_ordinary(e))
                    throw;
                log().debug("[Kernel] ", stream_type, " streaming error: ", core::exception_of(e));
            }
        },
        nb::arg("stream_type"), nb::arg("content"), nb::name("send_stream_message"));
}

core::Task<> handle_sys_response(nb::object self, nb::object message) {
    nb::object payload = field(message, INTERNED("payload"));
    if (payload.is_none() || !PyObject_IsTrue(payload.ptr()))
        payload = message;
    nb::object request_id = field(payload, INTERNED("requestId"));
    log().debug("[Kernel] [Listener Thread] Received sys_response for request_id: ", request_id,
                ", unblocking worker");
    if (request_id.is_none() || !PyObject_IsTrue(request_id.ptr())) {
        log().warning("[Kernel] Received sys_response without requestId");
        co_return;
    }
    ThreadLockHold hold(self.attr("_response_lock"));
    nb::object event = field(self.attr("_response_futures"), request_id);
    if (event.is_none()) {
        // Nobody waits for it (late after a time-out, or unknown): no reader would ever take
        // the payload, so it is not kept.
        log().warning("[Kernel] Received sys_response for unknown request_id: ", request_id);
        co_return;
    }
    nb::object data = self.attr("_response_data");
    data[request_id] = payload;
    event.attr("set")();
    log().debug("[Kernel] [Listener Thread] Worker unblocked for request_id: ", request_id);
}

} // namespace kernel
