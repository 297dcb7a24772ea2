// Unloading the modules that were imported from directories that are going away.
//
// A module comes from a directory when its file lies in that directory or below it: the
// directory's name is a prefix of the file's path and ends at a path separator. (A bare prefix
// test would take "/x/lib2/m.py" for a file of "/x/lib" and unload packages that no changed
// directory provided.) The empty name, which stands for the working directory on sys.path,
// names no file. Runs on the listener loop with the GIL held.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/imports/imports.hpp"
#include "kernel/kernel_module.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace kernel {
namespace {

bool is_separator(Py_UCS4 c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// True when `file` names a file in `directory` or below it; both are str.
bool lies_under(nb::handle file, nb::handle directory) {
    Py_ssize_t directory_length = PyUnicode_GetLength(directory.ptr());
    Py_ssize_t file_length = PyUnicode_GetLength(file.ptr());
    if (directory_length == 0 || file_length < directory_length)
        return false;
    Py_ssize_t prefix = PyUnicode_Tailmatch(file.ptr(), directory.ptr(), 0, directory_length, -1);
    if (prefix < 0)
        throw nb::python_error();
    if (prefix == 0)
        return false;
    return file_length == directory_length ||
           is_separator(PyUnicode_ReadChar(directory.ptr(), directory_length - 1)) ||
           is_separator(PyUnicode_ReadChar(file.ptr(), directory_length));
}

// The module's __file__ when it is a str, else null. A module's attributes live in its dict;
// anything else that was put into sys.modules is asked as Python would ask it, and an object
// that cannot say where it came from came from no directory.
nb::object file_of(nb::handle module) {
    if (PyModule_CheckExact(module.ptr())) {
        PyObject *file =
            PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), INTERNED("__file__").ptr());
        if (!file && PyErr_Occurred())
            throw nb::python_error();
        return file && PyUnicode_Check(file) ? nb::borrow(file) : nb::object();
    }
    PyObject *file = PyObject_GetAttr(module.ptr(), INTERNED("__file__").ptr());
    if (!file) {
        nb::python_error error;
        if (!core::is_ordinary(error))
            throw error;
        return nb::object();
    }
    nb::object owned = nb::steal(file);
    return PyUnicode_Check(file) ? owned : nb::object();
}

// The part of a module name before its first ".".
nb::object top_level(nb::handle name) {
    Py_ssize_t length = PyUnicode_GetLength(name.ptr());
    Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, 1);
    if (dot == -2)
        throw nb::python_error();
    if (dot == -1)
        return nb::borrow(name);
    nb::object head = nb::steal(PyUnicode_Substring(name.ptr(), 0, dot));
    if (!head.is_valid())
        throw nb::python_error();
    return head;
}

Py_ssize_t depth_of(nb::handle name) {
    Py_ssize_t dots = PyUnicode_Count(name.ptr(), INTERNED(".").ptr(), 0, PY_SSIZE_T_MAX);
    if (dots < 0)
        throw nb::python_error();
    return dots;
}

} // namespace

Py_ssize_t unload_modules_under(nb::handle directories) {
    nb::object modules = nb::module_::import_("sys").attr("modules");

    // The top-level packages of the modules whose files lie under the directories.
    nb::set packages;
    for (nb::handle item : nb::list(modules.attr("items")())) {
        nb::handle name = nb::handle(PyTuple_GET_ITEM(item.ptr(), 0));
        if (!PyUnicode_Check(name.ptr()))
            continue;
        nb::object file = file_of(nb::handle(PyTuple_GET_ITEM(item.ptr(), 1)));
        if (!file.is_valid())
            continue;
        for (nb::handle directory : directories) {
            if (lies_under(file, directory)) {
                packages.add(top_level(name));
                break;
            }
        }
    }
    if (packages.size() == 0)
        return 0;

    // Whole top-level packages, from a fresh look at sys.modules: submodules without a file and
    // modules of the same name loaded from elsewhere go too. Deepest first; the sort is stable,
    // so equals keep the order sys.modules has them in.
    std::vector<std::pair<Py_ssize_t, nb::object>> doomed;
    for (nb::handle name : nb::list(modules.attr("keys")())) {
        if (PyUnicode_Check(name.ptr()) && core::contains(packages, top_level(name)))
            doomed.emplace_back(depth_of(name), nb::borrow(name));
    }
    std::stable_sort(doomed.begin(), doomed.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });

    bool tracing = log().enabled(core::Logger::DEBUG);
    for (const auto &entry : doomed) {
        nb::handle name = entry.second;
        if (!core::contains(modules, name))
            continue;
        if (PyObject_DelItem(modules.ptr(), name.ptr()) < 0)
            throw nb::python_error();
        if (tracing)
            log().debug("Unloaded module: ", name);
    }
    // The count the hub is told is the number chosen, not the number actually deleted.
    return static_cast<Py_ssize_t>(doomed.size());
}

} // namespace kernel
