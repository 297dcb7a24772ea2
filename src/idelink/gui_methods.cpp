// Decoration of GUI-thread bodies with the IDE's run_in_qt_thread.
#include "idelink/gui_methods.hpp"

#include "core/text.hpp"
#include "idelink/idelink_module.hpp"

namespace idelink {

void add_gui_method(nb::handle cls, const char *name, nb::object body) {
    nb::object marked = module_global("run_in_qt_thread")(body);
    // The decorator returns a plain function; name it as a method of the class for reprs and
    // tracebacks.
    nb::setattr(marked, "__name__", nb::str(name));
    nb::setattr(marked, "__qualname__", core::text("IdeLink.", name));
    nb::setattr(cls, name, marked);
}

} // namespace idelink
