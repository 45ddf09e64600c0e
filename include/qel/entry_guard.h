/*
 * The one catch-all of a C-linkage entry point or a thread's top: no
 * exception may cross either, so what the body throws is logged as an error
 * under the entry point's name and the entry point answers its failure
 * value.
 *
 *   extern "C" int qelAddVar(qelVar_t *var) {
 *       return qel::guarded("qelAddVar", -1, [&] { return addVar(var); });
 *   }
 */
#ifndef QEL_ENTRY_GUARD_H
#define QEL_ENTRY_GUARD_H

#include <exception>
#include <utility>

#include "qel/log.h"

namespace qel {

template <typename R, typename F>
R guarded(const char *who, R failure, F &&body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (const std::exception &e) {
        logError("%s: %s\n", who, e.what());
    } catch (...) {
        logError("%s: unknown exception\n", who);
    }
    return failure;
}

// The same for a body that returns nothing.
template <typename F>
void guardedVoid(const char *who, F &&body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (const std::exception &e) {
        logError("%s: %s\n", who, e.what());
    } catch (...) {
        logError("%s: unknown exception\n", who);
    }
}

} // namespace qel

#endif
