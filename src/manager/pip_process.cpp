// The pip child of an installation and the queue of its output.
#include "manager/pip_process.hpp"

#include "core/objects.hpp"
#include "manager/manager_module.hpp"
#include "manager/stream_reader.hpp"

namespace manager {

core::Task<> PipProcess::start(nb::object command, nb::object env) {
    ModuleState &st = state();
    nb::object pipe = st.asyncio.attr("subprocess").attr("PIPE");
    nb::tuple arguments = nb::steal<nb::tuple>(PySequence_Tuple(command.ptr()));
    if (!arguments.is_valid())
        throw nb::python_error();
    nb::dict options;
    options["stdout"] = pipe;
    options["stderr"] = pipe;
    options["env"] = env;
    options["limit"] = MAX_OUTPUT_LINE_BYTES;
    // Looked up at each start, as `asyncio.create_subprocess_exec(...)` in Python would be.
    nb::object create = st.asyncio.attr("create_subprocess_exec");
    PyObject *starting = PyObject_Call(create.ptr(), arguments.ptr(), options.ptr());
    if (!starting)
        throw nb::python_error();
    m_process = co_await nb::steal(starting);

    m_queue = st.asyncio.attr("Queue")();
    nb::object create_task = st.asyncio.attr("create_task");
    m_stdout_task = create_task(read_stream(m_process.attr("stdout"), nb::str("stdout"), m_queue)
                                    .into_python("read_stream"));
    m_stderr_task = create_task(read_stream(m_process.attr("stderr"), nb::str("stderr"), m_queue)
                                    .into_python("read_stream"));
}

bool PipProcess::readers_finished() const {
    if (m_ended_pipes == 2)
        return true;
    // A reader cancelled before its first step never queues its mark; its task is done all
    // the same.
    return nb::cast<bool>(m_stdout_task.attr(INTERNED("done"))()) &&
           nb::cast<bool>(m_stderr_task.attr(INTERNED("done"))());
}

core::Task<nb::object> PipProcess::next_output() {
    ModuleState &st = state();
    for (;;) {
        // Lines already queued go out without a trip through the event loop.
        while (!nb::cast<bool>(m_queue.attr(INTERNED("empty"))())) {
            nb::object item = m_queue.attr(INTERNED("get_nowait"))();
            if (!item.is(st.end_of_stream))
                co_return item;
            ++m_ended_pipes;
        }
        if (readers_finished())
            co_return nb::none();
        nb::object item;
        try {
            item = co_await st.asyncio.attr(INTERNED("wait_for"))(m_queue.attr(INTERNED("get"))(),
                                                                  OUTPUT_POLL_INTERVAL);
        } catch (nb::python_error &e) {
            if (!e.matches(st.asyncio_timeout))
                throw;
            continue; // nothing arrived: look at the readers again
        }
        if (!item.is(st.end_of_stream))
            co_return item;
        ++m_ended_pipes;
    }
}

core::Task<nb::object> PipProcess::wait() {
    co_await state().asyncio.attr("gather")(m_stdout_task, m_stderr_task);
    nb::object code = co_await m_process.attr("wait")();
    co_return code;
}

} // namespace manager
