// MessageBatcher's flush loop and its start/stop life.
#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/task.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

void construct(nb::handle self, nb::object kernel) {
    self.attr("_kernel") = kernel;
    self.attr("_queue") = state().asyncio.attr("Queue")();
    self.attr("_flush_task") = nb::none();
    self.attr("_running") = false;
}

core::Task<> start(nb::object self) {
    self.attr("_running") = true;
    self.attr("_flush_task") = state().asyncio.attr("create_task")(self.attr("_flush_loop")());
    co_return;
}

core::Task<> enqueue(nb::object self, nb::object message) {
    self.attr("_queue").attr("put_nowait")(message);
    co_return;
}

core::Task<> flush_loop(nb::object self) {
    nb::object sleep = state().asyncio.attr("sleep");
    while (nb::cast<bool>(self.attr(INTERNED("_running")))) {
        co_await sleep(self.attr("FLUSH_INTERVAL"));
        co_await self.attr(INTERNED("_flush_now"))();
    }
}

// Sends what is queued at this moment: one message as itself, several as one "batch".
core::Task<> flush_now(nb::object self) {
    nb::object queue = self.attr(INTERNED("_queue"));
    nb::list messages;
    while (!nb::cast<bool>(queue.attr("empty")()))
        messages.append(queue.attr("get_nowait")());
    if (messages.size() == 0)
        co_return;
    nb::object send = self.attr("_kernel").attr("_send_message_direct");
    if (messages.size() == 1) {
        co_await send(messages[0]);
        co_return;
    }
    nb::dict batch;
    batch["type"] = "batch";
    batch["messages"] = messages;
    co_await send(batch);
}

core::Task<> stop(nb::object self) {
    self.attr("_running") = false;
    nb::object task = self.attr("_flush_task");
    if (!task.is_none()) {
        task.attr("cancel")();
        try {
            co_await task;
        } catch (nb::python_error &e) {
            if (!e.matches(state().asyncio.attr("CancelledError")))
                throw;
        }
    }
    // Nothing queued is lost: the last messages go out now.
    co_await self.attr("_flush_now")();
}

} // namespace

void bind_message_batcher(nb::module_ &module) {
    nb::class_<MessageBatcher>(module, "MessageBatcher", nb::dynamic_attr(),
                               "Groups outbound messages queued within FLUSH_INTERVAL seconds "
                               "into one \"batch\" frame.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<MessageBatcher> self, nb::object kernel) {
                new (self.p) MessageBatcher();
                construct(self.h, kernel);
            },
            nb::arg("kernel"))
        .def("start", core::coroutine_method<start>("MessageBatcher.start"))
        .def("stop", core::coroutine_method<stop>("MessageBatcher.stop"))
        .def("enqueue", core::coroutine_method<enqueue, nb::object>("MessageBatcher.enqueue"),
             nb::arg("message").none())
        .def("_flush_loop", core::coroutine_method<flush_loop>("MessageBatcher._flush_loop"))
        .def("_flush_now", core::coroutine_method<flush_now>("MessageBatcher._flush_now"))
        .attr("FLUSH_INTERVAL") = FLUSH_INTERVAL;
}

} // namespace kernel
