// Per-run stream callbacks posting to the output channel.
#include "kernel/stream_callbacks.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/output_channel.hpp"

namespace kernel {
namespace {

nb::object make_callback(nb::object channel, const char *stream_type, nb::object request_id,
                         nb::object workbook_id, nb::object source) {
    nb::str type(stream_type);
    return nb::cpp_function(
        [channel, type, request_id, workbook_id, source](nb::object text) {
            try {
                nb::dict message;
                message[INTERNED("type")] = type;
                message[INTERNED("content")] = text;
                message[INTERNED("request_id")] = request_id;
                message[INTERNED("workbook_id")] = workbook_id;
                message[INTERNED("source")] = source;
                OutputChannel::post(channel, message);
            } catch (nb::python_error &e) {
                if (!core::is_ordinary(e))
                    throw;
                log().debug("[Kernel] ", type, " streaming error: ", core::exception_of(e));
            }
        },
        nb::arg("text").none());
}

} // namespace

StreamCallbacks make_stream_callbacks(nb::handle kernel, nb::object request_id,
                                      nb::object workbook_id, nb::object source) {
    nb::object channel = output_channel_of(kernel);
    return {make_callback(channel, "stdout", request_id, workbook_id, source),
            make_callback(channel, "stderr", request_id, workbook_id, source)};
}

} // namespace kernel
