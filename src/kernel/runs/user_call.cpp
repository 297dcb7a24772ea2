// What every path that runs user code shares: capturing, importing, dispatching to the worker
// pool, converting wire arguments and formatting tracebacks.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/streams/streams.hpp"
#include "kernel/wire/wire.hpp"

#include <atomic>

// Capturing, importing and dispatching to the worker pool for the paths that run user code.
namespace kernel {

CapturedRun run_captured(const StreamCallbacks &callbacks, bool print_errors,
                         const std::function<nb::object()> &body) {
    nb::object capture_class = module_global("StreamCapture");
    nb::object stdout_capture = capture_class(callbacks.stdout_callback);
    nb::object stderr_capture = capture_class(callbacks.stderr_callback);
    CapturedRun run;
    {
        StreamRedirect out(StreamKind::Stdout, stdout_capture);
        StreamRedirect err(StreamKind::Stderr, stderr_capture);
        try {
            InterruptibleSpan interruptible;
            run.value = body();
        } catch (nb::python_error &e) {
            if (!is_user_error(e))
                throw;
            if (print_errors)
                print_traceback(e);
            run.error.emplace(std::move(e));
        }
    }
    run.logs = stdout_capture.attr("getvalue")() + stderr_capture.attr("getvalue")();
    return run;
}

nb::dict result_record(const CapturedRun &run) {
    if (run.error)
        return message_of({{"status", INTERNED("error")},
                           {"result", Py_None},
                           {"logs", run.logs},
                           {"error", extract_traceback_string(core::exception_of(*run.error))}});
    return message_of({{"status", INTERNED("success")},
                       {"result", run.value[1]},
                       {"base_result", run.value[0]},
                       {"logs", run.logs}});
}

void print_traceback(const nb::python_error &error) {
    nb::object exception = core::exception_of(error);
    nb::module_::import_("traceback")
        .attr("print_exception")(exception.type(), exception, exception.attr("__traceback__"));
}

nb::object import_workbook_module(nb::handle module_name, nb::handle missing_text) {
    // The import statement's own machinery: a module already in sys.modules is found without
    // running any Python code, a new or updated one goes through the meta path.
    if (!PyUnicode_Check(module_name.ptr()))
        core::raise(PyExc_TypeError, "module name must be str");
    nb::object imported = nb::steal(
        PyImport_ImportModuleLevelObject(module_name.ptr(), nullptr, nullptr, nullptr, 0));
    if (!imported.is_valid())
        throw nb::python_error();
    PyObject *module = PyImport_GetModule(module_name.ptr());
    if (!module) {
        if (PyErr_Occurred())
            throw nb::python_error();
        core::raise(PyExc_ImportError, missing_text);
    }
    return nb::steal(module);
}

nb::object function_of(nb::handle module, nb::handle module_name, nb::handle function_name) {
    if (!PyUnicode_Check(function_name.ptr()) || !nb::hasattr(module, function_name))
        core::raise(PyExc_AttributeError, core::text("Function '", function_name,
                                                     "' not found in module '", module_name, "'"));
    return module.attr(function_name);
}

core::Task<nb::object> on_worker(nb::object kernel, std::function<nb::object()> fn) {
    // C++ errors of `fn` leave it as Python errors.
    nb::object done = WorkQueue::submit(work_queue_of(kernel), nb::cpp_function(std::move(fn)));
    nb::object result;
    try {
        result = co_await done;
    } catch (nb::python_error &e) {
        done.attr("cancel")(); // not started yet: it never will
        // An interrupt that reached the run after its user code returned, in the kernel's own
        // Python calls: the run fails as interrupted, through the path's own failure reply.
        if (e.matches(PyExc_KeyboardInterrupt) && truthy(done.attr("done")()))
            core::raise(PyExc_RuntimeError, "The run was interrupted as it ended");
        throw;
    }
    // Every message the code wrote goes out before anything reports its outcome.
    nb::object channel = kernel.attr("_output_channel");
    if (!channel.is_none())
        co_await OutputChannel::flush(channel);
    co_return result;
}

namespace {

std::atomic<int> own_threads{0};

// Settles `done` on its loop with the outcome of a thread's work, unless it was settled.
void settle_from_thread(nb::handle loop, nb::handle done, nb::handle method, nb::handle value) {
    nb::object settle = nb::cpp_function([](nb::object future, nb::str how, nb::object outcome) {
        if (!truthy(future.attr("done")()))
            future.attr(how)(outcome);
    });
    try {
        loop.attr("call_soon_threadsafe")(settle, done, method, value);
    } catch (nb::python_error &) {
        // The loop is closed: nobody waits for the outcome any more.
    }
}

} // namespace

core::Task<nb::object> on_own_thread(nb::object kernel, nb::str name,
                                     std::function<nb::object()> fn) {
    if (own_threads.fetch_add(1) >= MAX_OWN_THREADS) {
        --own_threads;
        core::raise(PyExc_RuntimeError, core::text("The kernel runs ", MAX_OWN_THREADS,
                                                   " streams already; end one first"));
    }
    nb::object loop = state().asyncio.attr("get_running_loop")();
    nb::object done = loop.attr(INTERNED("create_future"))();
    nb::object body = nb::cpp_function(std::move(fn));
    nb::object runner = nb::cpp_function([body, done, loop]() {
        try {
            nb::object value = body();
            settle_from_thread(loop, done, nb::str("set_result"), value);
        } catch (nb::python_error &e) {
            settle_from_thread(loop, done, nb::str("set_exception"), core::exception_of(e));
        }
        --own_threads;
    });
    try {
        nb::module_::import_("threading")
            .attr("Thread")(nb::arg("target") = runner, nb::arg("name") = name,
                            nb::arg("daemon") = true)
            .attr("start")();
    } catch (nb::python_error &) {
        --own_threads;
        throw;
    }
    nb::object result = co_await done;
    nb::object channel = kernel.attr("_output_channel");
    if (!channel.is_none())
        co_await OutputChannel::flush(channel);
    co_return result;
}

core::Task<nb::object> run_and_report(nb::object kernel, std::function<nb::object()> work,
                                      const char *logs_title,
                                      std::function<nb::object(nb::dict)> report) {
    try {
        nb::object record = co_await on_worker(kernel, std::move(work));
        nb::object logs = field(record, INTERNED("logs"), INTERNED(""));
        if (truthy(logs))
            log().info(logs_title, logs);
        co_await report(nb::borrow<nb::dict>(record));
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        co_return core::exception_of(e);
    }
    co_return nb::none();
}

nb::str out_line(nb::handle value) { return core::text("Out: ", nb::repr(value), "\n"); }

nb::object current_thread_name() {
    return nb::module_::import_("threading").attr("current_thread")().attr("name");
}

} // namespace kernel

