// The editor's language requests (completion, signature help, hover, diagnostics) and the
// hover mode, answered by the language bridge.
//
// The dispatcher awaits each request, so they are served one at a time and in order with the
// frames around them; the bridge computes on the language thread meanwhile, and the listener
// loop goes on sending what running code writes and what it asks of the host.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/language/language.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

// len(value), or None for a value without a length: the log line must not fail on the bad
// input that the bridge refuses with an error.
nb::object length_of(nb::handle value) {
    Py_ssize_t length = PyObject_Length(value.ptr());
    if (length < 0) {
        PyErr_Clear();
        return nb::none();
    }
    return nb::int_(length);
}

// The in-memory module sources as they are now, in a new dict the bridge may keep.
nb::object modules_snapshot() {
    nb::handle dict_type(reinterpret_cast<PyObject *>(&PyDict_Type));
    return dict_type(module_global("in_memory_loader").attr(INTERNED("source_cache")));
}

// bridge.<operation>(**arguments), as one call for the language thread.
nb::object bridge_call(nb::handle self, const char *operation, nb::dict arguments) {
    nb::object method = self.attr(INTERNED("_lsp_bridge")).attr(operation);
    nb::object partial = nb::module_::import_("functools").attr("partial");
    return partial(method, **arguments);
}

// What differs between completion, signature help and hover.
enum class Position { Completion, SignatureHelp, Hover };

struct PositionKind {
    const char *operation; // the bridge's method
    const char *reply_type;
    const char *request_log; // followed by "line=..."
    const char *failure_log;
};

constexpr PositionKind KINDS[] = {
    {"get_completions", "completion_response",
     "[LSP] Request received: ", "[LSP] Completion request failed: "},
    {"get_signature_help", "signature_help_response",
     "[LSP] Signature help request: ", "[LSP] Signature help request failed: "},
    {"get_hover", "hover_response", "[LSP] Hover request: ", "[LSP] Hover request failed: "},
};

// The reply's result fields, taken from the bridge's result (each with its default), logged.
nb::dict position_results(Position position, nb::handle result) {
    nb::dict values;
    nb::object error = field(result, INTERNED("error"));
    switch (position) {
    case Position::Completion: {
        nb::object completions = field(result, INTERNED("completions"), nb::list());
        log().debug("[LSP] Response: ", length_of(completions), " completions, error=", error);
        values["completions"] = completions;
        break;
    }
    case Position::SignatureHelp: {
        nb::object signatures = field(result, INTERNED("signatures"), nb::list());
        log().debug("[LSP] Signature help response: ", length_of(signatures),
                    " signatures, error=", error);
        values["signatures"] = signatures;
        values["activeSignature"] = field(result, INTERNED("activeSignature"), nb::int_(0));
        values["activeParameter"] = field(result, INTERNED("activeParameter"), nb::int_(0));
        break;
    }
    case Position::Hover: {
        nb::object contents = field(result, INTERNED("contents"));
        log().debug("[LSP] Hover response: has_contents=", contents.is_none() ? "False" : "True",
                    ", error=", error);
        values["contents"] = contents;
        break;
    }
    }
    values["error"] = error;
    return values;
}

// The reply: type, the result fields in order, then the three echoed request fields.
nb::dict reply_of(const char *type, nb::dict results, nb::handle message) {
    nb::dict reply;
    reply[INTERNED("type")] = type;
    for (auto [key, value] : results)
        reply[key] = value;
    reply[INTERNED("request_id")] = field(message, INTERNED("request_id"));
    reply[INTERNED("workbook_id")] = field(message, INTERNED("workbook_id"));
    reply[INTERNED("module_name")] = field(message, INTERNED("module_name"));
    return reply;
}

