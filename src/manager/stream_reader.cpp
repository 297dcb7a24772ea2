// The pipe readers of an installation.
#include "manager/stream_reader.hpp"

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "manager/manager_module.hpp"

#include <algorithm>

namespace manager {
namespace {

nb::str decoded(nb::handle raw) {
    PyObject *text =
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.ptr()), PyBytes_GET_SIZE(raw.ptr()), "replace");
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

} // namespace

nb::object output_line(nb::handle raw) { return decoded(raw).attr(INTERNED("rstrip"))(); }

core::Task<> read_stream(nb::object stream, nb::object stream_type, nb::object queue) {
    ModuleState &st = state();
    nb::object newline = nb::bytes("\n", 1);
    try {
        // True after a piece cut from a line longer than the bound: the rest of that line follows,
        // and a rest that is only the line end is not a line of its own.
        bool inside_long_line = false;
        for (;;) {
            nb::object raw;
            Py_ssize_t overrun = 0;
            bool at_end = false;
            try {
                raw = co_await stream.attr(INTERNED("readuntil"))(newline);
            } catch (nb::python_error &e) {
                if (e.matches(st.incomplete_read)) {
                    // End of the pipe: what follows the last line end, often nothing.
                    raw = core::exception_of(e).attr("partial");
                    at_end = true;
                } else if (e.matches(st.limit_overrun)) {
                    // The bytes stay buffered; take at most the bound's worth as one piece.
                    overrun = std::min(nb::cast<Py_ssize_t>(core::exception_of(e).attr("consumed")),
                                       MAX_OUTPUT_LINE_BYTES);
                } else {
                    throw;
                }
            }
            nb::object item;
            if (overrun > 0) {
                raw = co_await stream.attr("read")(overrun);
                item = nb::make_tuple(stream_type, decoded(raw));
                inside_long_line = true;
            } else if (nb::len(raw) > 0) {
                nb::object line = output_line(raw);
                if (!(inside_long_line && nb::len(line) == 0))
                    item = nb::make_tuple(stream_type, line);
                inside_long_line = false;
            }
            if (item.is_valid())
                co_await queue.attr(INTERNED("put"))(item);
            if (at_end)
                break;
        }
    } catch (...) {
        queue.attr("put_nowait")(st.end_of_stream);
        throw;
    }
    queue.attr("put_nowait")(st.end_of_stream);
}

} // namespace manager
