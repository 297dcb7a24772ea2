// Whether the hub connection uses TLS: QUORVEL_SECURED, default "1"; only "0" turns TLS off.
#pragma once

namespace kernel {

// Read anew at each call: the constructor (URL scheme) and connect (TLS context) both ask.
bool secured_mode();

} // namespace kernel
