// PythonKernel's constructor and its Python class, and main(), the kernel process's entry
// coroutine.

#include "kernel/python_kernel.hpp"
#include "core/hub_connection.hpp"
#include "core/objects.hpp"
#include "core/task.hpp"
#include "core/text.hpp"
#include "kernel/debug/debug.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/wire/wire.hpp"

// PythonKernel's constructor and its Python class.
namespace kernel {
namespace {

// Sets the fields in the order the constructor is documented to set them.
void construct(nb::handle self, nb::object workbook_id, nb::object host, nb::object port,
               nb::object connection_args) {
    ModuleState &st = state();
    nb::object sys = nb::module_::import_("sys");
    nb::object threading = nb::module_::import_("threading");
    nb::object quorvel = st.quorvel;

    self.attr("workbook_id") = workbook_id;
    self.attr("server_url") =
        core::text(core::secured_mode() ? "wss" : "ws", "://", host, ":", port);
    self.attr("websocket") = nb::none();
    self.attr("executor") = module_global("CodeExecutor")();
    self.attr("virtual_env") = module_global("VirtualEnvironment")(workbook_id);
    self.attr("running") = false;
    self.attr("_loop") = nb::none();
    self.attr("_thread_pool") =
        nb::module_::import_("concurrent.futures")
            .attr("ThreadPoolExecutor")(nb::arg("max_workers") = self.attr("WORKER_POOL_SIZE"));
    self.attr("_lsp_bridge") = module_global("LSPBridge")();
    self.attr("agent") = module_global("Agent")(quorvel.attr("excel"), quorvel.attr("context"));
    bool has_args = !connection_args.is_none() && nb::len(connection_args) > 0;
    self.attr("connection_args") = has_args ? connection_args : nb::dict();
    self.attr("_win32_watcher") = nb::none();
    self.attr("_com_event_registrar") = nb::none();
    self.attr("_object_keeper") = nb::dict();
    self.attr("_object_keeper_lock") = threading.attr("Lock")();
    self.attr("_response_futures") = nb::dict();
    self.attr("_response_data") = nb::dict();
    self.attr("_response_lock") = threading.attr("Lock")();
    self.attr("_canceled_streaming_requests") = nb::set();
    self.attr("_chunk_buffers") = nb::dict();
    self.attr("_socket_lock") = nb::none();
    self.attr("_batcher") = nb::none();
    self.attr("_original_stdout") = sys.attr("stdout");
    self.attr("_original_stderr") = sys.attr("stderr");
    // Tasks started by the dispatcher, kept alive until done.
    self.attr("_background_tasks") = nb::set();
    // Stream output and host requests posted from any thread, sent in order on the loop.
    self.attr("_output_channel") = nb::none();
    // Gathers waiting messages into few frames, when the connection asks for it.
    self.attr("_frame_gatherer") = nb::none();
    // Bounds the formula calls at the worker pool at once; made on first use.
    self.attr("_call_admission") = nb::none();
    self.attr("_work_queue") = nb::none();

    nb::list meta_path = nb::borrow<nb::list>(sys.attr("meta_path"));
    nb::object loader = module_global("in_memory_loader");
    if (!core::contains(meta_path, loader)) {
        meta_path.insert(0, loader);
        log().debug("[Kernel] Registered InMemoryModuleLoader in sys.meta_path");
    }
}

} // namespace

void start_background_task(nb::handle self, nb::object awaitable) {
    nb::object task = state().asyncio.attr("create_task")(awaitable);
    nb::object tasks = self.attr(INTERNED("_background_tasks"));
    tasks.attr("add")(task);
    task.attr("add_done_callback")(tasks.attr("discard"));
}

void bind_python_kernel(nb::module_ &module) {
    nb::class_<PythonKernel>(module, "PythonKernel", nb::dynamic_attr(),
                             "One workbook's kernel: connects to the hub, dispatches its messages "
                             "and runs what they ask for on a pool of worker threads.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<PythonKernel> self, nb::object workbook_id, nb::object host,
               nb::object port, nb::object connection_args) {
                new (self.p) PythonKernel();
                construct(self.h, workbook_id, host, port, connection_args);
            },
            nb::arg("workbook_id"), nb::arg("host") = "127.0.0.1", nb::arg("port") = "8000",
            nb::arg("connection_args").none() = nb::none())
        .def("connect", core::coroutine_method<connect>("PythonKernel.connect"))
        .def("listen", core::coroutine_method<listen>("PythonKernel.listen"))
        .def("run", core::coroutine_method<run>("PythonKernel.run"))
        .def("disconnect", core::coroutine_method<disconnect>("PythonKernel.disconnect"))
        .def("handle_message",
             core::coroutine_method<handle_message, nb::object>("PythonKernel.handle_message"),
             nb::arg("message").none())
        .def("send_message",
             core::coroutine_method<send_message, nb::object>("PythonKernel.send_message"),
             nb::arg("message").none())
        .def("_send_message_direct",
             core::coroutine_method<send_message_direct, nb::object>(
                 "PythonKernel._send_message_direct"),
             nb::arg("message").none())
        .def("_send_chunked_message",
             core::coroutine_method<send_chunked_message, nb::object, nb::object, nb::object>(
                 "PythonKernel._send_chunked_message"),
             nb::arg("raw_json"), nb::arg("message_type").none(), nb::arg("request_id").none())
        .def("_execute_code_async",
             core::coroutine_method<execute_code_async, nb::object, nb::object, nb::object,
                                    nb::object>("PythonKernel._execute_code_async"),
             nb::arg("code").none(), nb::arg("request_id").none(),
             nb::arg("function_name").none() = nb::none(), nb::arg("source").none() = "ide")
        .def("_deserialize_args", &deserialize_args, nb::arg("args").none())
        .def("_handle_debug_run_module",
             core::coroutine_method<handle_debug_run_module, nb::object, nb::object, nb::object,
                                    nb::object, nb::object, nb::object, nb::object>(
                 "PythonKernel._handle_debug_run_module"),
             nb::arg("module_name").none(), nb::arg("function_name").none(), nb::arg("args").none(),
             nb::arg("breakpoints").none(), nb::arg("request_id").none(),
             nb::arg("workbook_id").none(), nb::arg("source").none() = "ide")
        .def("has_active_debugger", &has_active_debugger)
        .def("_execute_streaming_function",
             core::coroutine_method<execute_streaming_function, nb::object, nb::object, nb::object,
                                    nb::object, nb::object, nb::object>(
                 "PythonKernel._execute_streaming_function"),
             nb::arg("request_id").none(), nb::arg("module_name").none(),
             nb::arg("function_name").none(), nb::arg("args").none(), nb::arg("workbook_id").none(),
             nb::arg("source").none())
        .def("_handle_chunk_message",
             core::coroutine_method<handle_chunk_message, nb::object>(
                 "PythonKernel._handle_chunk_message"),
             nb::arg("message").none())
        .attr("WORKER_POOL_SIZE") = WORKER_POOL_SIZE;
    bind_handlers(module.attr("PythonKernel"));
}

} // namespace kernel

