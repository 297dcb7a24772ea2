// The object keeper: named objects user code keeps alive in the kernel between calls, and the
// messages that announce them.
//
// Every method may be called from any thread: workers call them from user code, the listener
// loop from the "get_object_registry" branch. `_object_keeper_lock` (a threading.Lock, not
// reentrant) guards `_object_keeper` for one dictionary operation at a time. Nothing that can
// run user code happens under it: reprs are taken from a snapshot after the lock is released,
// and an object that a save or clear drops is released after it too, so a repr or a finaliser
// that reaches the keeper itself cannot deadlock the thread that called it. Notifications are
// posted to the loop and not awaited; a kernel that is not connected sends none.

#include "core/errors.hpp"
#include "core/objects.hpp"
#include "core/text.hpp"
#include "kernel/kernel_handlers.hpp"
#include "kernel/kernel_module.hpp"
#include "kernel/runs/runs.hpp"
#include "kernel/wire/wire.hpp"

namespace kernel {
namespace {

nb::str class_name(nb::handle value) { return nb::str(core::type_name(value)); }

// `text` cut to MAX_REPR_LENGTH characters, marked with its full length when it was longer.
nb::str bounded(nb::str text) {
    Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    if (length <= MAX_REPR_LENGTH)
        return text;
    nb::object head = nb::steal(PyUnicode_Substring(text.ptr(), 0, MAX_REPR_LENGTH));
    if (!head.is_valid())
        throw nb::python_error();
    return core::text(head, "... [", length, " characters]");
}

// repr(value) as the IDE is shown it. A repr that raises an ordinary exception is user code's
// fault, not the kernel's: the text says so instead, and the caller goes on.
nb::str shown_repr(nb::handle key, nb::handle value) {
    PyObject *text = PyObject_Repr(value.ptr());
    if (text)
        return bounded(nb::steal<nb::str>(text));
    nb::python_error error;
    if (!core::is_ordinary(error))
        throw error;
    nb::object exception = core::exception_of(error);
    nb::str reason = class_name(exception);
    PyObject *detail = PyObject_Str(exception.ptr());
    if (detail && PyUnicode_GetLength(detail) > 0)
        reason = core::text(reason, ": ", nb::steal(detail));
    else if (!detail)
        PyErr_Clear(); // the exception's own text failed too: its class name has to do
    else
        Py_DECREF(detail);
    log().warning("[Kernel] repr() of kept object '", key, "' raised ", reason);
    return bounded(core::text("<", class_name(value), " object; repr() raised ", reason, ">"));
}

// Posts `message` to the loop without waiting for it to go out.
void notify(nb::handle self, nb::object message) {
    nb::object channel = self.attr(INTERNED("_output_channel"));
    if (channel.is_none()) {
        nb::object type = message[INTERNED("type")];
        log().debug("[Kernel] Not connected: ", type, " not sent");
        return;
    }
    try {
        OutputChannel::post(channel, std::move(message));
    } catch (nb::python_error &e) {
        if (!core::is_ordinary(e))
            throw;
        // The loop has closed: as a send that fails after the caller moved on.
        log().debug("[Kernel] Failed to post a keeper notification: ", core::exception_of(e));
    }
}

nb::object keeper_of(nb::handle self) { return self.attr(INTERNED("_object_keeper")); }

ThreadLockHold keeper_lock(nb::handle self) {
    return ThreadLockHold(self.attr(INTERNED("_object_keeper_lock")));
}

void save_object(nb::handle self, nb::str key, nb::object value) {
    if (PyUnicode_GetLength(key.ptr()) == 0)
        core::raise(PyExc_ValueError, "ObjectKeeper key must be a non-empty string");
    nb::object replaced;
    {
        ThreadLockHold hold = keeper_lock(self);
        nb::object keeper = keeper_of(self);
        replaced = keeper.attr("get")(key);
        keeper[key] = value;
    }
    replaced.reset();

    nb::str type_name = class_name(value);
    nb::str repr = shown_repr(key, value);
    notify(self, message_of({{"type", INTERNED("object_registry_update")},
                             {"action", INTERNED("update")},
                             {"key", key},
                             {"object_type", type_name},
                             {"repr", repr},
                             {"workbook_id", self.attr(INTERNED("workbook_id"))}}));
    log().debug("[Kernel] Saved object: ", key, " (type: ", type_name, ")");
}

nb::object get_object(nb::handle self, nb::str key) {
    ThreadLockHold hold = keeper_lock(self);
    return keeper_of(self).attr("get")(key);
}

void clear_object(nb::handle self, nb::str key) {
    nb::object removed;
    {
        ThreadLockHold hold = keeper_lock(self);
        removed = keeper_of(self).attr("pop")(key, nb::none());
    }
    removed.reset();
    notify(self, message_of({{"type", INTERNED("object_registry_update")},
                             {"action", INTERNED("delete")},
                             {"key", key},
                             {"workbook_id", self.attr(INTERNED("workbook_id"))}}));
    log().debug("[Kernel] Cleared object: ", key);
}

void clear_all_objects(nb::handle self) {
    nb::object removed;
    {
        ThreadLockHold hold = keeper_lock(self);
        nb::object keeper = keeper_of(self);
        removed = keeper.attr("copy")();
        keeper.attr("clear")();
    }
    removed.reset();
    notify(self, message_of({{"type", INTERNED("object_registry_update")},
                             {"action", INTERNED("clear_all")},
                             {"workbook_id", self.attr(INTERNED("workbook_id"))}}));
    log().debug("[Kernel] Cleared all objects");
}

// One entry per kept object, in the order they were first saved.
nb::list get_object_registry(nb::handle self) {
    nb::list items;
    {
        ThreadLockHold hold = keeper_lock(self);
        items = nb::list(keeper_of(self).attr("items")());
    }
    Py_ssize_t count = static_cast<Py_ssize_t>(items.size());
    nb::list registry = nb::steal<nb::list>(PyList_New(count));
    if (!registry.is_valid())
        throw nb::python_error();
    // Kept objects are mostly of a few types: each type's name is looked up once per call.
    nb::handle last_type;
    nb::str last_name;
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle item = PyList_GET_ITEM(items.ptr(), i);
        nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::handle value = PyTuple_GET_ITEM(item.ptr(), 1);
        nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()));
        if (!type.is(last_type)) {
            last_type = type;
            last_name = class_name(value);
        }
        nb::dict entry;
        entry[INTERNED("key")] = key;
        entry[INTERNED("type")] = last_name;
        entry[INTERNED("repr")] = shown_repr(key, value);
        PyList_SET_ITEM(registry.ptr(), i, entry.release().ptr());
    }
    return registry;
}

