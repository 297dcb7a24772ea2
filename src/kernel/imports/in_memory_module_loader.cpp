// Workbook modules in memory: the finder and loader, and the "update_module" and "delete_module"
// messages that change their sources.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/python_class.hpp"
#include "core/text.hpp"
#include "kernel/imports/imports.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/wire/wire.hpp"

#include <optional>

// InMemoryModuleLoader: finder and loader of workbook modules held in `source_cache`.
//
// The listener loop writes the cache (update_module, delete_module); worker threads read it while
// importing. Each access is one dictionary operation under the GIL, so no lock is needed: an
// import that races an update finishes with whichever source it read.
namespace kernel {
namespace {

// Refuses anything but an exact str, naming the argument and the type received.
void require_str(nb::handle value, const char *argument) {
    if (PyUnicode_CheckExact(value.ptr()))
        return;
    core::raise(PyExc_TypeError,
                core::text(argument, " must be str, not ", core::type_name(value)));
}

nb::dict source_cache(nb::handle self) {
    return nb::borrow<nb::dict>(self.attr(INTERNED("source_cache")));
}

nb::object linecache_cache() { return nb::module_::import_("linecache").attr("cache"); }

void init(nb::handle self) { self.attr("source_cache") = nb::dict(); }

nb::object find_spec(nb::handle self, nb::handle fullname, nb::handle, nb::handle) {
    if (!PyUnicode_CheckExact(fullname.ptr()))
        core::raise(PyExc_TypeError,
                    core::text("fullname must be str, not ", core::type_name(fullname)));
    if (!source_cache(self).contains(fullname))
        return nb::none();
    return nb::module_::import_("importlib.machinery").attr("ModuleSpec")(fullname, self);
}

nb::object create_module(nb::handle, nb::handle) { return nb::none(); }

// The traceback without its leading frames of the kernel module, so that the importer sees the
// user's frames first.
nb::object trimmed_traceback(nb::handle traceback) {
    nb::handle kernel_name = state().module.attr("__name__");
    nb::object tb = nb::borrow(traceback);
    while (!tb.is_none()) {
        nb::object globals = tb.attr("tb_frame").attr("f_globals");
        nb::object name = globals.attr("get")("__name__");
        if (!name.equal(kernel_name))
            break;
        tb = tb.attr("tb_next");
    }
    return tb;
}

void exec_module(nb::handle self, nb::handle module) {
    nb::object name = module.attr("__name__");
    nb::dict cache = source_cache(self);
    if (!cache.contains(name))
        core::raise(PyExc_ImportError, core::text("No source code found for module '", name, "'"));
    nb::object source = cache[name];
    nb::str file_name = virtual_file_name(name);

    nb::list lines;
    for (nb::handle line : source.attr("splitlines")())
        lines.append(nb::str(line) + nb::str("\n"));
    linecache_cache()[file_name] = nb::make_tuple(nb::len(source), nb::none(), lines, file_name);

    // compile and exec as the builtins do them: any source text, and __builtins__ put into the
    // module's namespace, as every Python version expects of module code.
    nb::object namespace_ = module.attr("__dict__");
    std::optional<nb::python_error> failure;
    try {
        nb::object code = state().builtin_compile(source, file_name, "exec");
        state().builtin_exec(code, namespace_);
        return;
    } catch (nb::python_error &e) {
        failure.emplace(std::move(e));
    }
    nb::python_error &error = *failure;
    nb::object exception = core::exception_of(error);
    log().error("[InMemoryModuleLoader] Error executing module '", name, "': ", exception);
    PyObject *traceback = PyException_GetTraceback(exception.ptr());
    nb::object trimmed = trimmed_traceback(traceback ? nb::steal(traceback) : nb::none());
    PyException_SetTraceback(exception.ptr(), trimmed.ptr());
    // The same exception object goes back to the importer, with the trimmed traceback.
    PyObject *type = Py_NewRef(exception.type().ptr());
    PyObject *trace = trimmed.is_none() ? nullptr : trimmed.release().ptr();
    PyErr_Restore(type, exception.release().ptr(), trace);
    throw nb::python_error();
}

void update_module(nb::handle self, nb::handle module_name, nb::handle code) {
    require_str(module_name, "module_name");
    require_str(code, "code");
    source_cache(self)[module_name] = code;
    nb::dict modules = nb::borrow<nb::dict>(nb::module_::import_("sys").attr("modules"));
    if (PyDict_DelItem(modules.ptr(), module_name.ptr()) == 0)
        log().debug("[InMemoryModuleLoader] Removed '", module_name,
                    "' from sys.modules to force reload");
    else
        PyErr_Clear();
}

void delete_module(nb::handle self, nb::handle module_name) {
    require_str(module_name, "module_name");
    if (PyDict_DelItem(source_cache(self).ptr(), module_name.ptr()) == 0)
        log().debug("[InMemoryModuleLoader] Removed '", module_name, "' from source_cache");
    else
        PyErr_Clear();
    nb::object modules = nb::module_::import_("sys").attr("modules");
    if (PyDict_DelItem(modules.ptr(), module_name.ptr()) == 0)
        log().debug("[InMemoryModuleLoader] Removed '", module_name, "' from sys.modules");
    else
        PyErr_Clear();
    nb::str file_name = virtual_file_name(module_name);
    nb::object lines = linecache_cache();
    if (PyDict_Check(lines.ptr()) && PyDict_DelItem(lines.ptr(), file_name.ptr()) == 0)
        log().debug("[InMemoryModuleLoader] Removed '", file_name, "' from linecache");
    else
        PyErr_Clear();
}

} // namespace

nb::str virtual_file_name(nb::handle module_name) {
    return core::text("<virtual:", module_name, ">");
}

nb::object make_in_memory_loader_class(nb::handle module) {
    nb::object abc = nb::module_::import_("importlib.abc");
    nb::object cls = core::make_python_class(
        module, "InMemoryModuleLoader",
        nb::make_tuple(abc.attr("MetaPathFinder"), abc.attr("Loader")),
        "Finds and loads workbook modules from their source text in memory.");

    core::add_method(cls, "__init__", &init);
    core::add_method(cls, "find_spec", &find_spec, nb::arg("fullname"), nb::arg("path").none(),
                     nb::arg("target").none() = nb::none());
    core::add_method(cls, "create_module", &create_module, nb::arg("spec").none());
    core::add_method(cls, "exec_module", &exec_module, nb::arg("module"));
    core::add_method(cls, "update_module", &update_module, nb::arg("module_name").none(),
                     nb::arg("code").none());
    core::add_method(cls, "delete_module", &delete_module, nb::arg("module_name").none());
    return cls;
}

} // namespace kernel

