// Creation of Python classes whose methods are C++.
#include "core/python_class.hpp"

namespace core {

nb::object make_python_class(nb::handle module, const char *name, nb::tuple bases,
                             const char *doc) {
    nb::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(bases[0].ptr())));
    return metaclass(name, bases, namespace_);
}

} // namespace core
