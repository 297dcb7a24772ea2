// Serialising an outbound message whose fields hold JSON data that the serialiser still refuses
// (nesting deeper than it goes): such a field goes out as its repr text instead.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// json_dumps(message). When it fails, each top-level field holding only JSON data (objects,
// arrays, text, numbers, booleans, null) that cannot be serialised on its own is replaced by
// its repr text (shortened as reprlib shortens it), the error is logged naming the fields, and
// the copy is sent: a reply echoing what a request carried still goes out. Raises the
// serialiser's error when no such field explains the failure (a value JSON cannot carry).
nb::str encode_message(nb::handle message);

} // namespace kernel