// The "update_module" and "delete_module" branches: workbook module sources in memory.
namespace kernel {
namespace {

nb::dict module_reply(const char *type, nb::handle module_name) {
    nb::dict reply;
    reply[INTERNED("type")] = type;
    reply[INTERNED("module_name")] = module_name;
    return reply;
}

// The module name of the message, or null when it is missing or empty ("" counts as missing).
nb::object module_name_of(nb::handle message) {
    nb::object name = field(message, INTERNED("module_name"), INTERNED(""));
    int truth = PyObject_IsTrue(name.ptr());
    if (truth < 0)
        throw nb::python_error();
    return truth ? name : nb::object();
}

} // namespace

core::Task<> handle_update_module(nb::object self, nb::object message) {
    nb::object module_name = module_name_of(message);
    if (!module_name.is_valid()) {
        log().warning("[Kernel] Received update_module without module_name");
        co_await self.attr(INTERNED("send_message"))(
            error_reply("update_module requires module_name"));
        co_return;
    }
    nb::object code = field(message, INTERNED("code"), INTERNED(""));
    module_global("in_memory_loader").attr("update_module")(module_name, code);
    log().info("[Kernel] Updated virtual module: ", module_name);
    co_await self.attr(INTERNED("send_message"))(module_reply("module_updated", module_name));
}

core::Task<> handle_delete_module(nb::object self, nb::object message) {
    nb::object module_name = module_name_of(message);
    if (!module_name.is_valid()) {
        log().warning("[Kernel] Received delete_module without module_name");
        co_await self.attr(INTERNED("send_message"))(
            error_reply("delete_module requires module_name"));
        co_return;
    }
    module_global("in_memory_loader").attr("delete_module")(module_name);
    nb::object bridge = self.attr("_lsp_bridge");
    if (!bridge.is_none())
        bridge.attr("delete_module")(module_name);
    log().info("[Kernel] Deleted virtual module: ", module_name);
    co_await self.attr(INTERNED("send_message"))(module_reply("module_deleted", module_name));
}

} // namespace kernel
