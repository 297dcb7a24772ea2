// Outbound JSON serialisation.
#include "kernel/json_dumps.hpp"

namespace kernel {

namespace {
PyObject *g_dumps = nullptr; // orjson.dumps or json.dumps, owned for the life of the process
bool g_orjson = false;
PyObject *g_json_dumps = nullptr; // json.dumps, for what orjson refuses

// json.dumps of `obj`, or null with the error of `failed` restored when it fails too. orjson
// refuses strings that are not valid UTF-8 (lone surrogates, which user code can print); the
// standard module escapes them, so that such output is still delivered.
PyObject *standard_dumps(PyObject *obj, PyObject *type, PyObject *value, PyObject *traceback) {
    if (!g_json_dumps) {
        PyObject *json = PyImport_ImportModule("json");
        g_json_dumps = json ? PyObject_GetAttrString(json, "dumps") : nullptr;
        Py_XDECREF(json);
    }
    PyObject *text = g_json_dumps ? PyObject_CallOneArg(g_json_dumps, obj) : nullptr;
    if (text) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return text;
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return nullptr;
}
} // namespace

void init_json_dumps() {
    PyObject *orjson = PyImport_ImportModule("orjson");
    if (orjson) {
        g_dumps = PyObject_GetAttrString(orjson, "dumps");
        Py_DECREF(orjson);
        g_orjson = g_dumps != nullptr;
    }
    if (!g_dumps) {
        PyErr_Clear();
        nb::object json = nb::module_::import_("json");
        g_dumps = nb::object(json.attr("dumps")).release().ptr();
    }
}

bool json_dumps_uses_orjson() { return g_orjson; }

nb::str json_dumps(nb::handle obj) {
    PyObject *encoded = PyObject_CallOneArg(g_dumps, obj.ptr());
    if (!encoded && g_orjson && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (PyObject *text = standard_dumps(obj.ptr(), type, value, traceback))
            return nb::steal<nb::str>(text);
    }
    if (!encoded)
        throw nb::python_error();
    if (!g_orjson)
        return nb::steal<nb::str>(encoded);
    PyObject *text =
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded), nullptr);
    Py_DECREF(encoded);
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

} // namespace kernel
