// The table of the kernel's message handlers, and handle_message, which dispatches by `type`
// through it after the reassembly of chunked messages. Each row names a message type, how its
// handler runs, the C++ function and, for the handlers that are PythonKernel methods, the
// method's name; bind_handlers binds those methods from the same rows.
//
// A row runs its handler in one of three ways: as a task the loop does not wait for (user code,
// long work), awaited inside handle_message, or inline (light work answered at once). The read
// loop waits for handle_message, so only task rows let it read on while their work runs.
#include "kernel/kernel_handlers.hpp"

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/task.hpp"
#include "core/text.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kernel {
namespace {

enum class RunsAs { Task, Await, Inline };

// A handler: returns the task that handles `message`.
using Handler = core::Task<> (*)(nb::object self, nb::object message);
// Prepares a run on the loop before its task starts, and returns that task's awaitable.
using Start = nb::object (*)(nb::handle self, nb::handle message);

struct Route {
    std::string_view type;        // the message's "type"
    RunsAs runs_as;               // a task, awaited, or inline
    Handler handler;              // or, when null, `start`
    const char *method = nullptr; // when set, the handler is bound as this PythonKernel method
                                  // and dispatched through it, so a replaced method sees its
                                  // messages; `announce`, if any, is logged at info first
    const char *announce = nullptr;
    Start start = nullptr;
};

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
        log().debug("[Kernel] Code is not text: ", core::type_name(code));
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
    {"execution_request", RunsAs::Task, nullptr, nullptr, nullptr, &execution_request},
    {"add_path", RunsAs::Inline, &handle_add_path},
    {"remove_path", RunsAs::Inline, &handle_remove_path},
    {"reset_path", RunsAs::Inline, &handle_reset_path},
    {"set_package_paths", RunsAs::Inline, &handle_set_package_paths},
    {"set_python_paths", RunsAs::Inline, &handle_set_python_paths},
    {"unload_and_clear_paths", RunsAs::Inline, &handle_unload_and_clear_paths},
    {"reset_namespace", RunsAs::Inline, &reset_namespace},
    {"update_module", RunsAs::Inline, &handle_update_module},
    {"delete_module", RunsAs::Inline, &handle_delete_module},
    {"completion_request", RunsAs::Await, &handle_completion_request, "_handle_completion_request"},
    {"signature_help_request", RunsAs::Await, &handle_signature_help_request,
     "_handle_signature_help_request"},
    {"hover_request", RunsAs::Await, &handle_hover_request, "_handle_hover_request"},
    {"diagnostic_request", RunsAs::Await, &handle_diagnostic_request, "_handle_diagnostic_request"},
    {"shutdown", RunsAs::Await, &shutdown},
    {"custom_function_call", RunsAs::Task, &handle_custom_function_call,
     "_handle_custom_function_call",
     "[Kernel] [Listener Thread] Dispatching custom_function_call to worker"},
    {"run_module", RunsAs::Task, &handle_run_module, "_handle_run_module",
     "[Kernel] [Listener Thread] Dispatching run_module to worker"},
    {"event_execution", RunsAs::Task, &handle_event_execution, "_handle_event_execution",
     "[Kernel] [Listener Thread] Dispatching event_execution to worker"},
    {"com_event_config_update", RunsAs::Inline, &handle_com_event_config_update},
    {"python_function_call", RunsAs::Task, &handle_python_function_call,
     "_handle_python_function_call",
     "[Kernel] [Listener Thread] Dispatching python_function_call to worker"},
    {"execute_streaming_function", RunsAs::Task, nullptr, nullptr, nullptr, &streaming_function},
    {"cancel_streaming_function", RunsAs::Inline, &cancel_streaming_function},
    {"interrupt_execution", RunsAs::Inline, &handle_interrupt_execution},
    {"debug_continue", RunsAs::Inline, &handle_debug_continue},
    {"debug_step_over", RunsAs::Inline, &handle_debug_step_over},
    {"debug_step_into", RunsAs::Inline, &handle_debug_step_into},
    {"debug_step_out", RunsAs::Inline, &handle_debug_step_out},
    {"debug_stop", RunsAs::Inline, &handle_debug_stop},
    {"debug_evaluate", RunsAs::Inline, &handle_debug_evaluate},
    {"debug_update_breakpoints", RunsAs::Inline, &handle_debug_update_breakpoints},
    {"sys_response", RunsAs::Inline, &handle_sys_response},
    {"get_object_registry", RunsAs::Inline, &handle_get_object_registry},
    {"set_hover_mode", RunsAs::Inline, &handle_set_hover_mode},
    {"language_services_wanted", RunsAs::Inline, &handle_language_services_wanted},
};

// Binds row I's handler as its PythonKernel method, when it has one.
template <size_t I> void bind_route(nb::handle kernel_class) {
    constexpr Route route = ROUTES[I];
    if constexpr (route.method != nullptr) {
        static const std::string qualname = std::string("PythonKernel.") + route.method;
        nb::cpp_function_def(core::coroutine_method<route.handler, nb::object>(qualname.c_str()),
                             nb::scope(kernel_class), nb::name(route.method), nb::is_method(),
                             nb::arg("message").none());
    }
}

template <size_t... I> void bind_routes(nb::handle kernel_class, std::index_sequence<I...>) {
    (bind_route<I>(kernel_class), ...);
}

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
    auto failure = co_await core::ordinary_failure(handling);
    if (!failure)
        co_return;
    nb::object msg_type = field(message, INTERNED("type"));
    nb::object error = core::exception_of(*failure);
    nb::object error_type = core::type_name(error);
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
                    core::text("handle_message expects a dict, not ", core::type_name(message)));
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
    } else if (route->method) {
        if (route->announce)
            log().info(route->announce);
        handling = self.attr(route->method)(message);
    } else {
        handling = route->handler(self, message).into_python("PythonKernel.handle_message");
    }
    if (route->runs_as == RunsAs::Task)
        start_background_task(
            self, guarded(self, handling, message).into_python("PythonKernel.handle_message"));
    else
        co_await handling;
}

void bind_handlers(nb::handle kernel_class) {
    bind_routes(kernel_class, std::make_index_sequence<std::size(ROUTES)>());
}

} // namespace kernel
