// Per-execution stream callbacks posting to the output channel.
#include "kernel/stream_callbacks.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/output_channel.hpp"

#include <string>

namespace kernel {

nb::object make_stream_callback(nb::handle kernel, const char *stream_type, nb::object request_id,
                                nb::object source) {
    nb::object channel = output_channel_of(kernel);
    nb::object workbook_id = kernel.attr("workbook_id");
    nb::str type(stream_type);
    return nb::cpp_function(
        [channel, workbook_id, type, request_id, source](nb::object text) {
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
                log().debug("[Kernel] ", type, " streaming error: ", e.value());
            }
        },
        nb::arg("text").none());
}

} // namespace kernel
