// A Python `logging.Logger` seen from C++: lines are built only when their level is enabled.
#pragma once

#include "core/text.hpp"

namespace core {

class Logger {
public:
    static constexpr int DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40;

    Logger() = default;
    explicit Logger(nb::object logger) : m_logger(std::move(logger)) {}

    // Asks the logger each time: tests and operators change levels at run time.
    bool enabled(int level) const;
    void write(int level, nb::handle message) const;

    template <class... P> void debug(const P &...pieces) const { emit(DEBUG, pieces...); }
    template <class... P> void info(const P &...pieces) const { emit(INFO, pieces...); }
    template <class... P> void warning(const P &...pieces) const { emit(WARNING, pieces...); }
    template <class... P> void error(const P &...pieces) const { emit(ERROR, pieces...); }

    nb::handle python() const { return m_logger; }

private:
    template <class... P> void emit(int level, const P &...pieces) const {
        if (enabled(level))
            write(level, text(pieces...));
    }

    nb::object m_logger;
};

} // namespace core