// main(): the kernel process's entry coroutine.
namespace kernel {
namespace {

// old_com.init_excel_host of the host bridge, or None when neither import path provides it.
nb::object find_init_excel_host() {
    nb::object package = state().module.attr("__package__");
    std::string relative =
        nb::bool_(package) ? core::to_std_string(package) + ".quorvel.old_com" : std::string();
    for (const std::string &name : {relative, std::string("quorvel.old_com")}) {
        if (name.empty())
            continue;
        PyObject *old_com = PyImport_ImportModule(name.c_str());
        if (!old_com) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError))
                throw nb::python_error();
            PyErr_Clear();
            continue;
        }
        nb::object module = nb::steal(old_com);
        if (nb::hasattr(module, "init_excel_host"))
            return module.attr("init_excel_host");
    }
    return nb::none();
}

} // namespace

core::Task<> main_entry(nb::object workbook_id, nb::object port, nb::object connection_args) {
    nb::object args = connection_args.is_none() ? nb::dict() : connection_args;
    nb::object platform = field(args, INTERNED("platform"), INTERNED(""));
    bool windows = nb::module_::import_("sys").attr("platform").equal(nb::str("win32"));
    if (windows && !platform.equal(nb::str("web"))) {
        // Prepares the Excel host before connecting; its failure ends main.
        nb::object init_excel_host = find_init_excel_host();
        if (!init_excel_host.is_none())
            init_excel_host("quorvel_id", workbook_id);
    }
    nb::object kernel = module_global("PythonKernel")(workbook_id, nb::arg("port") = port,
                                                      nb::arg("connection_args") = connection_args);
    co_await kernel.attr("run")();
}

} // namespace kernel
