// _execute_code_async: a code cell handed to the worker pool, its output streamed while it
// runs, and its result or error reported after every streamed message.
#include "core/errors.hpp"
#include "core/interned.hpp"
#include "kernel/code_executor.hpp"
#include "kernel/handlers.hpp"
#include "kernel/interrupts.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"
#include "kernel/output_channel.hpp"
#include "kernel/stream_callbacks.hpp"
#include "kernel/user_call.hpp"

#include <chrono>

namespace kernel {
namespace {

// The worker's function: runs the cell with the stream callbacks. Runs on a pool thread.
nb::object worker_function(nb::object executor, nb::object code, nb::object request_id,
                           nb::object stdout_callback, nb::object stderr_callback) {
    return nb::cpp_function([=]() {
        bool tracing = log().enabled(core::Logger::DEBUG); // the thread's name costs a lookup
        if (tracing)
            log().debug("[Kernel] [Worker Thread ", current_thread_name(),
                        "] Executing code (request_id=", request_id, ")");
        nb::object record =
            executor.attr("execute")(code, nb::arg("stdout_callback") = stdout_callback,
                                     nb::arg("stderr_callback") = stderr_callback);
        if (tracing)
            log().debug("[Kernel] [Worker Thread ", current_thread_name(),
                        "] Execution completed (request_id=", request_id, ")");
        return record;
    });
}

bool is_named(nb::handle function_name) {
    return PyUnicode_Check(function_name.ptr()) && PyUnicode_GET_LENGTH(function_name.ptr()) > 0;
}

} // namespace

core::Task<> execute_code_async(nb::object self, nb::object code, nb::object request_id,
                                nb::object function_name, nb::object source) {
    auto start = std::chrono::steady_clock::now();
    log().debug("[TIMING] Execution started: request_id=", request_id,
                ", function=", function_name);
    log().debug("[Kernel] [Async Task] Submitting execution to worker thread pool (request_id=",
                request_id, ")");
    std::optional<nb::python_error> failure;
    try {
        StreamCallbacks callbacks =
            make_stream_callbacks(self, request_id, self.attr("workbook_id"), source);
        nb::object run = worker_function(self.attr("executor"), code, request_id,
                                         callbacks.stdout_callback, callbacks.stderr_callback);
        auto work = [run, request_id] {
            RunningRequest running(request_id);
            return run();
        };
        nb::object record = co_await on_worker(self, work);
        log().debug("[TIMING] Execution completed: request_id=", request_id,
                    ", elapsed=", core::one_decimal(milliseconds_since(start)), "ms");
        nb::object success = record["success"];
        log().debug("[Kernel] [Async Task] Execution finished, success=", success,
                    " (request_id=", request_id, ")");
        nb::object workbook_id = self.attr("workbook_id");
        nb::object send = self.attr(INTERNED("send_message"));
        if (nb::cast<bool>(success)) {
            log().info("[Kernel] Sending execution_result (success) for request_id=", request_id);
            nb::object result = record["result"];
            if (!result.is_none()) {
                nb::dict output;
                output["type"] = "result_output";
                output["content"] = core::text("Out: ", nb::repr(result), "\n");
                output["request_id"] = request_id;
                output["workbook_id"] = workbook_id;
                output["source"] = source;
                co_await send(output);
            }
            nb::dict reply;
            reply["type"] = "execution_result";
            reply["success"] = true;
            reply["result"] =
                is_named(function_name) || result.is_none() ? result : nb::object(nb::repr(result));
            reply["request_id"] = request_id;
            reply["function_name"] = function_name;
            reply["workbook_id"] = workbook_id;
            reply["source"] = source;
            co_await send(reply);
        } else {
            nb::object error = record["error"];
            log().info("[Kernel] Sending execution_error for request_id=", request_id, ": ", error);
            nb::dict reply;
            reply["type"] = "execution_error";
            reply["success"] = false;
            reply["error"] = error;
            reply["request_id"] = request_id;
            reply["function_name"] = function_name;
            reply["workbook_id"] = workbook_id;
            reply["source"] = source;
            co_await send(reply);
        }
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        failure.emplace(std::move(e));
    }
    if (!failure)
        co_return;
    log().error("[TIMING] Execution failed: request_id=", request_id,
                ", elapsed=", core::one_decimal(milliseconds_since(start)),
                "ms, error=", core::exception_of(*failure));
    log().error("[Kernel] Unexpected error in _execute_code_async: ", core::exception_of(*failure));
    nb::dict reply = message_of({{"type", INTERNED("execution_error")},
                                 {"success", Py_False},
                                 {"error", error_object(*failure)},
                                 {"request_id", request_id},
                                 {"source", source}});
    co_await send_error_message(self, reply);
}

} // namespace kernel
