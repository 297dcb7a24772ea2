// Outbound JSON serialisation.
#include "kernel/json_dumps.hpp"

namespace kernel {

namespace {
PyObject *g_dumps = nullptr; // orjson.dumps or json.dumps, owned for the life of the process
bool g_orjson = false;
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
