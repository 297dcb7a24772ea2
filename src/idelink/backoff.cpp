// Reconnection back-off arithmetic.
#include "idelink/backoff.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

namespace idelink {

double backoff_delay(double base, double cap, long long attempt) {
    // ldexp saturates to infinity (or to zero for a zero base) instead of overflowing, as the
    // integer power 2 ** (attempt - 1) of a naive version would after about a thousand rounds.
    long long exponent = std::clamp(attempt - 1, static_cast<long long>(INT_MIN) + 1,
                                    static_cast<long long>(INT_MAX));
    double delay = std::ldexp(base, static_cast<int>(exponent));
    return std::min(cap, delay);
}

} // namespace idelink
