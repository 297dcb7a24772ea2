// Code cells: CodeExecutor runs a cell on a worker, and _execute_code_async is the task of an
// "execution_request" that hands it to the worker pool and replies.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/streams/streams.hpp"
#include "kernel/wire/wire.hpp"

#include <chrono>
#include <optional>

// CodeExecutor.execute: a cell is an expression (its value is the result), two parts joined by
// "; " between statements (the head executed, the tail evaluated when it is an expression), or
// statements.
//
// execute() runs on a worker thread. What the code's thread writes to sys.stdout / sys.stderr
// goes to this execution's captures (see StreamRedirect in streams.hpp); other threads are not
// affected.
namespace kernel {
namespace {

nb::dict fresh_globals() {
    nb::object quorvel = state().quorvel;
    nb::dict globals;
    globals["__builtins__"] = nb::module_::import_("builtins");
    globals["quorvel"] = quorvel;
    globals["excel"] = quorvel.attr("excel");
    globals["context"] = quorvel.attr("context");
    return globals;
}

void reset_namespace(nb::handle self) {
    self.attr("globals") = fresh_globals();
    self.attr("locals") = nb::dict();
}

bool is_syntax_error(const nb::python_error &error) { return error.matches(PyExc_SyntaxError); }

// compile(text, "<kernel>", "eval"), or null when the text is not an expression. Most cells are
// statements, so the SyntaxError is the common answer: it is cleared here without becoming a
// C++ exception, whose unwinding cost more than the compile.
nb::object compile_expression(nb::handle text) {
    static PyObject *filename = PyUnicode_InternFromString("<kernel>");
    static PyObject *mode = PyUnicode_InternFromString("eval");
    PyObject *code = PyObject_CallFunctionObjArgs(state().builtin_compile.ptr(), text.ptr(),
                                                  filename, mode, nullptr);
    if (code)
        return nb::steal(code);
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

// The number of top-level statements of `text`, or -1 when it does not parse.
Py_ssize_t statement_count(nb::handle text) {
    try {
        nb::object body = nb::module_::import_("ast").attr("parse")(text).attr("body");
        return static_cast<Py_ssize_t>(nb::len(body));
    } catch (nb::python_error &e) {
        if (!is_syntax_error(e) && !e.matches(PyExc_ValueError)) // NUL characters up to 3.11
            throw;
        return -1;
    }
}

// True when the first "; " of the cell stands between two of its top-level statements, so that
// running head and then tail is running the cell. A "; " inside a string, inside a function's
// body or after "if x:" is not such a place: cutting there would run half a statement, or
// run at the top level what the cell has inside a block; and a cell that does not parse as a
// whole must run nothing.
bool splits_between_statements(nb::handle code, nb::handle head, nb::handle tail) {
    Py_ssize_t whole = statement_count(code);
    if (whole < 0)
        return false;
    Py_ssize_t first = statement_count(head);
    Py_ssize_t second = first < 0 ? -1 : statement_count(tail);
    return second >= 0 && first + second == whole;
}

// Runs the cell; returns the value of its evaluated part, or None.
nb::object run_cell(nb::handle code, nb::handle globals, nb::handle locals) {
    ModuleState &st = state();
    if (nb::object expression = compile_expression(code); expression.is_valid())
        return st.builtin_eval(expression, globals, locals);
    if (PyUnicode_Check(code.ptr()) && core::contains(code, INTERNED("; "))) {
        nb::object parts = code.attr("split")("; ", 1);
        nb::object head = parts[0];
        nb::object tail = nb::len(parts) > 1 ? nb::object(parts[1]) : nb::object(nb::str(""));
        if (nb::len(tail) > 0 && splits_between_statements(code, head, tail)) {
            st.builtin_exec(head, globals, locals);
            if (nb::object expression = compile_expression(tail); expression.is_valid())
                return st.builtin_eval(expression, globals, locals);
            st.builtin_exec(tail, globals, locals);
            return nb::none();
        }
    }
    st.builtin_exec(code, globals, locals);
    return nb::none();
}

void flush(const char *name) {
    PyObject *stream = PySys_GetObject(name); // borrowed
    if (!stream)
        core::raise(PyExc_RuntimeError, core::text("lost sys.", name));
    nb::handle(stream).attr("flush")();
}

void flush_quietly(const char *name) {
    PyObject *stream = PySys_GetObject(name);
    if (!stream)
        return;
    PyObject *result = PyObject_CallMethod(stream, "flush", nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_Clear();
}

nb::dict execute(nb::handle self, nb::object code, nb::object stdout_callback,
                 nb::object stderr_callback) {
    nb::object capture_class = module_global("StreamCapture");
    nb::object stdout_capture = capture_class(stdout_callback);
    nb::object stderr_capture = capture_class(stderr_callback);
    nb::dict record;
    record["success"] = true;
    record["stdout"] = "";
    record["stderr"] = "";
    record["error"] = nb::none();
    record["result"] = nb::none();

    std::optional<nb::python_error> failure;
    {
        StreamRedirect out(StreamKind::Stdout, stdout_capture);
        StreamRedirect err(StreamKind::Stderr, stderr_capture);
        try {
            InterruptibleSpan interruptible;
            record["result"] = run_cell(code, self.attr("globals"), self.attr("locals"));
            flush("stdout");
            flush("stderr");
        } catch (nb::python_error &e) {
            if (!is_user_error(e))
                throw;
            failure.emplace(std::move(e));
        }
    }
    if (failure) {
        record["success"] = false;
        record["error"] = error_object(*failure);
        flush_quietly("stdout");
        flush_quietly("stderr");
    }
    record["stdout"] = stdout_capture.attr("getvalue")();
    record["stderr"] = stderr_capture.attr("getvalue")();
    return record;
}

} // namespace

bool is_user_error(const nb::python_error &error) {
    return error.matches(PyExc_Exception) || error.matches(PyExc_SystemExit) ||
           error.matches(PyExc_KeyboardInterrupt);
}

void bind_code_executor(nb::module_ &module) {
    nb::class_<CodeExecutor>(module, "CodeExecutor", nb::dynamic_attr(),
                             "Runs code cells against one globals/locals pair that persists "
                             "until reset_namespace().")
        .def("__init__",
             [](nb::pointer_and_handle<CodeExecutor> self) {
                 new (self.p) CodeExecutor();
                 reset_namespace(self.h);
             })
        .def("execute", &execute, nb::arg("code").none(),
             nb::arg("stdout_callback").none() = nb::none(),
             nb::arg("stderr_callback").none() = nb::none(),
             "Runs a cell; returns {success, stdout, stderr, error, result}. Never raises for "
             "errors of the code.")
        .def("reset_namespace", &reset_namespace);
}

} // namespace kernel

// _execute_code_async: a code cell handed to the worker pool, its output streamed while it
// runs, and its result or error reported after every streamed message.
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

// Runs the cell on a worker, then sends its output and its reply.
core::Task<> run_and_reply(nb::object self, nb::object code, nb::object request_id,
                           nb::object function_name, nb::object source,
                           std::chrono::steady_clock::time_point start) {
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
}

} // namespace

core::Task<> execute_code_async(nb::object self, nb::object code, nb::object request_id,
                                nb::object function_name, nb::object source) {
    auto start = std::chrono::steady_clock::now();
    log().debug("[TIMING] Execution started: request_id=", request_id,
                ", function=", function_name);
    log().debug("[Kernel] [Async Task] Submitting execution to worker thread pool (request_id=",
                request_id, ")");
    auto failure = co_await core::ordinary_failure(
        run_and_reply(self, code, request_id, function_name, source, start));
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