void set_enable_events(nb::handle self, bool enable) {
    nb::object flag = nb::bool_(enable);
    notify(self, message_of({{"type", INTERNED("set_enable_events")},
                             {"enable", flag},
                             {"workbook_id", self.attr(INTERNED("workbook_id"))}}));
    log().debug("[Kernel] Set enable_events: ", enable ? "True" : "False");
}

void show_message_box(nb::handle self, nb::str message, nb::str title, nb::str type) {
    notify(self, message_of({{"type", INTERNED("show_message_box")},
                             {"message", message},
                             {"title", title},
                             {"msg_type", type},
                             {"workbook_id", self.attr(INTERNED("workbook_id"))}}));
    log().debug("[Kernel] Requested message box: title='", title, "', type='", type, "'");
}

template <class Function, class... Extra>
void def_method(nb::handle cls, const char *name, Function &&function, const Extra &...extra) {
    nb::cpp_function_def(std::forward<Function>(function), nb::scope(cls), nb::name(name),
                         nb::is_method(), extra...);
}

} // namespace

core::Task<> handle_get_object_registry(nb::object self, nb::object) {
    log().debug("[Kernel] Received get_object_registry request");
    nb::object registry = self.attr("get_object_registry")();
    nb::dict response = message_of({{"type", INTERNED("object_registry_response")},
                                    {"objects", registry},
                                    {"workbook_id", self.attr(INTERNED("workbook_id"))}});
    co_await self.attr(INTERNED("send_message"))(response);
}

void bind_object_keeper(nb::module_ &module) {
    nb::object cls = module.attr("PythonKernel");
    def_method(cls, "save_object", &save_object, nb::arg("key"), nb::arg("value").none(),
               "Keeps `value` under `key` (a non-empty string), replacing what was kept there.");
    def_method(cls, "get_object", &get_object, nb::arg("key"),
               "The object kept under `key`, or None.");
    def_method(cls, "clear_object", &clear_object, nb::arg("key"),
               "Forgets the object kept under `key`, if any.");
    def_method(cls, "clear_all_objects", &clear_all_objects, "Forgets every kept object.");
    def_method(cls, "get_object_registry", &get_object_registry,
               "One {key, type, repr} entry per kept object, in the order they were saved.");
    def_method(cls, "set_enable_events", &set_enable_events, nb::arg("enable"),
               "Asks the spreadsheet to turn its event handling on or off.");
    def_method(cls, "show_message_box", &show_message_box, nb::arg("message"),
               nb::arg("title") = "Quorvel", nb::arg("type") = "Info",
               "Asks the spreadsheet to show a message box.");
    module.attr("MAX_REPR_LENGTH") = MAX_REPR_LENGTH;
}

} // namespace kernel
