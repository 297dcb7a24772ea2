// Tracer: breakpoints, step decisions, the pause loop and the commands of one debug session.
#include "debug_tracer/tracer.hpp"

#include "core/errors.hpp"
#include "core/objects.hpp"

#include <atomic>

namespace debug_tracer {

PyObject *DebugStopped = nullptr;
PyObject *TimeLimitExceeded = nullptr;

namespace {

// Every breakpoint set of every tracer gets its own stamp, so one code object's cached
// CodeInfo is never mistaken for another set's.
std::atomic<uint64_t> g_last_stamp{0};
uint64_t next_stamp() { return ++g_last_stamp; }

#if PY_VERSION_HEX >= 0x030C0000
#define REQUEST_CODE_EXTRA_INDEX PyUnstable_Eval_RequestCodeExtraIndex
#define CODE_GET_EXTRA PyUnstable_Code_GetExtra
#define CODE_SET_EXTRA PyUnstable_Code_SetExtra
#else
#define REQUEST_CODE_EXTRA_INDEX _PyEval_RequestCodeExtraIndex
#define CODE_GET_EXTRA _PyCode_GetExtra
#define CODE_SET_EXTRA _PyCode_SetExtra
#endif

// Runs when a code object is freed, on whatever thread frees it; no Python call here.
void free_code_info(void *info) { delete static_cast<CodeInfo *>(info); }

Py_ssize_t code_extra_index() {
    static Py_ssize_t index = REQUEST_CODE_EXTRA_INDEX(free_code_info);
    return index;
}

// Sets m_busy for a scope on the session's worker: its hooks let the frames of our own helper
// calls through. (Other threads computing code info leave the worker's flag alone.)
class BusyScope {
public:
    BusyScope(bool &busy, bool on_worker) : m_busy(busy), m_was(busy) {
        if (on_worker)
            busy = true;
    }
    ~BusyScope() { m_busy = m_was; }

private:
    bool &m_busy;
    bool m_was;
};

nb::object line_starts() {
    static PyObject *function = [] {
        nb::object dis = nb::module_::import_("dis");
        return nb::object(dis.attr("findlinestarts")).release().ptr();
    }();
    return nb::borrow(function);
}

const char *const STOPPED_TEXT = "The debug session was stopped";

const char *const STOPPED_EVALUATION = "Evaluation stopped: the debug session ended";

} // namespace

Tracer::Tracer(nb::object on_pause, nb::object evaluate, nb::object is_user_file)
    : m_on_pause(std::move(on_pause)), m_evaluate(std::move(evaluate)),
      m_is_user_file(std::move(is_user_file)), m_files(nb::dict()), m_stamp(next_stamp()) {
    code_extra_index();
}

Tracer::~Tracer() { backend::release(*this); }

const CodeInfo *Tracer::cached_info(PyCodeObject *code) const {
    // No Python call here: the hot paths of the backends rely on it.
    void *extra = nullptr;
    if (CODE_GET_EXTRA(reinterpret_cast<PyObject *>(code), code_extra_index(), &extra) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    const CodeInfo *info = static_cast<const CodeInfo *>(extra);
    return info && info->stamp == m_stamp ? info : nullptr;
}

CodeInfo &Tracer::info(PyCodeObject *code) {
    PyObject *object = reinterpret_cast<PyObject *>(code);
    void *extra = nullptr;
    if (CODE_GET_EXTRA(object, code_extra_index(), &extra) < 0)
        PyErr_Clear();
    CodeInfo *info = static_cast<CodeInfo *>(extra);
    if (!info) {
        info = new CodeInfo();
        if (CODE_SET_EXTRA(object, code_extra_index(), info) < 0) {
            // No slot for us: recompute into a scratch record each time (slow, still right).
            PyErr_Clear();
            delete info;
            static thread_local CodeInfo scratch;
            info = &scratch;
            info->stamp = 0;
        }
    }
    if (info->stamp == m_stamp)
        return *info;
    // The loop thread may replace the breakpoint set while Python runs below: this computation
    // keeps the set it started with, under that set's stamp.
    info->stamp = m_stamp;
    info->user_known = false;
    info->lines.clear();
    nb::object files = m_files;
    PyObject *found = PyDict_GetItemWithError(files.ptr(), code->co_filename);
    if (!found) {
        if (PyErr_Occurred())
            PyErr_WriteUnraisable(files.ptr());
        return *info;
    }
    nb::object lines = nb::borrow(found);
    BusyScope busy(m_busy, PyThreadState_Get() == m_tstate);
    try {
        for (nb::handle start : line_starts()(nb::handle(object))) {
            nb::object line = nb::borrow(start)[1];
            if (line.is_none() || PySet_Contains(lines.ptr(), line.ptr()) != 1)
                continue;
            int number = static_cast<int>(PyLong_AsLong(line.ptr()));
            if (!info->has_line(number))
                info->lines.push_back(number);
        }
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("computing the breakpoint lines of a code object");
    }
    return *info;
}

bool Tracer::is_user(CodeInfo &info, PyCodeObject *code) {
    if (info.user_known)
        return info.user;
    BusyScope busy(m_busy, PyThreadState_Get() == m_tstate);
    PyObject *answer = PyObject_CallOneArg(m_is_user_file.ptr(), code->co_filename);
    int truth = answer ? PyObject_IsTrue(answer) : -1;
    Py_XDECREF(answer);
    if (truth < 0)
        PyErr_WriteUnraisable(m_is_user_file.ptr());
    info.user = truth > 0;
    info.user_known = true;
    return info.user;
}

bool Tracer::step_stops(CodeInfo &code_info, PyCodeObject *code, int depth) {
    switch (m_step) {
    case StepMode::None:
        return false;
    case StepMode::Into:
        return is_user(code_info, code);
    case StepMode::Over:
        return depth <= m_step_depth && is_user(code_info, code);
    case StepMode::Out:
        return depth < m_step_depth && is_user(code_info, code);
    }
    return false;
}

bool Tracer::needs_lines(PyCodeObject *code, int depth) {
    if (m_stopped || m_phase != Phase::Running)
        return false;
    CodeInfo &code_info = info(code);
    return code_info.has_breakpoints() || step_stops(code_info, code, depth);
}

int Tracer::on_line(PyObject *frame, PyCodeObject *code, int line, int depth) {
    if (m_stopped || m_busy || m_phase != Phase::Running)
        return 0;
    CodeInfo &code_info = info(code);
    bool at_breakpoint = code_info.has_line(line);
    bool stepping = step_stops(code_info, code, depth);
    if (!at_breakpoint && !stepping)
        return 0;
    return pause(frame, line, depth, at_breakpoint, stepping, nb::handle());
}

void Tracer::set_phase(Phase phase) { m_phase = phase; }

int Tracer::pause(PyObject *frame, int line, int depth, bool at_breakpoint, bool stepping,
                  nb::handle exception) {
    set_phase(Phase::Pausing);
    backend::suspend(*this);

    PyObject *answer = PyObject_CallFunction(
        m_on_pause.ptr(), "OiOOO", frame, line, at_breakpoint ? Py_True : Py_False,
        stepping ? Py_True : Py_False, exception.is_valid() ? exception.ptr() : Py_None);
    if (!answer) {
        if (m_stopped || PyErr_ExceptionMatches(DebugStopped))
            return leave_pause(true);
        if (took_interrupt())
            return leave_pause(false);
        // A fault of the pause handler must not end the user's run: report it and go on.
        PyErr_WriteUnraisable(m_on_pause.ptr());
        return leave_pause(false);
    }
    int stop_here = PyObject_IsTrue(answer);
    Py_DECREF(answer);
    if (stop_here < 0) {
        PyErr_WriteUnraisable(m_on_pause.ptr());
        stop_here = 0;
    }
    if (!stop_here)
        return leave_pause(m_stopped);

    while (true) {
        Pending next = wait_for_command();
        // An interrupt that came while parked would hit the debugger's next call of Python.
        if (core::withdraw_pending(PyExc_KeyboardInterrupt))
            m_interrupted = true;
        if (m_stopped) {
            // Stopped while parked: what came before the Stop is not run.
            if (next.expression.is_valid())
                answer_evaluation(next.deliver, STOPPED_EVALUATION);
            return leave_pause(true);
        }
        if (next.expression.is_valid()) {
            set_phase(Phase::Evaluating);
            PyObject *result = PyObject_CallFunctionObjArgs(m_evaluate.ptr(), frame,
                                                            next.expression.ptr(), nullptr);
            if (result) {
                answer_evaluation(next.deliver, nb::steal(result));
            } else if (m_stopped || PyErr_ExceptionMatches(DebugStopped)) {
                PyErr_Clear();
                answer_evaluation(next.deliver, STOPPED_EVALUATION);
                return leave_pause(true);
            } else if (took_interrupt()) {
                answer_evaluation(next.deliver, "The run was interrupted");
            } else {
                PyErr_WriteUnraisable(m_evaluate.ptr());
                answer_evaluation(next.deliver, "The debugger could not evaluate the expression");
            }
            set_phase(Phase::Pausing);
            continue;
        }
        switch (next.command) {
        case Command::Continue:
            m_step = StepMode::None;
            break;
        case Command::StepOver:
            m_step = StepMode::Over;
            break;
        case Command::StepInto:
            m_step = StepMode::Into;
            break;
        case Command::StepOut:
            m_step = StepMode::Out;
            break;
        case Command::Stop:
            return leave_pause(true);
        }
        m_step_depth = depth;
        break;
    }
    if (m_stopped)
        return leave_pause(true);
    backend::step_changed(*this, frame);
    return leave_pause(false);
}

int Tracer::leave_pause(bool stop) {
    // From here on nothing is queued for this pause. What is still queued belonged to it: a
    // second Continue must not swallow the next pause, and evaluations get an answer.
    set_phase(Phase::Running);
    {
        ErrorAside raised;
        std::deque<Pending> late;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            late.swap(m_queue);
        }
        for (Pending &pending : late)
            if (pending.expression.is_valid())
                answer_evaluation(pending.deliver, stop ? STOPPED_EVALUATION
                                                        : "The debug session is no longer paused");
    }
    // The interrupt kept aside is given back to the user's code: it lands there at its next
    // bytecode boundary, as it would have without the pause.
    if (m_interrupted && !stop && m_thread_id)
        PyThreadState_SetAsyncExc(m_thread_id, PyExc_KeyboardInterrupt);
    m_interrupted = false;
    if (stop && !PyErr_Occurred())
        PyErr_SetString(DebugStopped, STOPPED_TEXT);
    backend::resume(*this);
    return stop ? -1 : 0;
}

bool Tracer::took_interrupt() {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
        return false;
    PyErr_Clear();
    m_interrupted = true;
    return true;
}

void Tracer::answer_evaluation(nb::handle deliver, nb::handle answer) {
    // An interrupt from stop() still pending would hit the delivery instead of user code.
    if (m_stopped)
        core::withdraw_pending(DebugStopped);
    PyObject *delivered = PyObject_CallOneArg(deliver.ptr(), answer.ptr());
    if (!delivered && !took_interrupt())
        PyErr_WriteUnraisable(deliver.ptr());
    Py_XDECREF(delivered);
}

void Tracer::answer_evaluation(nb::handle deliver, const char *error) {
    nb::dict answer;
    answer["error"] = error;
    answer_evaluation(deliver, answer);
}

Tracer::Pending Tracer::wait_for_command() {
    set_phase(Phase::Waiting);
    Pending next;
    Py_BEGIN_ALLOW_THREADS {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wakeup.wait(lock, [this] { return !m_queue.empty(); });
        // Moving leaves a null object behind: popping it needs no GIL.
        next = std::move(m_queue.front());
        m_queue.pop_front();
    }
    Py_END_ALLOW_THREADS;
    set_phase(Phase::Pausing);
    return next;
}

bool Tracer::paused() const {
    return m_phase == Phase::Pausing || m_phase == Phase::Waiting || m_phase == Phase::Evaluating;
}

bool Tracer::post_command(Command command) {
    if (!paused())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({command, nb::object(), nb::object()});
    }
    m_wakeup.notify_one();
    return true;
}

