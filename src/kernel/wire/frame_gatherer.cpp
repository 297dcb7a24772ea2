// Gathering waiting messages into "batch" frames at the socket.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "kernel/python_kernel.hpp"
#include "kernel/wire/wire.hpp"

#include <cstdlib>
#include <cstring>

namespace kernel {
namespace {

FrameGatherer &gatherer_of(nb::handle self) { return *nb::inst_ptr<FrameGatherer>(self); }

// The envelope around the messages of a batch frame: the serialised messages are joined into it
// as they are, so nothing is serialised twice.
constexpr const char *BATCH_HEAD = "{\"type\":\"batch\",\"messages\":[";
constexpr const char *BATCH_TAIL = "]}";

Py_ssize_t length_of(nb::handle text) { return PyUnicode_GET_LENGTH(text.ptr()); }

// One frame under the socket lock, so that a chunk run written beside us never interleaves.
core::Task<> write_frame(nb::object kernel, nb::str text) {
    nb::object lock = kernel.attr(INTERNED("_socket_lock"));
    co_await lock.attr(INTERNED("acquire"))();
    AsyncLockHold hold(lock);
    co_await kernel.attr(INTERNED("websocket")).attr(INTERNED("send"))(text);
}

struct PumpScope {
    nb::handle self;
    ~PumpScope();
};

} // namespace

void FrameGatherer::wake(nb::list &waiters) {
    for (nb::handle future : waiters)
        if (!nb::cast<bool>(future.attr("done")()))
            future.attr("set_result")(nb::none());
    PyList_SetSlice(waiters.ptr(), 0, PY_SSIZE_T_MAX, nullptr);
}

PumpScope::~PumpScope() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    FrameGatherer &gatherer = gatherer_of(self);
    try {
        gatherer.end_pump();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("FrameGatherer.pump");
    }
    PyErr_Restore(type, value, traceback);
}

void FrameGatherer::end_pump() {
    m_pump = nb::object();
    m_busy = false;
    m_queue.clear();
    m_queued_chars = 0;
    wake(m_space);
    wake(m_idle);
}

core::Task<> FrameGatherer::write_alone(nb::object kernel, nb::str raw, nb::object type,
                                        nb::object request_id) {
    if (length_of(raw) > CHUNK_SIZE)
        co_await kernel.attr(INTERNED("_send_chunked_message"))(raw, type, request_id);
    else
        co_await write_frame(kernel, raw);
}

core::Task<> FrameGatherer::submit(nb::object self, nb::str raw, nb::object type,
                                   nb::object request_id) {
    FrameGatherer &gatherer = gatherer_of(self);
    if (!gatherer.m_busy) {
        // Nothing waits and nothing is being written: this message goes now, alone. What comes
        // until the loop has turned waits and goes with the next frame.
        gatherer.m_busy = true;
        nb::object end_of_turn = self.attr("_end_of_turn");
        try {
            co_await write_alone(gatherer.m_kernel, raw, type, request_id);
        } catch (...) {
            gatherer.m_loop.attr(INTERNED("call_soon"))(end_of_turn);
            throw;
        }
        gatherer.m_loop.attr(INTERNED("call_soon"))(end_of_turn);
        co_return;
    }
    nb::object waiter;
    if (length_of(raw) > CHUNK_SIZE) {
        // Never gathered; its sender waits for the chunk run, as it would without gathering.
        waiter = gatherer.m_loop.attr(INTERNED("create_future"))();
        gatherer.m_queue.push_back({raw, type, request_id, waiter});
    } else {
        gatherer.m_queued_chars += length_of(raw);
        gatherer.m_queue.push_back({raw, type, request_id, nb::object()});
        if (gatherer.m_queued_chars > MAX_GATHERED_CHARS) {
            waiter = gatherer.m_loop.attr(INTERNED("create_future"))();
            gatherer.m_space.append(waiter);
        }
    }
    if (waiter.is_valid())
        co_await waiter;
}

bool FrameGatherer::queue(nb::handle self, nb::handle raw, nb::handle type, nb::handle request_id) {
    FrameGatherer &gatherer = gatherer_of(self);
    Py_ssize_t length = length_of(raw);
    if (!gatherer.m_busy || length > CHUNK_SIZE ||
        gatherer.m_queued_chars + length > MAX_GATHERED_CHARS)
        return false;
    gatherer.m_queued_chars += length;
    gatherer.m_queue.push_back(
        {nb::borrow<nb::str>(raw), nb::borrow(type), nb::borrow(request_id), nb::object()});
    return true;
}

void FrameGatherer::end_of_turn(nb::handle self) {
    FrameGatherer &gatherer = gatherer_of(self);
    if (gatherer.m_pump.is_valid())
        return;
    if (gatherer.m_queue.empty()) {
        gatherer.m_busy = false;
        wake(gatherer.m_idle);
        return;
    }
    gatherer.m_pump = gatherer.m_loop.attr(INTERNED("create_task"))(
        pump(nb::borrow(self)).into_python("FrameGatherer.pump"));
}

nb::str FrameGatherer::take_batch() {
    nb::list pieces;
    Py_ssize_t total = static_cast<Py_ssize_t>(std::strlen(BATCH_HEAD) + std::strlen(BATCH_TAIL));
    while (!m_queue.empty() && !m_queue.front().written.is_valid()) {
        Py_ssize_t length = length_of(m_queue.front().raw);
        bool first = pieces.size() == 0;
        // A lone message goes as itself, so the first one always fits.
        if (!first && total + 1 + length > CHUNK_SIZE)
            break;
        total += (first ? 0 : 1) + length;
        pieces.append(m_queue.front().raw);
        m_queued_chars -= length;
        m_queue.pop_front();
    }
    if (pieces.size() == 1)
        return nb::borrow<nb::str>(pieces[0]);
    nb::str joined = nb::steal<nb::str>(PyUnicode_Join(INTERNED(",").ptr(), pieces.ptr()));
    if (!joined.is_valid())
        throw nb::python_error();
    return core::text(BATCH_HEAD, joined, BATCH_TAIL);
}

