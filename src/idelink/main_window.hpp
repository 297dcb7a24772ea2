// The GUI thread's side of the client: the calls it makes on the IDE main window, and the
// methods of IdeLink whose bodies run on the GUI thread. GUI thread only.
#pragma once

#include <nanobind/nanobind.h>

// The calls the client makes on the IDE main window. GUI thread only.
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

// Methods of IdeLink whose bodies run on the GUI thread.
//
// A body is a C++ function made into a Python callable; the IDE's decorator `run_in_qt_thread`
// is applied to it and the result set on the class, as a Python class would decorate a method.
// Calling such a method from any thread queues the body for the GUI thread and returns None.
namespace idelink {
namespace nb = nanobind;

// Sets IdeLink.<name> to run_in_qt_thread(body); `body` takes the instance first.
void add_gui_method(nb::handle cls, const char *name, nb::object body);

// Each file that owns GUI-thread bodies adds its own.
void add_status_methods(nb::handle cls);   // status_notifications.cpp
void add_callback_method(nb::handle cls);  // correlation.cpp
void add_message_handlers(nb::handle cls); // message_table.cpp

} // namespace idelink
