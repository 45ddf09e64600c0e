/*
 * The one way a program or plug-in of the suite reports: four levels, one
 * threshold per program or plug-in, the text written to standard error as
 * given (the agent's standard error is its log, qeld.log or the journal).
 * Nothing is added to a message: the texts other programs and operators
 * look for stay exactly as written at the call.
 *
 *   qel::logError("Cannot open %s: %s\n", path, strerror(errno));
 *   qel::logDebug("var_cpuTable: starting\n");
 *
 * The threshold lives in an inline function's static, so each shared object
 * built with hidden inline visibility (every plug-in) keeps its own, and its
 * debug setting does not change the agent's.
 */
#ifndef QEL_LOG_H
#define QEL_LOG_H

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace qel {

enum class LogLevel : int { error = 0, warning = 1, info = 2, debug = 3 };

// The most detailed level written; info unless the program asks for more.
inline std::atomic<int> &logThreshold() {
    static std::atomic<int> threshold{static_cast<int>(LogLevel::info)};
    return threshold;
}

inline void setLogLevel(LogLevel level) {
    logThreshold().store(static_cast<int>(level), std::memory_order_relaxed);
}

// A debug flag of the old kind (0 off, anything else on) as a level.
inline void setLogDebug(bool on) {
    setLogLevel(on ? LogLevel::debug : LogLevel::info);
}

inline bool logEnabled(LogLevel level) {
    return static_cast<int>(level) <= logThreshold().load(std::memory_order_relaxed);
}

inline void logV(LogLevel level, const char *fmt, va_list ap) {
    if (!logEnabled(level))
        return;
    std::vfprintf(stderr, fmt, ap);
}

__attribute__((format(printf, 2, 3))) inline void logAt(LogLevel level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    logV(level, fmt, ap);
    va_end(ap);
}

#define QEL_LOG_LEVEL_FN(name, level)                                                                                  \
    __attribute__((format(printf, 1, 2))) inline void name(const char *fmt, ...) {                                     \
        va_list ap;                                                                                                    \
        va_start(ap, fmt);                                                                                             \
        logV(level, fmt, ap);                                                                                          \
        va_end(ap);                                                                                                    \
    }
QEL_LOG_LEVEL_FN(logError, LogLevel::error)
QEL_LOG_LEVEL_FN(logWarning, LogLevel::warning)
QEL_LOG_LEVEL_FN(logInfo, LogLevel::info)
QEL_LOG_LEVEL_FN(logDebug, LogLevel::debug)
#undef QEL_LOG_LEVEL_FN

} // namespace qel

#endif
