// Calls on the IDE main window, and the decoration of GUI-thread bodies with the IDE's
// run_in_qt_thread.

#include "idelink/main_window.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"

// Calls on the IDE main window.
namespace idelink {

nb::object main_window(nb::handle self) { return self.attr(INTERNED("main_window")); }

void console_line(nb::handle window, nb::handle text, nb::handle color, Level level,
                  bool from_std) {
    ModuleState &st = state();
    nb::handle output_level = level == Level::Simple ? st.output_simple : st.output_detailed;
    nb::object log_to_console = window.attr(INTERNED("log_to_console"));
    if (from_std)
        log_to_console(text, color, nb::arg("level") = output_level, nb::arg("from_std") = true);
    else
        log_to_console(text, color, nb::arg("level") = output_level);
}

void console_line(nb::handle window, nb::handle text, const char *color, Level level,
                  bool from_std) {
    nb::object color_object = color ? nb::object(nb::str(color)) : nb::none();
    console_line(window, text, color_object, level, from_std);
}

void show_status(nb::handle window, nb::handle text) {
    window.attr("statusBar")().attr("showMessage")(text);
}

} // namespace idelink

// Decoration of GUI-thread bodies with the IDE's run_in_qt_thread.
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
