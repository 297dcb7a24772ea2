// Handing a coroutine to the connection thread's event loop from any thread.
#pragma once

#include <nanobind/nanobind.h>

namespace idelink {
namespace nb = nanobind;

// asyncio.run_coroutine_threadsafe(coroutine, loop), without waiting for the result. Returns
// false when the loop refused it (it was closed meanwhile by the connection thread's end); the
// coroutine is then closed so that it is not reported as never awaited.
bool submit_to_loop(nb::handle loop, nb::object coroutine, nb::object *refusal = nullptr);

} // namespace idelink
