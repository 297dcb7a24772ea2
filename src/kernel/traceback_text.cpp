// Formatting tracebacks and finding the workbook module line an error came from.
#include "kernel/traceback_text.hpp"

#include "core/text.hpp"

namespace kernel {
namespace {

nb::object to_int(nb::handle digits) {
    nb::object number = nb::steal(PyNumber_Long(digits.ptr()));
    if (!number.is_valid())
        throw nb::python_error();
    return number;
}

} // namespace

nb::str extract_traceback_string(nb::handle exception) {
    PyObject *traceback = PyException_GetTraceback(exception.ptr());
    nb::object trace = traceback ? nb::steal(traceback) : nb::none();
    nb::object format = nb::module_::import_("traceback").attr("format_exception");
    nb::object lines = format(exception.type(), exception, trace);
    return nb::borrow<nb::str>(nb::str("").attr("join")(lines));
}

nb::dict parse_error_location(nb::handle traceback_text, nb::handle in_memory_modules) {
    nb::object re = nb::module_::import_("re");
    nb::dict location;
    nb::list matches = nb::borrow<nb::list>(
        re.attr("findall")(R"(File ["\']<virtual:(\w+)>["\'], line (\d+))", traceback_text));
    if (matches.size() > 0) {
        nb::object last = matches[matches.size() - 1];
        location["module"] = last[0];
        location["line"] = to_int(last[1]);
        location["file"] = core::text("<virtual:", last[0], ">");
        return location;
    }
    for (nb::handle name : in_memory_modules) {
        nb::object pattern = nb::str(R"(File ["\'][^"\']*)") + re.attr("escape")(name) +
                             nb::str(R"([^"\']*["\'], line (\d+))");
        nb::object match = re.attr("search")(pattern, traceback_text);
        if (!match.is_none()) {
            location["module"] = name;
            location["line"] = to_int(match.attr("group")(1));
            location["file"] = core::text("<virtual:", name, ">");
            return location;
        }
    }
    return location;
}

} // namespace kernel
