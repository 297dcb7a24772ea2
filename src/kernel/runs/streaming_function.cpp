// Streaming functions: the generator run whose items go to the requester one by one, and the
// open streams that a "cancel_streaming_function" may name.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

#include <chrono>

// _execute_streaming_function: a workbook generator whose items go to the requester one by one
// while it runs. One item is in flight at a time: the worker waits until each item message has
// been sent before it pulls the next one, so items keep their order and precede the final
// message. A cancel takes effect when the generator yields next, or, while it computes, as an
// interrupt (KeyboardInterrupt raised in it).
namespace kernel {
namespace {

// How long the task waits for a module the hub was asked to sync, and how often it looks.
constexpr double MODULE_SYNC_WAIT = 5.0;
constexpr double MODULE_SYNC_POLL = 0.1;
// How long the worker waits for one item's message to be sent.
constexpr double ITEM_SEND_TIMEOUT = 1.0;
// After this many items the worker lets other threads take the GIL (a sleep of no time). Each
// item's wait for its send lets them in already; a sleep of a millisecond, as once here, made
// the pause most of a fast stream's time (10,000 items: 1.1 s of 1.6 s).
constexpr int ITEMS_PER_PAUSE = 10;
constexpr double PAUSE_SECONDS = 0.0;

struct Stream {
    nb::object request_id, module_name, function_name, args, workbook_id, source;
};

nb::dict item_message(nb::handle self, const Stream &stream, nb::handle result, bool done) {
    return message_of({{"type", INTERNED("streaming_function_result")},
                       {"request_id", stream.request_id},
                       {"result", result},
                       {"done", done ? Py_True : Py_False},
                       {"workbook_id", self.attr("workbook_id")}});
}

nb::dict final_message(nb::handle self, const Stream &stream, nb::handle error) {
    if (!error.is_valid())
        return message_of({{"type", INTERNED("streaming_function_result")},
                           {"request_id", stream.request_id},
                           {"done", Py_True},
                           {"workbook_id", self.attr("workbook_id")}});
    return message_of({{"type", INTERNED("streaming_function_result")},
                       {"request_id", stream.request_id},
                       {"error", error},
                       {"done", Py_True},
                       {"workbook_id", self.attr("workbook_id")}});
}

nb::list public_names(nb::handle names, size_t limit) {
    nb::list out;
    for (nb::handle name : names) {
        if (out.size() == limit)
            break;
        if (!nb::cast<bool>(nb::str(name).attr("startswith")("_")))
            out.append(name);
    }
    return out;
}

// The last item of a cancelled stream, and the worker result record that says so.
nb::object canceled_stream(nb::handle self, const Stream &stream, nb::handle channel) {
    // Honoured: the id leaves the set before the requester hears of it.
    self.attr("_canceled_streaming_requests").attr("discard")(stream.request_id);
    SendConfirmation confirmation;
    confirmation.post(channel, item_message(self, stream, nb::str("Canceled"), true));
    confirmation.wait(ITEM_SEND_TIMEOUT);
    return message_of({{"canceled", Py_True}});
}

// The generator's body on the worker: returns the worker result record.
nb::object stream_items(nb::handle self, const Stream &stream, nb::handle channel) {
    nb::object module_name = stream.module_name, function_name = stream.function_name;
    nb::module_::import_("importlib").attr("import_module")(module_name);
    nb::object modules = nb::module_::import_("sys").attr("modules");
    if (!core::contains(modules, module_name)) {
        log().error("[Kernel] Module not found in sys.modules: ", module_name);
        log().error("[Kernel] Sample of available modules: ", public_names(modules, 20));
        log().error("[Kernel] in_memory_loader.source_cache keys: ",
                    nb::list(module_global("in_memory_loader").attr("source_cache")));
        return message_of({{"error", core::text("Module not found: ", module_name)}});
    }
    nb::object module = modules[module_name];
    log().debug("[Kernel] Found module in sys.modules: ", module_name);
    if (!PyUnicode_Check(function_name.ptr()) || !nb::hasattr(module, function_name)) {
        log().error("[Kernel] Function not found in module: ", function_name);
        log().error("[Kernel] Available functions in module: ",
                    public_names(nb::module_::import_("builtins").attr("dir")(module), SIZE_MAX));
        return message_of({{"error", core::text("Function not found: ", function_name)}});
    }
    nb::object function = module.attr(function_name);
    log().debug("[Kernel] Found function: ", function_name);
    nb::object generator = function(*self.attr("_deserialize_args")(stream.args));
    if (!PyGen_Check(generator.ptr())) {
        log().error("[Kernel] Function ", function_name, " is not a generator function");
        return message_of(
            {{"error", core::text("Function ", function_name, " is not a generator function")}});
    }
    log().info("[Kernel] Starting to stream results from generator: ", function_name);
    nb::object canceled = self.attr("_canceled_streaming_requests");
    nb::object to_wire = state().quorvel.attr("Serializer").attr("to_wire");
    nb::object sleep = nb::module_::import_("time").attr("sleep");
    long result_count = 0;
    SendConfirmation confirmation;
    try {
        for (nb::handle item : generator) {
            if (core::contains(canceled, stream.request_id))
                return canceled_stream(self, stream, channel);
            confirmation.post(channel, item_message(self, stream, to_wire(item), false));
            // The pause overlaps the item's send; the generator still waits for both.
            if (++result_count % ITEMS_PER_PAUSE == 0)
                sleep(PAUSE_SECONDS);
            confirmation.wait(ITEM_SEND_TIMEOUT);
        }
    } catch (nb::python_error &e) {
        // The interrupt of a cancel that came while the generator computed (the cancel names
        // the stream until the task ends): the stream ends as cancelled, not as failed.
        if (e.matches(PyExc_KeyboardInterrupt) && core::contains(canceled, stream.request_id))
            return canceled_stream(self, stream, channel);
        throw;
    }
    return message_of({{"success", Py_True}, {"result_count", nb::int_(result_count)}});
}

nb::object run_streaming_in_thread(nb::handle self, const Stream &stream,
                                   const StreamCallbacks &callbacks, nb::handle channel) {
    log().debug("[TIMING] Streaming worker started: thread=", current_thread_name(),
                ", request_id=", stream.request_id);
    CapturedRun run =
        run_captured(callbacks, true, [&] { return stream_items(self, stream, channel); });
    if (!run.error)
        return run.value;
    log().error("[TIMING] Streaming error: request_id=", stream.request_id,
                ", error=", core::exception_of(*run.error));
    return message_of({{"error", nb::str(core::exception_of(*run.error))},
                       {"traceback", extract_traceback_string(core::exception_of(*run.error))}});
}

// The module, or a sync request and up to MODULE_SYNC_WAIT seconds for its update_module (handled
// on this same loop meanwhile). False when it never came.
core::Task<bool> await_module(nb::object self, nb::object module_name) {
    nb::object cache = module_global("in_memory_loader").attr("source_cache");
    if (core::contains(cache, module_name))
        co_return true;
    log().warning("[Kernel] Module '", module_name, "' not in cache, requesting sync");
    {
        nb::dict message = message_of({{"type", INTERNED("request_module_sync")},
                                       {"module_name", module_name},
                                       {"workbook_id", self.attr("workbook_id")}});
        co_await self.attr(INTERNED("send_message"))(message);
    }
    nb::object sleep = state().asyncio.attr("sleep");
    for (double waited = 0.0; !core::contains(cache, module_name) && waited < MODULE_SYNC_WAIT;
         waited += MODULE_SYNC_POLL)
        co_await sleep(MODULE_SYNC_POLL);
    co_return core::contains(cache, module_name);
}

// The reason a request's fields cannot name a stream, or null: names are text (or null, which
// finds no module), arguments a list (or null for none).
nb::object wrong_field(const Stream &stream) {
    auto class_name = [](nb::handle value) { return core::type_name(value); };
    for (auto [name, value] : {std::pair{"module_name", stream.module_name.ptr()},
                               std::pair{"function_name", stream.function_name.ptr()}})
        if (value != Py_None && !PyUnicode_Check(value))
            return core::text(name, " must be a string, not ", class_name(value));
    if (!stream.args.is_none() && !PyList_Check(stream.args.ptr()))
        return core::text("args must be a list, not ", class_name(stream.args));
    return nb::object();
}

// Runs the generator on a thread of its own and sends the stream's final message.
core::Task<> stream_and_finish(nb::object self, Stream stream,
                               std::chrono::steady_clock::time_point start) {
    nb::object send = self.attr(INTERNED("send_message"));
    StreamCallbacks callbacks =
        make_stream_callbacks(self, stream.request_id, stream.workbook_id, stream.source);
    nb::object channel = output_channel_of(self);
    auto work = [self, stream, callbacks, channel] {
        RunningRequest running(stream.request_id);
        return run_streaming_in_thread(self, stream, callbacks, channel);
    };
    nb::object record =
        co_await on_own_thread(self, nb::str(core::text("Stream-", stream.request_id)), work);
    auto elapsed = core::one_decimal(milliseconds_since(start));
    nb::object error = field(record, INTERNED("error"));
    if (truthy(error)) {
        log().error("[TIMING] Streaming failed: request_id=", stream.request_id,
                    ", elapsed=", elapsed, "ms, error=", error);
        {
            nb::dict message = final_message(self, stream, error);
            co_await send(message);
        }
    } else if (truthy(field(record, INTERNED("canceled")))) {
        log().debug("[TIMING] Streaming canceled: request_id=", stream.request_id,
                    ", elapsed=", elapsed, "ms");
    } else {
        log().debug("[TIMING] Streaming completed: request_id=", stream.request_id,
                    ", elapsed=", elapsed,
                    "ms, results=", field(record, INTERNED("result_count"), nb::int_(0)));
        {
            nb::dict message = final_message(self, stream, nb::handle());
            co_await send(message);
        }
    }
}

} // namespace

core::Task<> execute_streaming_function(nb::object self, nb::object request_id,
                                        nb::object module_name, nb::object function_name,
                                        nb::object args, nb::object workbook_id,
                                        nb::object source) {
    Stream stream{request_id, module_name, function_name, args, workbook_id, source};
    OpenStream open(self, request_id); // a cancel may name it until the task ends
    auto start = std::chrono::steady_clock::now();
    log().debug("[TIMING] Streaming execution started: request_id=", request_id,
                ", function=", module_name, ".", function_name);
    log().info("[Kernel] _execute_streaming_function: module=", module_name,
               ", function=", function_name, ", request_id=", request_id);
    nb::object send = self.attr(INTERNED("send_message"));
    if (nb::object problem = wrong_field(stream); problem.is_valid()) {
        log().error("[Kernel] execute_streaming_function refused: ", problem);
        nb::dict message = final_message(self, stream, problem);
        co_await send(message);
        co_return;
    }
    if (!co_await await_module(self, module_name)) {
        log().error("[TIMING] Streaming failed: request_id=", request_id,
                    ", elapsed=", core::one_decimal(milliseconds_since(start)),
                    "ms, error=Module not found after sync");
        log().error("[Kernel] Module '", module_name, "' not found after sync attempt");
        {
            nb::dict message = final_message(
                self, stream,
                core::text("Module '", module_name, "' not found after sync attempt"));
            co_await send(message);
        }
        co_return;
    }
    auto failure = co_await core::ordinary_failure(stream_and_finish(self, stream, start));
    self.attr("_canceled_streaming_requests").attr("discard")(request_id);
    if (failure) {
        log().error("[TIMING] Streaming exception: request_id=", request_id,
                    ", elapsed=", core::one_decimal(milliseconds_since(start)),
                    "ms, error=", core::exception_of(*failure));
        {
            nb::dict message = final_message(self, stream, nb::str(core::exception_of(*failure)));
            co_await send(message);
        }
    }
}

} // namespace kernel

