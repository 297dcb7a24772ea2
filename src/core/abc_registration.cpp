// collections.abc registration, so asyncio.iscoroutine and isinstance checks accept our types.
#include "core/abc_registration.hpp"

namespace core::detail {

bool register_abc(PyTypeObject *type, const char *abc_name) {
    PyObject *abc = PyImport_ImportModule("collections.abc");
    if (!abc)
        return false;
    PyObject *base = PyObject_GetAttrString(abc, abc_name);
    Py_DECREF(abc);
    if (!base)
        return false;
    PyObject *result = PyObject_CallMethod(base, "register", "O", type);
    Py_DECREF(base);
    if (!result)
        return false;
    Py_DECREF(result);
    return true;
}

} // namespace core::detail
