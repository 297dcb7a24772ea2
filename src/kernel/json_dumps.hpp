// The serialiser of every outbound frame: orjson when importable, else the standard json module.
#pragma once

#include <nanobind/nanobind.h>

namespace kernel {
namespace nb = nanobind;

// Chooses the serialiser once, at module load.
void init_json_dumps();
// json_dumps(obj): compact UTF-8 JSON text with orjson, json.dumps defaults otherwise (and for a
// message orjson refuses but the standard module encodes: text with lone surrogates). Raises what
// the serialiser raises for values it cannot encode.
nb::str json_dumps(nb::handle obj);
// True when orjson was chosen.
bool json_dumps_uses_orjson();

} // namespace kernel
