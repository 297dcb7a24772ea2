// PythonKernel: one workbook's connection to the hub and everything that runs through it.
//
// The object keeps its state as instance attributes (its __dict__), as the Python class it
// presents itself as: tests, subclasses and sibling components read and replace them freely.
// Methods take the Python instance, and a method calls another through the instance's attribute,
// so a replaced `send_message` sees every message. Everything here runs on the listener loop
// with the GIL held unless a comment says otherwise.
#pragma once

#include "core/task.hpp"
#include "kernel/language/language.hpp"
#include "kernel/runs/runs.hpp"

namespace kernel {
namespace nb = nanobind;

// The named fields live in __dict__; the C++ side holds only state that no caller names.
struct PythonKernel {
    LanguageThread m_language_thread;
    OpenStreams m_open_streams; // holds request ids only, never the instance
};

void bind_python_kernel(nb::module_ &module);

// wire/connection.cpp: the connection's life.
core::Task<> connect(nb::object self);
core::Task<> listen(nb::object self);
core::Task<> run(nb::object self);
core::Task<> disconnect(nb::object self);

// wire/outbound.cpp: every message the kernel sends.
core::Task<> send_message(nb::object self, nb::object message);
core::Task<> send_message_direct(nb::object self, nb::object message);
core::Task<> send_chunked_message(nb::object self, nb::object raw_json, nb::object message_type,
                                  nb::object request_id);

// wire/connection.cpp: inbound "chunk" messages.
core::Task<nb::object> handle_chunk_message(nb::object self, nb::object message);

// Starts `awaitable` as a task on the running loop without waiting for it. The kernel keeps a
// strong reference until the task is done: the loop itself only keeps weak ones.
void start_background_task(nb::handle self, nb::object awaitable);

} // namespace kernel

// The kernel process's entry coroutine, `main(workbook_id, port, connection_args=None)`.
namespace kernel {
namespace nb = nanobind;

// Prepares the Excel host on Windows, builds one PythonKernel and runs it until it disconnects.
core::Task<> main_entry(nb::object workbook_id, nb::object port, nb::object connection_args);

} // namespace kernel