bool Tracer::evaluate(nb::object expression, nb::object deliver) {
    if (!paused())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({Command::Continue, std::move(expression), std::move(deliver)});
    }
    m_wakeup.notify_one();
    return true;
}

void Tracer::interrupt() {
    if (m_thread_id)
        PyThreadState_SetAsyncExc(m_thread_id, DebugStopped);
}

void Tracer::stop() {
    m_stopped = true;
    // Code running on the worker (the user's, an evaluation, a repr) is interrupted at its next
    // bytecode boundary; a parked worker is woken by the command.
    if (m_phase == Phase::Running || m_phase == Phase::Pausing || m_phase == Phase::Evaluating)
        interrupt();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({Command::Stop, nb::object(), nb::object()});
    }
    m_wakeup.notify_one();
}

void Tracer::set_breakpoints(nb::handle files) {
    nb::dict table;
    for (auto [filename, lines] : nb::borrow<nb::dict>(files))
        table[filename] = nb::frozenset(lines);
    m_files = table;
    m_stamp = next_stamp();
    if (m_phase == Phase::Running)
        backend::breakpoints_changed(*this);
}

const char *Tracer::backend_name() const { return backend::name(); }

namespace {

// The innermost frame of `exception`'s traceback that runs user code, and its line.
std::pair<nb::object, int> user_frame_of(Tracer &tracer, nb::handle exception) {
    std::pair<nb::object, int> found{nb::object(), 0};
    nb::object traceback = nb::borrow(exception).attr("__traceback__");
    while (!traceback.is_none()) {
        nb::object frame = traceback.attr("tb_frame");
        PyCodeObject *code = PyFrame_GetCode(reinterpret_cast<PyFrameObject *>(frame.ptr()));
        bool user = tracer.is_user(tracer.info(code), code);
        Py_DECREF(code);
        if (user)
            found = {frame, nb::cast<int>(traceback.attr("tb_lineno"))};
        traceback = traceback.attr("tb_next");
    }
    return found;
}

} // namespace

