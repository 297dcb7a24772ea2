// String assembly helpers for log lines and messages.
#include "core/text.hpp"

#include <cstdio>

namespace core {
namespace detail {

void append(std::string &out, std::string_view piece) { out.append(piece); }

void append(std::string &out, nb::handle object) {
    if (!object.is_valid()) {
        out.append("None");
        return;
    }
    nb::str s = nb::str(object);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data)
        throw nb::python_error();
    out.append(data, static_cast<size_t>(size));
}

void append(std::string &out, long long number) { out.append(std::to_string(number)); }

void append(std::string &out, OneDecimal number) {
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%.1f", number.value);
    out.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

} // namespace detail

std::string to_std_string(nb::handle object) {
    std::string out;
    detail::append(out, object);
    return out;
}

} // namespace core
