// handle_message: reassembly of chunked messages, then dispatch by `type`.
//
// A row runs its handler in one of three ways: as a task the loop does not wait for (user code,
// long work), awaited inside handle_message, or inline (light work answered at once). The read
// loop waits for handle_message, so only task rows let it read on while their work runs.
#include "core/errors.hpp"
#include "core/interned.hpp"
#include "core/text.hpp"
#include "kernel/handlers.hpp"
#include "kernel/interrupts.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/stream_cancels.hpp"

#include <optional>
#include <string_view>

namespace kernel {
namespace {

enum class RunsAs { Task, Await, Inline };

// Returns the awaitable that handles `message`.
using Start = nb::object (*)(nb::handle self, nb::handle message);

struct Route {
    std::string_view type;
    RunsAs runs_as;
    Start start;                  // or, when null: `method` called with the whole message,
    const char *method = nullptr; // after `announce`, if any, is logged at info
    const char *announce = nullptr;
};

template <core::Task<> (*Handler)(nb::object, nb::object)>
nb::object inline_branch(nb::handle self, nb::handle message) {
    return Handler(nb::borrow(self), nb::borrow(message))
        .into_python("PythonKernel.handle_message");
}

core::Task<> shutdown(nb::object self, nb::object) { co_await self.attr("disconnect")(); }

core::Task<> reset_namespace(nb::object self, nb::object) {
    self.attr("executor").attr("reset_namespace")();
    nb::dict reply;
    reply["type"] = "namespace_reset";
    co_await self.attr(INTERNED("send_message"))(reply);
}

nb::object execution_request(nb::handle self, nb::handle message) {
    nb::object code = field(message, INTERNED("code"), INTERNED(""));
    nb::object request_id = field(message, INTERNED("request_id"));
    nb::object function_name = field(message, INTERNED("function_name"));
    nb::object source = field(message, INTERNED("source"), INTERNED("ide"));
    log().info("[Kernel] [Listener Thread] Received execution_request (source=", source,
               ", request_id=", request_id, ")");
    if (PyUnicode_Check(code.ptr()))
        log().debug("[Kernel] Code length: ", PyUnicode_GET_LENGTH(code.ptr()), " chars");
    else
        log().debug("[Kernel] Code is not text: ",
                    nb::handle(Py_TYPE(code.ptr())).attr("__name__"));
    return self.attr("_execute_code_async")(code, request_id, function_name, source);
}

nb::object streaming_function(nb::handle self, nb::handle message) {
    nb::object request_id = field(message, INTERNED("request_id"));
    nb::object module_name = field(message, INTERNED("module_name"));
    nb::object function_name = field(message, INTERNED("function_name"));
    nb::object args = field(message, INTERNED("args"), nb::list());
    nb::object workbook_id = field(message, INTERNED("workbook_id"), INTERNED(""));
    nb::object source = field(message, INTERNED("source"), INTERNED("addin"));
    log().debug("[TIMING] Dispatching streaming function to background task");
    log().info("[Kernel] [Listener Thread] Dispatching execute_streaming_function to background "
               "task");
    nb::object handling = self.attr("_execute_streaming_function")(
        request_id, module_name, function_name, args, workbook_id, source);
    if (OpenStreams *streams = open_streams_of(self))
        streams->announce(request_id); // a cancel read before the task's first step finds it
    return handling;
}

// In the order the rows are tested; types are distinct, so the first match is the only one.
constexpr Route ROUTES[] = {
    {"execution_request", RunsAs::Task, &execution_request},
    {"add_path", RunsAs::Inline, &inline_branch<handle_add_path>},
    {"remove_path", RunsAs::Inline, &inline_branch<handle_remove_path>},
    {"reset_path", RunsAs::Inline, &inline_branch<handle_reset_path>},
    {"set_package_paths", RunsAs::Inline, &inline_branch<handle_set_package_paths>},
    {"set_python_paths", RunsAs::Inline, &inline_branch<handle_set_python_paths>},
    {"unload_and_clear_paths", RunsAs::Inline, &inline_branch<handle_unload_and_clear_paths>},
    {"reset_namespace", RunsAs::Inline, &inline_branch<reset_namespace>},
    {"update_module", RunsAs::Inline, &inline_branch<handle_update_module>},
    {"delete_module", RunsAs::Inline, &inline_branch<handle_delete_module>},
    {"completion_request", RunsAs::Await, nullptr, "_handle_completion_request"},
    {"signature_help_request", RunsAs::Await, nullptr, "_handle_signature_help_request"},
    {"hover_request", RunsAs::Await, nullptr, "_handle_hover_request"},
    {"diagnostic_request", RunsAs::Await, nullptr, "_handle_diagnostic_request"},
    {"shutdown", RunsAs::Await, &inline_branch<shutdown>},
    {"custom_function_call", RunsAs::Task, nullptr, "_handle_custom_function_call",
     "[Kernel] [Listener Thread] Dispatching custom_function_call to worker"},
    {"run_module", RunsAs::Task, nullptr, "_handle_run_module",
     "[Kernel] [Listener Thread] Dispatching run_module to worker"},
    {"event_execution", RunsAs::Task, nullptr, "_handle_event_execution",
     "[Kernel] [Listener Thread] Dispatching event_execution to worker"},
    {"com_event_config_update", RunsAs::Inline, &inline_branch<handle_com_event_config_update>},
    {"python_function_call", RunsAs::Task, nullptr, "_handle_python_function_call",
     "[Kernel] [Listener Thread] Dispatching python_function_call to worker"},
    {"execute_streaming_function", RunsAs::Task, &streaming_function},
    {"cancel_streaming_function", RunsAs::Inline, &inline_branch<cancel_streaming_function>},
    {"interrupt_execution", RunsAs::Inline, &inline_branch<handle_interrupt_execution>},
    {"debug_continue", RunsAs::Inline, &inline_branch<handle_debug_continue>},
    {"debug_step_over", RunsAs::Inline, &inline_branch<handle_debug_step_over>},
    {"debug_step_into", RunsAs::Inline, &inline_branch<handle_debug_step_into>},
    {"debug_step_out", RunsAs::Inline, &inline_branch<handle_debug_step_out>},
    {"debug_stop", RunsAs::Inline, &inline_branch<handle_debug_stop>},
    {"debug_evaluate", RunsAs::Inline, &inline_branch<handle_debug_evaluate>},
    {"debug_update_breakpoints", RunsAs::Inline, &inline_branch<handle_debug_update_breakpoints>},
    {"sys_response", RunsAs::Inline, &inline_branch<handle_sys_response>},
    {"get_object_registry", RunsAs::Inline, &inline_branch<handle_get_object_registry>},
    {"set_hover_mode", RunsAs::Inline, &inline_branch<handle_set_hover_mode>},
    {"language_services_wanted", RunsAs::Inline, &inline_branch<handle_language_services_wanted>},
};

const Route *find_route(nb::handle msg_type) {
    if (!PyUnicode_Check(msg_type.ptr()))
        return nullptr;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(msg_type.ptr(), &size);
    if (!data) {
        // Text UTF-8 cannot carry (a lone surrogate) names no row.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
        return nullptr;
    }
    std::string_view type(data, static_cast<size_t>(size));
    for (const Route &route : ROUTES)
        if (route.type == type)
            return &route;
    return nullptr;
}

// A task handler reports its own failures. One that lets an ordinary exception escape is at
// fault, and its requester still gets an answer: the error reply of a message not handled.
core::Task<> guarded(nb::object self, nb::object handling, nb::object message) {
    std::optional<nb::python_error> failure;
    try {
        co_await handling;
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        failure.emplace(std::move(e));
    }
    if (!failure)
        co_return;
    nb::object msg_type = field(message, INTERNED("type"));
    nb::object error = core::exception_of(*failure);
    nb::object error_type = nb::handle(Py_TYPE(error.ptr())).attr("__name__");
    log().error("[Kernel] Unexpected error in the task for message type ", msg_type, ": ",
                error_type, ": ", error);
    nb::dict reply =
        error_reply_to(message, core::text("Failed to handle message type ", nb::repr(msg_type),
                                           ": ", error_type, ": ", error));
    co_await send_error_message(self, reply);
}

} // namespace

core::Task<> handle_message(nb::object self, nb::object message) {
    if (!PyDict_Check(message.ptr()))
        core::raise(PyExc_TypeError,
                    core::text("handle_message expects a dict, not ",
                               nb::handle(Py_TYPE(message.ptr())).attr("__name__")));
    nb::object msg_type = field(message, INTERNED("type"));
    nb::object request_id = field(message, INTERNED("request_id"), INTERNED("N/A"));

    if (msg_type.equal(INTERNED(CHUNK_HEADER_TYPE))) {
        nb::object whole = co_await self.attr(INTERNED("_handle_chunk_message"))(message);
        if (!whole.is_none())
            co_await self.attr(INTERNED("handle_message"))(whole);
        co_return;
    }

    log().debug("[TIMING] Message received: type=", msg_type, ", request_id=", request_id);
    log().debug("[Kernel] [Listener Thread] Received message type: ", msg_type);

    const Route *route = find_route(msg_type);
    if (!route)
        co_return;
    nb::object handling;
    if (route->start) {
        handling = route->start(self, message);
    } else {
        if (route->announce)
            log().info(route->announce);
        handling = self.attr(route->method)(message);
    }
    if (route->runs_as == RunsAs::Task)
        start_background_task(
            self, guarded(self, handling, message).into_python("PythonKernel.handle_message"));
    else
        co_await handling;
}

} // namespace kernel