nb::object Tracer::runcall(nb::handle self, nb::handle function, nb::handle args) {
    if (m_phase != Phase::Idle)
        core::raise(PyExc_RuntimeError, "runcall is already running for this debug session");
    if (m_stopped)
        return nb::none();
    m_thread_id = PyThread_get_thread_ident();
    m_tstate = PyThreadState_Get();
    m_step = StepMode::None;
    backend::begin(*this, self.ptr());
    set_phase(Phase::Running);
    PyObject *result = PyObject_Call(function.ptr(), args.ptr(), nullptr);
    if (!result && !m_stopped && !PyErr_ExceptionMatches(DebugStopped)) {
        // An exception leaves the user's code: pause where it was raised, then let it go on.
        ErrorAside raised;
        int paused = 0;
        try {
            auto [frame, line] = user_frame_of(*this, raised.exception());
            if (frame.is_valid())
                paused = pause(frame.ptr(), line, 0, false, false, raised.exception());
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("finding where a debugged exception was raised");
        }
        if (paused < 0)
            Py_DECREF(raised.take()); // stopped there: DebugStopped replaces it
    }
    if (!result && (m_stopped || PyErr_ExceptionMatches(DebugStopped))) {
        PyErr_Clear();
        result = Py_NewRef(Py_None);
    }
    backend::end(*this);
    set_phase(Phase::Idle);
    // No bytecode ran since the user's code returned: an interrupt still pending from stop()
    // is withdrawn here, before it could hit the kernel's own code.
    core::withdraw_pending(DebugStopped);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

int Tracer::traverse(visitproc visit, void *arg) {
    Py_VISIT(m_on_pause.ptr());
    Py_VISIT(m_evaluate.ptr());
    Py_VISIT(m_is_user_file.ptr());
    Py_VISIT(m_files.ptr());
    return 0;
}

void Tracer::clear() {
    m_on_pause = nb::none();
    m_evaluate = nb::none();
    m_is_user_file = nb::none();
}

} // namespace debug_tracer
