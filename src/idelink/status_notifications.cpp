// The connection state as the window shows it: console lines and status bar texts.
//
// The plain notifications run on the connection thread and call their GUI-side halves, whose
// bodies are queued for the GUI thread by the IDE's marker.
#include "core/text.hpp"
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

// The hub closed this IDE's connection because another IDE connected: the client has stopped,
// and the person may take the place back from the window's File menu.
void replaced_qt(nb::handle self, nb::handle reason) {
    nb::object window = main_window(self);
    console_line(window,
                 core::text("Disconnected: ", reason,
                            ". File > Reconnect to Hub takes the connection back."),
                 ERROR_COLOR, Level::Simple);
    show_status(window, core::text("Disconnected: ", reason));
}

// The hub refused the handshake (a missing or wrong token, most often): shown once for each
// new reason, while the client keeps trying.
void refused_qt(nb::handle self, nb::handle text) {
    console_line(main_window(self), core::text("The hub refused the connection: ", text),
                 ERROR_COLOR, Level::Simple);
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
    add_gui_method(cls, "_on_replaced_qt",
                   nb::cpp_function(&replaced_qt, nb::arg("self"), nb::arg("reason")));
    add_gui_method(cls, "_on_refused_qt",
                   nb::cpp_function(&refused_qt, nb::arg("self"), nb::arg("text")));
    add_gui_method(
        cls, "_on_reconnecting_qt",
        nb::cpp_function(&reconnecting_qt, nb::arg("self"), nb::arg("attempt"), nb::arg("delay")));
}

} // namespace idelink
