// Submission of coroutines to the connection thread's loop.
#include "idelink/loop_submission.hpp"
#include "core/errors.hpp"

#include "idelink/idelink_module.hpp"

namespace idelink {

bool submit_to_loop(nb::handle loop, nb::object coroutine, nb::object *refusal) {
    try {
        state().asyncio.attr("run_coroutine_threadsafe")(coroutine, loop);
        return true;
    } catch (nb::python_error &e) {
        // A closed loop raises RuntimeError; anything else is not ours to hide.
        if (!e.matches(PyExc_RuntimeError))
            throw;
        coroutine.attr("close")();
        if (refusal)
            *refusal = core::exception_of(e);
        return false;
    }
}

} // namespace idelink
