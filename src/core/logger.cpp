// Forwarding of C++ log lines to a Python logger.
#include "core/logger.hpp"

namespace core {

bool Logger::enabled(int level) const {
    if (!m_logger.is_valid())
        return false;
    return nb::cast<bool>(m_logger.attr("isEnabledFor")(level));
}

void Logger::write(int level, nb::handle message) const { m_logger.attr("log")(level, message); }

} // namespace core
