// Methods of IdeLink whose bodies run on the GUI thread.
//
// A body is a C++ function made into a Python callable; the IDE's decorator `run_in_qt_thread`
// is applied to it and the result set on the class, as a Python class would decorate a method.
// Calling such a method from any thread queues the body for the GUI thread and returns None.
#pragma once

#include <nanobind/nanobind.h>

namespace idelink {
namespace nb = nanobind;

// Sets IdeLink.<name> to run_in_qt_thread(body); `body` takes the instance first.
void add_gui_method(nb::handle cls, const char *name, nb::object body);

// Each file that owns GUI-thread bodies adds its own.
void add_status_methods(nb::handle cls);   // status_notifications.cpp
void add_callback_method(nb::handle cls);  // correlation.cpp
void add_message_handlers(nb::handle cls); // message_table.cpp

} // namespace idelink
