// Request correlation: a request waits for the one response that carries its id, or times out.
//
// `_pending_requests` is shared by the requesting thread (insert) and the connection thread
// (take, put back). Each touch is one dict call, atomic under the interpreter; no touch spans a
// call out. Removal and delivery both happen on the connection thread, so the response path and
// the time-out path are serialised there and exactly one of them delivers.
#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "idelink/ide_link.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"

#include <string>

namespace idelink {
namespace {

// The time-out as a decimal number with at least one fractional digit: 30.0, 0.25, 0.00001.
std::string decimal_text(double seconds) {
    char *shortest = PyOS_double_to_string(seconds, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!shortest)
        throw nb::python_error();
    std::string text(shortest);
    PyMem_Free(shortest);
    if (text.find('e') == std::string::npos)
        return text;
    // The shortest form of very small or large values is exponential; spell them out.
    char *fixed = PyOS_double_to_string(seconds, 'f', 20, 0, nullptr);
    if (!fixed)
        throw nb::python_error();
    text = fixed;
    PyMem_Free(fixed);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.')
        text.push_back('0');
    return text;
}

nb::dict timeout_notice(nb::handle request_id, double timeout) {
    nb::dict notice;
    notice["error"] = "timeout";
    notice["request_id"] = request_id;
    notice["message"] = core::text("Request timed out after ", decimal_text(timeout), "s");
    return notice;
}

// Takes the record of `request_id` out of the table in one step; null when there is none.
nb::object take_pending(nb::handle self, nb::handle request_id) {
    nb::object pending = self.attr(INTERNED("_pending_requests"));
    return pending.attr("pop")(request_id, nb::none());
}

void deliver(nb::handle self, nb::handle record, nb::handle data) {
    self.attr(INTERNED("_invoke_callback_in_qt_thread"))(record[INTERNED("callback")], data);
}

void invoke_callback_body(nb::handle, nb::handle callback, nb::handle data) { callback(data); }

} // namespace

nb::object send_and_wait_response(nb::handle self, nb::handle message, nb::handle callback,
                                  nb::handle response_type, double timeout) {
    if (!PyCallable_Check(callback.ptr()))
        core::raise(PyExc_TypeError, "send_and_wait_response: callback must be callable");
    nb::object request_id = field(message, INTERNED("request_id"));
    if (truthy(request_id)) {
        if (!PyUnicode_Check(request_id.ptr()))
            core::raise(PyExc_TypeError,
                        core::text("send_and_wait_response: request_id must be a string, not ",
                                   core::type_name(request_id)));
    } else {
        request_id = nb::str(state().uuid4());
    }
    message[INTERNED("request_id")] = request_id;

    // Stored before the send: a fast response always finds it.
    nb::dict record;
    record[INTERNED("callback")] = callback;
    record[INTERNED("response_type")] = response_type;
    self.attr(INTERNED("_pending_requests"))[request_id] = record;

    self.attr(INTERNED("send_message"))(message);
    nb::object loop = self.attr(INTERNED("_loop"));
    // Without a running loop no time-out is scheduled: the request stays pending until a
    // response with its id arrives on a later connection.
    if (!loop.is_none())
        submit_to_loop(loop, self.attr(INTERNED("_check_timeout"))(request_id, timeout));
    return request_id;
}

bool try_handle_response(nb::handle self, nb::handle message) {
    nb::object request_id = field(message, INTERNED("request_id"));
    // Request ids are strings; any other value cannot name a pending request.
    if (!PyUnicode_Check(request_id.ptr()) || PyUnicode_GET_LENGTH(request_id.ptr()) == 0)
        return false;
    nb::object record = take_pending(self, request_id);
    if (record.is_none())
        return false;
    nb::object expected = record[INTERNED("response_type")];
    if (truthy(expected) && !field(message, INTERNED("type")).equal(expected)) {
        // Not the awaited answer: it stays pending and the message goes on to dispatch.
        self.attr(INTERNED("_pending_requests"))[request_id] = record;
        return false;
    }
    deliver(self, record, message);
    return true;
}

core::Task<> check_timeout(nb::object self, nb::object request_id, double timeout) {
    co_await state().asyncio.attr("sleep")(timeout);
    nb::object record = take_pending(self, request_id);
    if (!record.is_none())
        deliver(self, record, timeout_notice(request_id, timeout));
}

void add_callback_method(nb::handle cls) {
    add_gui_method(cls, "_invoke_callback_in_qt_thread",
                   nb::cpp_function(&invoke_callback_body, nb::arg("self"), nb::arg("callback"),
                                    nb::arg("data").none()));
}

} // namespace idelink
