// Building Python strings from C++ pieces, as an f-string would.
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <string>
#include <string_view>

namespace core {
namespace nb = nanobind;

// A number shown with one decimal, as "%.1f" would show it.
struct OneDecimal {
    double value;
};
inline OneDecimal one_decimal(double value) { return {value}; }

namespace detail {
// Each piece becomes a str appended to `parts`; Python objects as str(object), so text that
// UTF-8 cannot carry (surrogate escapes of undecodable file names) passes unchanged.
void append(nb::list &parts, std::string_view piece);
void append(nb::list &parts, nb::handle object); // None shows as "None"
void append(nb::list &parts, long long number);
void append(nb::list &parts, double number); // as str(float): 0.5, 2.0, 1e-07, inf
void append(nb::list &parts, OneDecimal number);
inline void append(nb::list &parts, const char *piece) { append(parts, std::string_view(piece)); }
inline void append(nb::list &parts, const std::string &piece) {
    append(parts, std::string_view(piece));
}
template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, long long>)
void append(nb::list &parts, I number) {
    append(parts, static_cast<long long>(number));
}
nb::str join(const nb::list &parts);
} // namespace detail

// text("a=", obj, ", n=", 3) is the Python str "a=" + str(obj) + ", n=3". GIL held.
template <class... Pieces> nb::str text(const Pieces &...pieces) {
    nb::list parts;
    (detail::append(parts, pieces), ...);
    return detail::join(parts);
}

// separator.join(items), as Python does it; items must be strings.
nb::str join(const char *separator, nb::handle items);

// The UTF-8 text of str(object), for C++ uses (module names, file paths for the OS). GIL held.
std::string to_std_string(nb::handle object);

} // namespace core
