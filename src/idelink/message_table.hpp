// The dispatch table: the IdeLink method that handles each message type, and how its body is
// made. Most handlers differ only in data, so they are declared as one of two patterns; the
// rest are written out in the file of their family (handlers.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include <span>
#include <variant>

namespace idelink {
namespace nb = nanobind;

// A handler body written out: runs on the GUI thread with the instance and the message map.
using HandlerBody = void (*)(nb::handle self, nb::handle message);

// Passes the whole message to the main-window method of the handler's own name.
struct Forward {};

// What a panel call passes after the workbook id: one field of the message or all of it.
enum class Fallback { None, EmptyList };
struct PanelArgument {
    const char *field; // null: the whole message
    Fallback fallback = Fallback::None;
};
inline constexpr PanelArgument WHOLE_MESSAGE{nullptr};

enum class Condition {
    WorkbookGiven,           // the message's workbook id is non-empty
    WorkbookShownInPackages, // ... and is the one the package panel shows
};

// "If the workbook id passes the condition, call the panel": panel.method(id, argument), or
// panel.method(argument) when the id is not passed; then the debug line, prefix + id.
struct PanelCall {
    const char *panel;
    const char *method;
    PanelArgument argument;
    const char *debug_log = nullptr;
    Condition condition = Condition::WorkbookGiven;
    bool passes_workbook_id = true;
};

struct MessageRoute {
    const char *type;   // the message's `type`
    const char *method; // the IdeLink method named in MESSAGE_HANDLERS
    std::variant<HandlerBody, Forward, PanelCall> body;
};

// In the order MESSAGE_HANDLERS lists them.
std::span<const MessageRoute> message_routes();

// handler_patterns.cpp: the bodies of the two patterns.
void forward_to_main_window(const char *method, nb::handle self, nb::handle message);
void call_panel(const PanelCall &call, nb::handle self, nb::handle message);

} // namespace idelink
