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
void append(std::string &out, std::string_view piece);
void append(std::string &out, nb::handle object); // str(object); None shows as "None"
void append(std::string &out, long long number);
void append(std::string &out, OneDecimal number);
inline void append(std::string &out, const char *piece) { append(out, std::string_view(piece)); }
inline void append(std::string &out, const std::string &piece) {
    append(out, std::string_view(piece));
}
template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, long long>)
void append(std::string &out, I number) {
    append(out, static_cast<long long>(number));
}
} // namespace detail

// text("a=", obj, ", n=", 3) is the Python str "a=" + str(obj) + ", n=3". GIL held.
template <class... Pieces> nb::str text(const Pieces &...pieces) {
    std::string out;
    (detail::append(out, pieces), ...);
    return nb::str(out.data(), out.size());
}

// The UTF-8 text of str(object). GIL held.
std::string to_std_string(nb::handle object);

} // namespace core
