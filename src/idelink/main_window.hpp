// The calls the client makes on the IDE main window. GUI thread only.
#pragma once

#include <nanobind/nanobind.h>

namespace idelink {
namespace nb = nanobind;

// Console colours.
inline constexpr const char *STDOUT_COLOR = "#4daafc";
inline constexpr const char *ERROR_COLOR = "#ff6b6b";
inline constexpr const char *SUCCESS_COLOR = "#4caf50";

enum class Level { Simple, Detailed };

nb::object main_window(nb::handle self);

// window.log_to_console(text, color, level=..., [from_std=True]); a null `color` is None.
void console_line(nb::handle window, nb::handle text, const char *color, Level level,
                  bool from_std = false);
void console_line(nb::handle window, nb::handle text, nb::handle color, Level level,
                  bool from_std = false);

// window.statusBar().showMessage(text), with no time-out.
void show_status(nb::handle window, nb::handle text);

} // namespace idelink
