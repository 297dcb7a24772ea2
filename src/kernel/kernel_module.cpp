// The kernel extension module: its imports, constants and classes, set up at load.

#include "kernel/kernel_module.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/imports/imports.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/streams/streams.hpp"
#include "kernel/wire/wire.hpp"

#include <initializer_list>
#include <string>

namespace nb = nanobind;
using namespace kernel;

namespace {

// The package the kernel module belongs to ("python_server"), or "" when loaded on its own.
std::string package_of(nb::handle module) {
    std::string name = core::to_std_string(module.attr("__name__"));
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

// Imports `module_name` relative to the kernel's package first, then by its absolute name.
nb::object import_sibling(const std::string &package, const char *module_name) {
    if (!package.empty()) {
        PyObject *module = PyImport_ImportModule((package + "." + module_name).c_str());
        if (module)
            return nb::steal(module);
        if (!PyErr_ExceptionMatches(PyExc_ImportError))
            throw nb::python_error();
        PyErr_Clear();
    }
    return nb::module_::import_(module_name);
}

void import_names(nb::module_ &m, const std::string &package, const char *module_name,
                  std::initializer_list<const char *> names) {
    nb::object sibling = import_sibling(package, module_name);
    for (const char *name : names)
        m.attr(name) = sibling.attr(name);
}

// The host bridge, registered as sys.modules["quorvel"] (and its submodules under "quorvel."),
// so that user code's `import quorvel` yields the very module the kernel configures.
nb::object import_host_bridge(const std::string &package) {
    nb::object quorvel = import_sibling(package, "quorvel");
    nb::dict modules = nb::borrow<nb::dict>(nb::module_::import_("sys").attr("modules"));
    modules["quorvel"] = quorvel;
    std::string prefix = core::to_std_string(quorvel.attr("__name__")) + ".";
    for (nb::handle name : nb::list(modules.keys())) {
        std::string full = core::to_std_string(name);
        if (full.rfind(prefix, 0) == 0)
            modules[("quorvel." + full.substr(prefix.size())).c_str()] = modules[name];
    }
    return quorvel;
}

} // namespace

NB_MODULE(kernel, m) {
    // A connected kernel leaves references in process-wide places that outlive it (threads
    // keep the sys.stderr of their creation for error reports), so kernel objects may still be
    // alive when the interpreter exits. That is expected here, not a reference-count fault.
    nb::set_leak_warnings(false);
    nb::module_::import_("quorvel_logging").attr("setup_logging_subprocess")();
    ModuleState &st = state();
    core::start_module(st, m);
    std::string package = package_of(m);

    import_names(m, package, "lsp_bridge", {"LSPBridge"});
    import_names(m, package, "agent", {"Agent"});
    import_names(m, package, "debugger", {"QuorvelDebugger"});
    import_names(m, package, "win32_com",
                 {"get_win32_events_dictionary", "get_win32_workbook_tree", "Win32ComWatcher",
                  "Win32ComEventRegistrar"});
    st.quorvel = import_host_bridge(package);
    m.attr("quorvel") = st.quorvel;

    st.asyncio = nb::module_::import_("asyncio");
    nb::object json = nb::module_::import_("json");
    st.json_loads = json.attr("loads");
    st.json_decode_error = json.attr("JSONDecodeError");
    st.connection_closed = nb::module_::import_("websockets.exceptions").attr("ConnectionClosed");
    st.websocket_connect = nb::module_::import_("websockets.asyncio.client").attr("connect");
    nb::object builtins = nb::module_::import_("builtins");
    st.builtin_compile = builtins.attr("compile");
    st.builtin_eval = builtins.attr("eval");
    st.builtin_exec = builtins.attr("exec");

    m.attr("MAX_MESSAGE_SIZE") = MAX_MESSAGE_SIZE;
    m.attr("CHUNK_SIZE") = CHUNK_SIZE;
    m.attr("CHUNK_HEADER_TYPE") = CHUNK_HEADER_TYPE;
    m.attr("DEBUG_MESSAGE_SEND_TIMEOUT") = DEBUG_MESSAGE_SEND_TIMEOUT;
    m.attr("MAX_FRAME_BYTES") = MAX_FRAME_BYTES;
    m.attr("MAX_CHUNKED_MESSAGE_SIZE") = MAX_CHUNKED_MESSAGE_SIZE;
    m.attr("MAX_TOTAL_CHUNKS") = MAX_TOTAL_CHUNKS;
    m.attr("MAX_CHUNK_BUFFERS") = MAX_CHUNK_BUFFERS;
    m.attr("MAX_PENDING_CANCELS") = MAX_PENDING_CANCELS;
    m.attr("MAX_QUEUED_OUTPUT") = MAX_QUEUED_OUTPUT;
    m.attr("RESUME_QUEUED_OUTPUT") = RESUME_QUEUED_OUTPUT;

    init_json_dumps();
    m.def("json_dumps", &json_dumps, nb::arg("obj").none(),
          "Serialises an outbound message: orjson when importable, else json.dumps.");

    nb::object loader_class = make_in_memory_loader_class(m);
    m.attr("InMemoryModuleLoader") = loader_class;
    nb::object loader = loader_class();
    m.attr("in_memory_loader") = loader;
    nb::list meta_path = nb::borrow<nb::list>(nb::module_::import_("sys").attr("meta_path"));
    if (!core::contains(meta_path, loader))
        meta_path.insert(0, loader);

    m.attr("StreamCapture") = make_stream_capture_class(m);
    m.attr("KernelStreamHook") = make_kernel_stream_hook_class(m);
    m.def("extract_tracebak_string", &extract_traceback_string, nb::arg("e"),
          "The formatted traceback of an exception, as one string.");
    m.def("_parse_error_location", &parse_error_location, nb::arg("traceback_str"),
          nb::arg("in_memory_modules"),
          "The workbook module and line a traceback points at: {module, line, file} or {}.");
    bind_code_executor(m);
    OutputChannel::bind(m);
    bind_virtual_environment(m);
    FrameGatherer::bind(m);
    CallAdmission::bind(m);
    WorkQueue::bind(m);
    bind_python_kernel(m);
    bind_object_keeper(m);
    bind_message_batcher(m);
    m.def(
        "main",
        [](nb::object workbook_id, nb::object port, nb::object connection_args) {
            return main_entry(workbook_id, port, connection_args).into_python("main");
        },
        nb::arg("workbook_id"), nb::arg("port"), nb::arg("connection_args").none() = nb::none(),
        "Connects a kernel for the workbook to the hub on 127.0.0.1:port and serves it until "
        "the connection ends.");
}
