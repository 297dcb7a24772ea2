// Per-run stream callbacks posting to the output channel.
#include "kernel/stream_callbacks.hpp"

#include "core/errors.hpp"
#include "core/interned.hpp"
#include "kernel/frame_gatherer.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/output_channel.hpp"

namespace kernel {

nb::dict stream_message(nb::handle type, nb::handle text, nb::handle request_id,
                        nb::handle workbook_id, nb::handle source) {
    nb::dict message;
    message[INTERNED("type")] = type;
    message[INTERNED("content")] = text;
    message[INTERNED("request_id")] = request_id;
    message[INTERNED("workbook_id")] = workbook_id;
    message[INTERNED("source")] = source;
    return message;
}

namespace {

nb::object make_callback(nb::object channel, const char *stream_type, nb::object request_id,
                         nb::object workbook_id, nb::object source) {
    nb::str type(stream_type);
    return nb::cpp_function(
        [channel, type, request_id, workbook_id, source](nb::object text) {
            try {
                OutputChannel::post(channel,
                                    stream_message(type, text, request_id, workbook_id, source));
            } catch (nb::python_error &e) {
                if (!core::is_ordinary(e))
                    throw;
                log().debug("[Kernel] ", type, " streaming error: ", core::exception_of(e));
            }
        },
        nb::arg("text").none());
}

// With gathered output: consecutive writes still waiting in the channel become one message.
nb::object make_gathering_callback(nb::object gatherer, nb::object channel, const char *stream_type,
                                   nb::object request_id, nb::object workbook_id,
                                   nb::object source) {
    nb::str type(stream_type);
    return nb::cpp_function(
        [gatherer, channel, type, request_id, workbook_id, source](nb::object text) {
            try {
                if (!PyUnicode_Check(text.ptr()))
                    core::raise(PyExc_TypeError, "stream text must be str");
                FrameGatherer::post_stream_text(gatherer, channel, type, text, request_id,
                                                workbook_id, source);
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
    nb::object gatherer = frame_gatherer_of(kernel);
    if (!gatherer.is_none())
        return {
            make_gathering_callback(gatherer, channel, "stdout", request_id, workbook_id, source),
            make_gathering_callback(gatherer, channel, "stderr", request_id, workbook_id, source)};
    return {make_callback(channel, "stdout", request_id, workbook_id, source),
            make_callback(channel, "stderr", request_id, workbook_id, source)};
}

} // namespace kernel