// Formatting tracebacks and finding the workbook module line an error came from.
namespace kernel {
namespace {

nb::object to_int(nb::handle digits) {
    nb::object number = nb::steal(PyNumber_Long(digits.ptr()));
    if (!number.is_valid())
        throw nb::python_error();
    return number;
}

} // namespace

nb::dict error_object(const nb::python_error &error) {
    return error_object(core::exception_of(error));
}

nb::dict error_object(nb::handle exception) {
    nb::dict object;
    object["type"] = core::type_name(exception);
    object["message"] = nb::str(exception);
    object["traceback"] = extract_traceback_string(exception);
    return object;
}

nb::dict error_object(const char *type, const char *message, const char *traceback) {
    nb::dict object;
    object["type"] = type;
    object["message"] = message;
    object["traceback"] = traceback;
    return object;
}

nb::str extract_traceback_string(nb::handle exception) {
    PyObject *traceback = PyException_GetTraceback(exception.ptr());
    nb::object trace = traceback ? nb::steal(traceback) : nb::none();
    nb::object format = nb::module_::import_("traceback").attr("format_exception");
    nb::object lines = format(exception.type(), exception, trace);
    return nb::borrow<nb::str>(nb::str("").attr("join")(lines));
}

nb::dict parse_error_location(nb::handle traceback_text, nb::handle in_memory_modules) {
    nb::object re = nb::module_::import_("re");
    nb::dict location;
    nb::list matches = nb::borrow<nb::list>(
        re.attr("findall")(R"(File ["\']<virtual:(\w+)>["\'], line (\d+))", traceback_text));
    if (matches.size() > 0) {
        nb::object last = matches[matches.size() - 1];
        location["module"] = last[0];
        location["line"] = to_int(last[1]);
        location["file"] = core::text("<virtual:", last[0], ">");
        return location;
    }
    for (nb::handle name : in_memory_modules) {
        nb::object pattern = nb::str(R"(File ["\'][^"\']*)") + re.attr("escape")(name) +
                             nb::str(R"([^"\']*["\'], line (\d+))");
        nb::object match = re.attr("search")(pattern, traceback_text);
        if (!match.is_none()) {
            location["module"] = name;
            location["line"] = to_int(match.attr("group")(1));
            location["file"] = core::text("<virtual:", name, ">");
            return location;
        }
    }
    return location;
}

} // namespace kernel

// _deserialize_args: wire-format argument lists converted with the host bridge's Serializer.
namespace kernel {

nb::list deserialize_args(nb::handle, nb::object args) {
    // A plain list only: None and list subclasses are refused, so nothing unexpected is
    // iterated on behalf of the caller.
    if (!PyList_CheckExact(args.ptr()))
        core::raise(PyExc_TypeError,
                    core::text("args must be a list, not ", core::type_name(args)));
    nb::object from_wire = state().quorvel.attr("Serializer").attr("from_wire");
    nb::list values;
    for (nb::handle arg : nb::borrow<nb::list>(args))
        values.append(from_wire(arg));
    return values;
}

} // namespace kernel
