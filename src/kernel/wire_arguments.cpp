// _deserialize_args: wire-format argument lists converted with the host bridge's Serializer.
#include "core/errors.hpp"
#include "core/text.hpp"
#include "kernel/handlers.hpp"
#include "kernel/kernel_module.hpp"

namespace kernel {

nb::list deserialize_args(nb::handle, nb::object args) {
    // A plain list only: None and list subclasses are refused, so nothing unexpected is
    // iterated on behalf of the caller.
    if (!PyList_CheckExact(args.ptr()))
        core::raise(PyExc_TypeError, core::text("args must be a list, not ",
                                                nb::handle(Py_TYPE(args.ptr())).attr("__name__")));
    nb::object from_wire = state().quorvel.attr("Serializer").attr("from_wire");
    nb::list values;
    for (nb::handle arg : nb::borrow<nb::list>(args))
        values.append(from_wire(arg));
    return values;
}

} // namespace kernel
