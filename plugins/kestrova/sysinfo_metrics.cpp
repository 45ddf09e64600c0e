// Cached memory, swap and disk figures and the metric variables. Each group
// is refreshed when older than 15 seconds, under a mutex of its own (the
// kernel-statistics readers take theirs inside every call).
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "hostfs.h"
#include "kestrova.h"
#include "qelselect.h"
#include "solaris_kstat.h"
#include "sysinfo.h"
#include "sysinfo_parse.h"

extern "C" {
long getNumberCPUs(void);
int getNumberTCPEndPts(void);
int getNumberUDPEndPts(void);
int getNumberProcesses(void);
int getNumberThreads(void);
int getNumberDependencies(void);
int getNumberPeers(void);
int amIVirtual(void);
}

namespace {

constexpr time_t kMaxAge = 15;

std::mutex cacheMutex;
uint64_t totalMem, usedMem, freeMem;
time_t memCacheTime;
uint64_t totalSwap, usedSwap, freeSwap;
time_t swapCacheTime;
uint64_t totalDiskReads, totalDiskWrites, totalDiskReadKB, totalDiskWriteKB;
time_t diskCacheTime;
bool memKnown, swapKnown, diskKnown;

// Caller holds cacheMutex.
int reloadMemLocked() {
    std::string text;
    uint64_t total, avail;
    if (!hostfs::readHostFile("/proc/meminfo", text, 1 << 20) || !sysinfoparse::parseMeminfo(text, total, avail))
        return -1;
    totalMem = total;
    freeMem = avail;
    usedMem = total - avail;
    return 1;
}

int reloadSwapLocked() {
    std::string text;
    uint64_t total, used;
    if (!hostfs::readHostFile("/proc/swaps", text, 1 << 20) || !sysinfoparse::parseSwaps(text, total, used))
        return -1;
    totalSwap = total;
    usedSwap = used;
    freeSwap = total - used;
    return 1;
}

int reloadDiskLocked() {
    // Grow the buffer until the count fits.
    std::vector<kstatIo_t> buf(16);
    int n;
    for (;;) {
        n = get_io_kstats("disk", buf.data(), static_cast<int>(buf.size()));
        if (n < 0)
            return -1;
        if (static_cast<size_t>(n) < buf.size() || buf.size() >= 65536)
            break;
        buf.resize(buf.size() * 4);
    }
    uint64_t reads = 0, writes = 0, rkb = 0, wkb = 0;
    for (int i = 0; i < n; ++i) {
        reads += buf[i].reads;
        writes += buf[i].writes;
        rkb += buf[i].nread / 1024;
        wkb += buf[i].nwritten / 1024;
    }
    totalDiskReads = reads;
    totalDiskWrites = writes;
    totalDiskReadKB = rkb;
    totalDiskWriteKB = wkb;
    return 1;
}

// Refreshes a group when it is older than the maximum age (or never read);
// a failed refresh keeps the last values.
template <typename Reload>
void refresh(bool &known, time_t &cacheTime, Reload reload) {
    time_t now = sysinfoNow();
    if (known && now - cacheTime <= kMaxAge)
        return;
    if (reload() == 1) {
        known = true;
        cacheTime = now;
    }
}

uint64_t memValue(uint64_t *which) {
    std::lock_guard lock(cacheMutex);
    refresh(memKnown, memCacheTime, reloadMemLocked);
    return *which;
}
uint64_t swapValue(uint64_t *which) {
    std::lock_guard lock(cacheMutex);
    refresh(swapKnown, swapCacheTime, reloadSwapLocked);
    return *which;
}
uint64_t diskValue(uint64_t *which) {
    std::lock_guard lock(cacheMutex);
    refresh(diskKnown, diskCacheTime, reloadDiskLocked);
    return *which;
}

} // namespace

