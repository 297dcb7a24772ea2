// The connection state as the window shows it: console lines and status bar texts.
//
// The plain notifications run on the connection thread and call their GUI-side halves, whose
// bodies are queued for the GUI thread by the IDE's marker.
#include "core/text.hpp"
#include "idelink/gui_methods.hpp"
#include "idelink/ide_link.hpp"
#include "idelink/main_window.hpp"

#include <cstdio>

namespace idelink {
namespace {

void connected_qt(nb::handle self) {
    nb::object window = main_window(self);
    nb::str text("Connected to Quorvel Server");
    console_line(window, text, nullptr, Level::Detailed);
    show_status(window, text);
}

void disconnected_qt(nb::handle self) {
    nb::object window = main_window(self);
    console_line(window, nb::str("Disconnected from Quorvel Server"), nullptr, Level::Detailed);
    show_status(window, nb::str("Disconnected - Reconnecting..."));
}

// The delay in whole seconds, as "%.0f" shows it (2.5 shows as 2, like Python's format).
std::string whole_seconds(double delay) {
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%.0f", delay);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

void reconnecting_qt(nb::handle self, nb::handle attempt, double delay) {
    show_status(main_window(self), core::text("Reconnecting... (attempt ", attempt,
                                              ", next try in ", whole_seconds(delay), "s)"));
}

} // namespace

void on_connected(nb::handle self) { self.attr("_on_connected_qt")(); }

void on_disconnected(nb::handle self) { self.attr("_on_disconnected_qt")(); }

void on_reconnecting(nb::handle self, nb::handle attempt, nb::handle delay) {
    self.attr("_on_reconnecting_qt")(attempt, delay);
}

void add_status_methods(nb::handle cls) {
    add_gui_method(cls, "_on_connected_qt", nb::cpp_function(&connected_qt, nb::arg("self")));
    add_gui_method(cls, "_on_disconnected_qt", nb::cpp_function(&disconnected_qt, nb::arg("self")));
    add_gui_method(
        cls, "_on_reconnecting_qt",
        nb::cpp_function(&reconnecting_qt, nb::arg("self"), nb::arg("attempt"), nb::arg("delay")));
}

} // namespace idelink