core::Task<> position_request(nb::object self, nb::object message, Position position) {
    const PositionKind &kind = KINDS[static_cast<int>(position)];
    nb::object code = field(message, INTERNED("code"), INTERNED(""));
    nb::object line = field(message, INTERNED("line"), nb::int_(1));
    nb::object column = field(message, INTERNED("column"), nb::int_(0));
    nb::object path = field(message, INTERNED("path"));
    nb::object dirty_files = field(message, INTERNED("dirty_files"));

    if (position == Position::Completion) {
        nb::object dirty = length_of(dirty_files);
        log().debug(kind.request_log, "line=", line, ", column=", column, ", path=", path,
                    ", code_length=", length_of(code),
                    ", dirty_files=", dirty.is_none() ? nb::int_(0) : dirty);
    } else {
        log().debug(kind.request_log, "line=", line, ", column=", column, ", path=", path,
                    ", code_length=", length_of(code));
    }

    try {
        nb::dict arguments;
        arguments["code"] = code;
        arguments["line"] = line;
        arguments["column"] = column;
        arguments["path"] = path;
        arguments["modules"] = modules_snapshot();
        arguments["dirty_files"] = dirty_files;
        nb::object call = bridge_call(self, kind.operation, arguments);
        nb::object result = co_await LanguageThread::run(self, call);
        nb::dict reply = reply_of(kind.reply_type, position_results(position, result), message);
        co_await self.attr(INTERNED("send_message"))(reply);
    } catch (nb::python_error &error) {
        // A failing bridge (or reply) is logged and answered with nothing: the editor drops
        // a request that gets no answer. Cancellation and interpreter exits pass through.
        if (!core::is_ordinary(error))
            throw;
        log().error(kind.failure_log, core::exception_of(error));
    }
}

} // namespace

core::Task<> handle_completion_request(nb::object self, nb::object message) {
    co_await position_request(self, message, Position::Completion);
}

core::Task<> handle_signature_help_request(nb::object self, nb::object message) {
    co_await position_request(self, message, Position::SignatureHelp);
}

core::Task<> handle_hover_request(nb::object self, nb::object message) {
    co_await position_request(self, message, Position::Hover);
}

core::Task<> handle_diagnostic_request(nb::object self, nb::object message) {
    nb::object code = field(message, INTERNED("code"), INTERNED(""));
    nb::object module_name = field(message, INTERNED("module_name"));
    log().debug("[LSP] Diagnostic request: code_length=", length_of(code),
                ", module=", module_name);
    try {
        nb::dict arguments;
        arguments["code"] = code;
        arguments["module_name"] = module_name;
        nb::object call = bridge_call(self, "get_diagnostics", arguments);
        nb::object result = co_await LanguageThread::run(self, call);
        nb::object diagnostics = field(result, INTERNED("diagnostics"), nb::list());
        nb::object error = field(result, INTERNED("error"));
        log().debug("[LSP] Diagnostic response: ", length_of(diagnostics),
                    " diagnostics, error=", error);
        nb::dict results;
        results["diagnostics"] = diagnostics;
        results["error"] = error;
        co_await self.attr(INTERNED("send_message"))(
            reply_of("diagnostic_response", results, message));
    } catch (nb::python_error &error) {
        if (!core::is_ordinary(error))
            throw;
        log().error("[LSP] Diagnostic request failed: ", core::exception_of(error));
    }
}

core::Task<> handle_set_hover_mode(nb::object self, nb::object message) {
    nb::object mode = field(message, INTERNED("mode"), INTERNED("compact"));
    log().debug("[Kernel] Received set_hover_mode: ", mode);
    nb::object bridge = self.attr(INTERNED("_lsp_bridge"));
    if (bridge.is_none()) {
        log().warning("[Kernel] LSP Bridge not available for hover mode change");
        co_return;
    }
    bridge.attr("set_hover_mode")(mode);
    nb::dict reply;
    reply[INTERNED("type")] = "hover_mode_updated";
    reply[INTERNED("mode")] = mode;
    reply[INTERNED("workbook_id")] = self.attr(INTERNED("workbook_id"));
    co_await self.attr(INTERNED("send_message"))(reply);
}

core::Task<> handle_language_services_wanted(nb::object self, nb::object) {
    log().debug("[LSP] Language services wanted: the IDE edits the workbook");
    language_thread_of(self).warm_up_once(self);
    co_return;
}

} // namespace kernel
