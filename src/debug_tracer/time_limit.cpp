// Calling Python code under a time limit: a watchdog thread raises TimeLimitExceeded in the
// calling thread once the limit has passed.
//
// The exception is asynchronous: it arrives at the next bytecode boundary of the limited call,
// so pure Python code of any length is interrupted; a single C call that never returns is not.
// One watchdog thread serves the process; it sleeps until the earliest deadline and is woken
// only when it was idle, so arming costs a lock, not a thread switch.
#include "debug_tracer/tracer.hpp"

#include <chrono>
#include <thread>

namespace debug_tracer {
namespace {

using Clock = std::chrono::steady_clock;

struct Watchdog {
    std::mutex mutex; // guards every field below
    std::condition_variable wakeup;
    bool started = false;
    bool idle = false; // waiting for an arming, with no deadline
    bool armed = false;
    uint64_t token = 0; // the armed call
    uint64_t fired = 0; // the last call the exception was raised in
    unsigned long thread = 0;
    Clock::time_point deadline;
};

Watchdog &watchdog() {
    static auto *dog = new Watchdog(); // leaked: the thread outlives every destructor
    return *dog;
}

void watch(Watchdog &dog) {
    std::unique_lock<std::mutex> lock(dog.mutex);
    while (true) {
        if (!dog.armed) {
            dog.idle = true;
            dog.wakeup.wait(lock);
            dog.idle = false;
            continue;
        }
        if (Clock::now() < dog.deadline) {
            dog.wakeup.wait_until(lock, dog.deadline);
            continue;
        }
        uint64_t token = dog.token;
        unsigned long thread = dog.thread;
        // The GIL is taken without the mutex held: the limited thread takes the mutex with the
        // GIL held when its call ends.
        lock.unlock();
        PyGILState_STATE gil = PyGILState_Ensure();
        lock.lock();
        if (dog.armed && dog.token == token) {
            PyThreadState_SetAsyncExc(thread, TimeLimitExceeded);
            dog.fired = token;
            dog.armed = false;
        }
        lock.unlock();
        PyGILState_Release(gil);
        lock.lock();
    }
}

} // namespace

nb::object call_with_time_limit(nb::handle fn, double seconds) {
    Watchdog &dog = watchdog();
    uint64_t token = 0;
    {
        std::lock_guard<std::mutex> lock(dog.mutex);
        if (!dog.started) {
            std::thread(watch, std::ref(dog)).detach();
            dog.started = true;
        }
        // One limited call at a time: a call made while another is limited (nested, or on
        // another thread) runs without a limit of its own.
        if (!dog.armed) {
            token = ++dog.token;
            dog.armed = true;
            dog.thread = PyThread_get_thread_ident();
            auto span = std::chrono::duration<double>(seconds > 0 ? seconds : 0.0);
            dog.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
            if (dog.idle)
                dog.wakeup.notify_one();
        }
    }
    PyObject *result = PyObject_CallNoArgs(fn.ptr());
    if (token) {
        bool fired;
        {
            std::lock_guard<std::mutex> lock(dog.mutex);
            dog.armed = dog.armed && dog.token != token;
            fired = dog.fired == token;
        }
        // Raised just as the call ended: withdraw it before it hits the caller's code.
        if (fired && result)
            core::withdraw_pending(TimeLimitExceeded);
    }
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

} // namespace debug_tracer
