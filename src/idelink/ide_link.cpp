// IdeLink's constructor and its Python class.
#include "idelink/ide_link.hpp"

#include "core/hub_connection.hpp"
#include "core/task.hpp"
#include "core/text.hpp"
#include "idelink/idelink_module.hpp"
#include "idelink/main_window.hpp"

namespace idelink {
namespace {

// Sets the fields in the order the constructor is documented to set them; the two flags start
// false in the C++ object.
void construct(nb::handle self, nb::object main_window, nb::object host, nb::object port,
               nb::object token) {
    nb::int_ port_number(port);
    if (!token.is_none() && !nb::isinstance<nb::str>(token))
        throw nb::type_error("IdeLink: the hub token must be a string or None");
    self.attr("main_window") = main_window;
    self.attr("host") = host;
    self.attr("port") = port_number;
    self.attr("url") = core::text(core::secured_mode() ? "wss" : "ws", "://", host, ":",
                                  port_number, ENDPOINT_PATH);
    // Read at every connection attempt, so that a new token (a restarted hub) can be set here;
    // None sends QUORVEL_HUB_TOKEN's.
    self.attr("token") = token;
    self.attr("ws") = nb::none();
    self.attr("_thread") = nb::none();
    self.attr("_loop") = nb::none();
    self.attr("_pending_requests") = nb::dict();
    self.attr("_reconnect_delay") = INITIAL_RECONNECT_DELAY;
    self.attr("_max_reconnect_delay") = MAX_RECONNECT_DELAY;
    self.attr("_reconnect_attempts") = 0;
    self.attr("_setup_message_handlers")();
}

template <std::atomic<bool> IdeLink::*Flag> bool read_flag(nb::handle self) {
    return (link_of(self).*Flag).load();
}

template <std::atomic<bool> IdeLink::*Flag> void write_flag(nb::handle self, bool value) {
    (link_of(self).*Flag).store(value);
}

} // namespace

IdeLink &link_of(nb::handle self) { return *nb::inst_ptr<IdeLink>(self); }

void bind_ide_link(nb::module_ &module) {
    nb::class_<IdeLink> cls(module, "IdeLink", nb::dynamic_attr(),
                            "The IDE's connection to the hub: one WebSocket on a thread of its "
                            "own, reconnected with back-off; received messages are handed to the "
                            "main window on the GUI thread.");
    cls.def(
           "__init__",
           [](nb::pointer_and_handle<IdeLink> self, nb::object main_window, nb::object host,
              nb::object port, nb::object token) {
               new (self.p) IdeLink();
               construct(self.h, main_window, host, port, token);
           },
           nb::arg("main_window").none(), nb::arg("host") = "localhost", nb::arg("port") = 8000,
           nb::kw_only(), nb::arg("token").none() = nb::none())
        .def("start", &start, "Starts the connection thread; a second call does nothing.")
        .def("stop", &stop,
             "Stops the connection thread's loop and waits for the thread (5 s at most).")
        .def("_run_event_loop", &run_event_loop)
        .def("_connect_and_listen",
             core::coroutine_method<connect_and_listen>("IdeLink._connect_and_listen"))
        .def("_reconnect", core::coroutine_method<reconnect>("IdeLink._reconnect"))
        .def("_on_connected", &on_connected)
        .def("_on_disconnected", &on_disconnected)
        .def("_on_reconnecting", &on_reconnecting, nb::arg("attempt"), nb::arg("delay"))
        .def("send_message", &send_message, nb::arg("message").none(),
             "Sends a message (a JSON object) without waiting; dropped when not connected.")
        .def("send_text_message", &send_text_message, nb::arg("message").none(),
             "Sends a raw text frame without waiting; dropped when not connected.")
        .def(
            "sendTextMessage",
            [](nb::handle self, nb::handle message) { self.attr("send_text_message")(message); },
            nb::arg("message").none(), "The same as send_text_message.")
        .def("_async_send", core::coroutine_method<async_send, nb::object>("IdeLink._async_send"),
             nb::arg("message").none())
        .def("_async_send_text",
             core::coroutine_method<async_send_text, nb::object>("IdeLink._async_send_text"),
             nb::arg("message").none())
        .def("send_and_wait_response", &send_and_wait_response, nb::arg("message"),
             nb::arg("callback"), nb::arg("response_type").none() = nb::none(),
             nb::arg("timeout") = DEFAULT_REQUEST_TIMEOUT,
             "Sends a request and returns its id at once; `callback` later receives, on the GUI "
             "thread, the response carrying that id or a time-out notice.")
        .def("_try_handle_response", &try_handle_response, nb::arg("message").none())
        .def("_check_timeout",
             core::coroutine_method<check_timeout, nb::object, double>("IdeLink._check_timeout"),
             nb::arg("request_id"), nb::arg("timeout"))
        .def("_handle_message",
             core::coroutine_method<handle_message, nb::object>("IdeLink._handle_message"),
             nb::arg("raw_message").none())
        .def("_setup_message_handlers", &setup_message_handlers)
        .def("is_connected", &read_flag<&IdeLink::m_connected>)
        .def_prop_ro("connected", &read_flag<&IdeLink::m_connected>)
        .def_prop_rw("_running", &read_flag<&IdeLink::m_running>, &write_flag<&IdeLink::m_running>)
        .def_prop_rw("_connected", &read_flag<&IdeLink::m_connected>,
                     &write_flag<&IdeLink::m_connected>);

    add_status_methods(cls);
    add_callback_method(cls);
    add_message_handlers(cls);
}

} // namespace idelink
