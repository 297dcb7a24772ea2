// Console handlers: program output, result values, execution outcomes and hub console lines.
#include "core/objects.hpp"
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"
#include "idelink/message_table.hpp"

namespace idelink {
namespace {

// With the console set to "ide_only", output of runs started elsewhere is not shown.
bool filtered_out(nb::handle window, nb::handle message) {
    nb::object filter = window.attr(INTERNED("_console_source_filter"));
    if (!filter.equal(INTERNED("ide_only")))
        return false;
    return !field(message, INTERNED("source"), INTERNED("ide")).equal(INTERNED("ide"));
}

// `content` as text with its leading and trailing line feeds removed.
nb::object without_line_feeds(nb::handle content) {
    nb::object text = PyUnicode_Check(content.ptr()) ? nb::borrow(content) : nb::str(content);
    return text.attr("strip")(INTERNED("\n"));
}

// A standard stream line; returns whether one was shown.
bool stream_line(nb::handle self, nb::handle message, const char *color) {
    nb::object window = main_window(self);
    if (filtered_out(window, message))
        return false;
    nb::object content = field(message, INTERNED("content"), INTERNED(""));
    if (!truthy(content))
        return false;
    console_line(window, content, color, Level::Simple, true);
    return true;
}

} // namespace

void handle_stdout(nb::handle self, nb::handle message) {
    stream_line(self, message, STDOUT_COLOR);
}

void handle_stderr(nb::handle self, nb::handle message) {
    if (stream_line(self, message, ERROR_COLOR))
        main_window(self).attr("_show_error_light")();
}

void handle_result_output(nb::handle self, nb::handle message) {
    nb::object window = main_window(self);
    if (filtered_out(window, message))
        return;
    nb::object text = without_line_feeds(field(message, INTERNED("content"), INTERNED("")));
    if (truthy(text))
        console_line(window, text, SUCCESS_COLOR, Level::Simple);
}

void handle_execution_result(nb::handle self, nb::handle message) {
    nb::object window = main_window(self);
    if (filtered_out(window, message))
        return;
    nb::object function_name = field(message, INTERNED("function_name"), INTERNED(""));
    bool named = truthy(function_name);
    if (truthy(field(message, INTERNED("success"), Py_False))) {
        nb::str text =
            named ? core::text("Execution completed successfully for ", function_name, "()")
                  : core::text("Execution completed successfully");
        console_line(window, text, SUCCESS_COLOR, Level::Simple);
        return;
    }
    nb::object error = field(message, INTERNED("error"), INTERNED("Unknown error"));
    nb::str text = named ? core::text("Execution failed for ", function_name, "(): ", error)
                         : core::text("Execution failed: ", error);
    console_line(window, text, ERROR_COLOR, Level::Simple);
}

void handle_log_to_console(nb::handle self, nb::handle message) {
    nb::object text = without_line_feeds(field(message, INTERNED("content"), INTERNED("")));
    if (truthy(text))
        console_line(main_window(self), text, field(message, INTERNED("color")), Level::Detailed);
}

} // namespace idelink