extern "C" {

int reloadMemStats(void) {
    std::lock_guard lock(cacheMutex);
    int r = reloadMemLocked();
    if (r == 1)
        memKnown = true, memCacheTime = sysinfoNow();
    return r;
}
int reloadSwapStats(void) {
    std::lock_guard lock(cacheMutex);
    int r = reloadSwapLocked();
    if (r == 1)
        swapKnown = true, swapCacheTime = sysinfoNow();
    return r;
}
int reloadDiskStats(void) {
    std::lock_guard lock(cacheMutex);
    int r = reloadDiskLocked();
    if (r == 1)
        diskKnown = true, diskCacheTime = sysinfoNow();
    return r;
}

uint64_t getSystemMemory(void) {
    return memValue(&totalMem);
}
uint64_t getSystemMemoryUsed(void) {
    return memValue(&usedMem);
}
uint64_t getSystemMemoryFree(void) {
    return memValue(&freeMem);
}
uint64_t getSystemSwap(void) {
    return swapValue(&totalSwap);
}
uint64_t getSystemSwapUsed(void) {
    return swapValue(&usedSwap);
}
uint64_t getSystemSwapFree(void) {
    return swapValue(&freeSwap);
}
uint64_t getDiskReads(void) {
    return diskValue(&totalDiskReads);
}
uint64_t getDiskWrites(void) {
    return diskValue(&totalDiskWrites);
}
uint64_t getDiskReadKB(void) {
    return diskValue(&totalDiskReadKB);
}
uint64_t getDiskWriteKB(void) {
    return diskValue(&totalDiskWriteKB);
}

int getTotalThreads(void) {
    return getNumberThreads();
}

qelErrorStatus_t var_sysinfometrics(qelVar_t *vp, qelVariable_t *v) {
    if (!v)
        return genError;
    v->valueStr[0] = '\0';
    v->valueStrLen = 0;
    if (!vp || sysinfoGroup.load(std::memory_order_relaxed) == 0)
        return noSuchName;
    try {
        auto ll = [](uint64_t x) { return static_cast<long long>(x); };
        auto ull = [](uint64_t x) { return static_cast<unsigned long long>(x); };
        using M = kestrova::SysinfoMetric;
        switch (static_cast<M>(vp->hint)) {
        case M::totalSwap: qelSetValuef(v, gauge, "%lld", ll(getSystemSwap())); break;
        case M::usedSwap: qelSetValuef(v, gauge, "%lld", ll(getSystemSwapUsed())); break;
        case M::freeSwap: qelSetValuef(v, gauge, "%lld", ll(getSystemSwapFree())); break;
        case M::totalMem: qelSetValuef(v, gauge, "%lld", ll(getSystemMemory())); break;
        case M::usedMem: qelSetValuef(v, gauge, "%lld", ll(getSystemMemoryUsed())); break;
        case M::freeMem: qelSetValuef(v, gauge, "%lld", ll(getSystemMemoryFree())); break;
        case M::loadAvg1Min: qelSetValuef(v, floatingPoint, "%3.2f", static_cast<double>(getSystemLoad1Min())); break;
        case M::loadAvg5Min: qelSetValuef(v, floatingPoint, "%3.2f", static_cast<double>(getSystemLoad5Min())); break;
        case M::loadAvg15Min: qelSetValuef(v, floatingPoint, "%3.2f", static_cast<double>(getSystemLoad15Min())); break;
        case M::numberCPUs: qelSetValuef(v, gauge, "%ld", getNumberCPUs()); break;
        case M::kernelVers: {
            char text[128];
            get_kernel_version(text, sizeof text);
            qelSetValue(v, displayString, text);
            break;
        }
        case M::numTCPEndpts: qelSetValuef(v, gauge, "%d", getNumberTCPEndPts()); break;
        case M::numUDPEndpts: qelSetValuef(v, gauge, "%d", getNumberUDPEndPts()); break;
        case M::numProcesses: qelSetValuef(v, gauge, "%d", getNumberProcesses()); break;
        case M::numHandles: qelSetValuef(v, gauge, "%ld", getTotalHandles()); break;
        case M::numUsers: qelSetValuef(v, gauge, "%d", getNumberUsers()); break;
        case M::numDependencies: qelSetValuef(v, gauge, "%d", getNumberDependencies()); break;
        case M::numPeers: qelSetValuef(v, gauge, "%d", getNumberPeers()); break;
        case M::numThreads: qelSetValuef(v, gauge, "%d", getTotalThreads()); break;
        case M::diskReads: qelSetValuef(v, counter, "%lld", ll(getDiskReads())); break;
        case M::diskReadKB: qelSetValuef(v, counter, "%lld", ll(getDiskReadKB())); break;
        case M::diskWrites: qelSetValuef(v, counter, "%lld", ll(getDiskWrites())); break;
        case M::diskWriteKB: qelSetValuef(v, counter, "%lld", ll(getDiskWriteKB())); break;
        case M::systemTotalCpuUser:
        case M::systemTotalCpuIdle:
        case M::systemTotalCpuKernel:
        case M::systemTotalCpuWait: {
            uint64_t sums[4] = {};
            sysinfoCpuTotals(sums);
            qelSetValuef(v, counter, "%llu", ull(sums[vp->hint - static_cast<unsigned>(M::systemTotalCpuUser)]));
            break;
        }
        case M::virtualSystem: {
            int virt = amIVirtual();
            qelSetValue(v, extendedBoolean, virt == 1 ? "true" : virt == 0 ? "false" : "unknown");
            break;
        }
        case M::kernelSize: qelSetValuef(v, integer, "%d", get_kernel_wordsize()); break;
        default: break;
        }
    } catch (...) {
        kestrova::logCaught("var_sysinfometrics");
        return genError;
    }
    return v->valueStrLen == 0 ? noSuchName : noError;
}

} // extern "C"
