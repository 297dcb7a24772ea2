// main(): the kernel process's entry coroutine.
#include "kernel/entry.hpp"

#include "core/interned.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/message_fields.hpp"

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