core::Task<> FrameGatherer::pump(nb::object self) {
    FrameGatherer &gatherer = gatherer_of(self);
    PumpScope scope{self};
    nb::object kernel = gatherer.m_kernel;
    while (!gatherer.m_queue.empty()) {
        if (gatherer.m_queue.front().written.is_valid()) {
            Entry entry = std::move(gatherer.m_queue.front());
            gatherer.m_queue.pop_front();
            try {
                co_await write_alone(kernel, entry.raw, entry.type, entry.request_id);
                if (!nb::cast<bool>(entry.written.attr("done")()))
                    entry.written.attr("set_result")(nb::none());
            } catch (nb::python_error &e) {
                if (!core::is_ordinary(e))
                    throw;
                if (!nb::cast<bool>(entry.written.attr("done")()))
                    entry.written.attr("set_exception")(core::exception_of(e));
            }
            continue;
        }
        size_t before = gatherer.m_queue.size();
        nb::str frame = gatherer.take_batch();
        size_t count = before - gatherer.m_queue.size();
        if (gatherer.m_queued_chars <= MAX_GATHERED_CHARS)
            wake(gatherer.m_space);
        try {
            co_await write_frame(kernel, frame);
        } catch (nb::python_error &e) {
            if (!core::is_ordinary(e))
                throw;
            // As a send submitted from a worker: the senders have gone on; the loss is logged.
            log().warning("[Kernel] Failed to send a frame of ", count,
                          " gathered messages: ", core::exception_of(e));
        }
    }
}

core::Task<> FrameGatherer::flush(nb::object self) {
    FrameGatherer &gatherer = gatherer_of(self);
    if (!gatherer.m_busy)
        co_return;
    nb::object idle = gatherer.m_loop.attr(INTERNED("create_future"))();
    gatherer.m_idle.append(idle);
    co_await idle;
}

int FrameGatherer::traverse(visitproc visit, void *arg) {
    Py_VISIT(m_kernel.ptr());
    Py_VISIT(m_loop.ptr());
    Py_VISIT(m_pump.ptr());
    Py_VISIT(m_space.ptr());
    Py_VISIT(m_idle.ptr());
    Py_VISIT(m_open.ptr());
    Py_VISIT(m_open_pieces.ptr());
    for (const Entry &entry : m_queue)
        Py_VISIT(entry.written.ptr());
    return 0;
}

void FrameGatherer::clear() {
    m_kernel.reset();
    m_loop.reset();
    m_pump.reset();
    m_queue.clear();
    m_open.reset();
    m_open_pieces.reset();
}

void FrameGatherer::bind(nb::module_ &module) {
    nb::class_<FrameGatherer>(module, "_FrameGatherer",
                              nb::type_slots(core::gc_slots<FrameGatherer>()),
                              "Writes waiting outbound messages as few frames as it can.")
        .def(
            "__init__",
            [](FrameGatherer *self, nb::object kernel, nb::object loop) {
                new (self) FrameGatherer(std::move(kernel), std::move(loop));
            },
            nb::arg("kernel"), nb::arg("loop"))
        .def("_end_of_turn", [](nb::handle self) { end_of_turn(self); })
        .def("flush", [](nb::handle self) {
            return flush(nb::borrow(self)).into_python("FrameGatherer.flush");
        });
}

nb::object frame_gatherer_of(nb::handle kernel) { return kernel.attr(INTERNED("_frame_gatherer")); }

nb::object gatherer_to_join(nb::handle kernel) {
    nb::object gatherer = frame_gatherer_of(kernel);
    if (gatherer.is_none() || !gatherer_of(gatherer).busy() ||
        kernel.attr(INTERNED("websocket")).is_none() ||
        kernel.attr(INTERNED("_socket_lock")).is_none() || log().enabled(core::Logger::DEBUG))
        return nb::object();
    nb::handle name = INTERNED("_send_message_direct");
    static nb::object own = nb::getattr(nb::type<PythonKernel>(), name);
    nb::object on_class = nb::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(kernel.ptr())), name.ptr()));
    if (!on_class.is(own)) {
        PyErr_Clear();
        return nb::object();
    }
    nb::object instance_dict = nb::steal(PyObject_GenericGetDict(kernel.ptr(), nullptr));
    if (!instance_dict.is_valid())
        throw nb::python_error();
    if (PyDict_GetItemWithError(instance_dict.ptr(), name.ptr()) || PyErr_Occurred()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::object();
    }
    return gatherer;
}

void claim_stream_text(nb::handle kernel, nb::handle message) {
    nb::object gatherer = frame_gatherer_of(kernel);
    if (!gatherer.is_none())
        gatherer_of(gatherer).claim(message);
}

void install_frame_gatherer(nb::handle kernel) {
    nb::object asked = field(kernel.attr("connection_args"), INTERNED("gather_output"));
    bool wanted;
    if (asked.is_none()) {
        const char *setting = std::getenv("QUORVEL_GATHER_OUTPUT");
        wanted = setting && std::strcmp(setting, "1") == 0;
    } else {
        wanted = truthy(asked);
    }
    kernel.attr("_frame_gatherer") =
        wanted ? module_global("_FrameGatherer")(kernel, kernel.attr("_loop")) : nb::none();
}

} // namespace kernel