// Open streams and the cancels that name them.
namespace kernel {
namespace {

// False for an id that cannot be a key (a list): such a stream cannot be cancelled.
bool hashable(nb::handle request_id) {
    if (PyObject_Hash(request_id.ptr()) != -1)
        return true;
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        throw nb::python_error();
    PyErr_Clear();
    return false;
}

long count_of(const nb::dict &table, nb::handle request_id) {
    PyObject *count = PyDict_GetItemWithError(table.ptr(), request_id.ptr());
    if (!count && PyErr_Occurred())
        throw nb::python_error();
    return count ? PyLong_AsLong(count) : 0;
}

void add(nb::dict &table, nb::handle request_id, long delta) {
    long count = count_of(table, request_id) + delta;
    if (count > 0)
        table[request_id] = count;
    else if (PyDict_DelItem(table.ptr(), request_id.ptr()) < 0)
        PyErr_Clear(); // was not there
}

} // namespace

void OpenStreams::announce(nb::handle request_id) {
    if (!hashable(request_id))
        return;
    add(m_open, request_id, 1);
    add(m_announced, request_id, 1);
}

void OpenStreams::start(nb::handle request_id) {
    if (!hashable(request_id))
        return;
    if (count_of(m_announced, request_id) > 0)
        add(m_announced, request_id, -1);
    else
        add(m_open, request_id, 1);
}

void OpenStreams::end(nb::handle kernel, nb::handle request_id) {
    if (!hashable(request_id))
        return;
    add(m_open, request_id, -1);
    if (count_of(m_open, request_id) == 0)
        kernel.attr("_canceled_streaming_requests").attr("discard")(request_id);
}

bool OpenStreams::is_open(nb::handle request_id) const {
    return hashable(request_id) && count_of(m_open, request_id) > 0;
}

OpenStreams *open_streams_of(nb::handle kernel) {
    if (!nb::isinstance<PythonKernel>(kernel))
        return nullptr;
    return &nb::inst_ptr<PythonKernel>(kernel)->m_open_streams;
}

OpenStream::OpenStream(nb::handle kernel, nb::handle request_id)
    : m_kernel(nb::borrow(kernel)), m_request_id(nb::borrow(request_id)) {
    if (OpenStreams *streams = open_streams_of(kernel))
        streams->start(request_id);
}

OpenStream::~OpenStream() {
    // Runs when the task's frame ends, also while an exception unwinds it: keep that exception.
    OpenStreams *streams = open_streams_of(m_kernel);
    if (!streams)
        return;
    PyObject *raised = core::detail::fetch_exception();
    try {
        streams->end(m_kernel, m_request_id);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("OpenStream");
    }
    if (raised)
        core::detail::restore_exception(raised);
}

core::Task<> cancel_streaming_function(nb::object self, nb::object message) {
    nb::object request_id = field(message, INTERNED("request_id"));
    log().info("[Kernel] Received cancel_streaming_function for request_id: ", request_id);
    OpenStreams *streams = open_streams_of(self);
    if (streams && !streams->is_open(request_id)) {
        log().warning("[Kernel] Ignored cancel_streaming_function for request_id ", request_id,
                      ": no stream with that id is running or announced");
        co_return;
    }
    nb::object canceled = self.attr("_canceled_streaming_requests");
    if (nb::len(canceled) >= static_cast<size_t>(MAX_PENDING_CANCELS)) {
        log().warning("[Kernel] Ignored cancel_streaming_function for request_id ", request_id,
                      ": ", MAX_PENDING_CANCELS, " cancels are pending already");
        co_return;
    }
    canceled.attr("add")(request_id);
    if (!PyUnicode_Check(request_id.ptr()))
        co_return;
    // A generator that yields soon ends at its yield; one still computing after CANCEL_GRACE
    // is interrupted rather than left to reach its next yield.
    nb::object check = nb::cpp_function([canceled, request_id] {
        if (core::contains(canceled, request_id)) // the stream has not ended meanwhile
            interrupt_runs(request_id);
    });
    state().asyncio.attr("get_running_loop")().attr("call_later")(CANCEL_GRACE, check);
}

} // namespace kernel
