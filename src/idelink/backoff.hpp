// Reconnection back-off arithmetic, kept apart from the connection loop so it can be checked
// with plain values.
#pragma once

namespace idelink {

// The wait before reconnection round `attempt` (1 for the first round after a loss):
// base × 2^(attempt − 1), capped at `cap`. Any attempt count is safe: where the doubling would
// overflow a double the result is the cap.
double backoff_delay(double base, double cap, long long attempt);

} // namespace idelink
