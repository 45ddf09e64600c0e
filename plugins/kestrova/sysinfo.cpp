// The sysinfo worker: refreshes the file-system and CPU tables every 30
// seconds (two stop-aware sleeps of 15).
#include <atomic>
#include <cstdio>
#include <ctime>

#include "kestrova.h"
#include "solaris_kstat.h"
#include "sysinfo.h"
#include "qel/log.h"

namespace {
std::atomic<sysinfoClock_t> clockFn{nullptr};
}

void sysinfoSetClock(sysinfoClock_t clock) {
    clockFn.store(clock);
}

time_t sysinfoNow() {
    sysinfoClock_t c = clockFn.load();
    return c ? c() : std::time(nullptr);
}

extern "C" int init_sysinfo(void) {
    return 1;
}

extern "C" void *sysinfo_dowork(void *) {
    if (sysinfoGroup.load(std::memory_order_relaxed) == 0)
        return nullptr;
    try {
        while (kestrova_thread_kill.load(std::memory_order_relaxed) != 1) {
            reloadFilesystems();
            pruneFilesystems();
            reloadCpuTable();
            if (!kestrovaSleep(15) || !kestrovaSleep(15))
                break;
        }
    } catch (...) {
        // The tables keep their last figures.
        kestrova::logCaught("sysinfo worker");
    }
    qel::logInfo("sysinfo worker returning\n");
    kstat_finish();
    return nullptr;
}
