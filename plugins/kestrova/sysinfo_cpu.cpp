// The CPU table: ticks by state of every present CPU since boot, their
// shares since boot and between the worker's last two reloads. The arrays
// are created once and only grow; they are updated and read under one mutex.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hostfs.h"
#include "kestrova.h"
#include "qel/strutil.h"
#include "qelselect.h"
#include "solaris_kstat.h"
#include "sysinfo.h"
#include "qel/log.h"

namespace {

std::mutex cpuMutex;
bool created = false;
long ncpus = 0;
std::vector<aCpu_t> cpuStats;
std::vector<kstatCpuStat_t> cpustats;
std::unordered_map<int, size_t> byInstance;

// The present CPUs' kernel numbers; /proc/stat's where the list is absent.
std::vector<int> presentCpus() {
    std::vector<int> cpus;
    std::string text;
    if (hostfs::readHostLine("/sys/devices/system/cpu/present", text) && kstatparse::parseCpuList(text, cpus) &&
        !cpus.empty())
        return cpus;
    cpus.clear();
    std::vector<int> insts(4096);
    std::vector<kstatCpuStat_t> recs(insts.size());
    int n = get_cpu_kstats(insts.data(), recs.data(), static_cast<int>(insts.size()));
    for (int i = 0; i < n; ++i)
        cpus.push_back(insts[i]);
    return cpus;
}

void appendCpu(int instance) {
    aCpu_t c{};
    c.instance = instance;
    byInstance[instance] = cpuStats.size();
    cpuStats.push_back(c);
    cpustats.push_back(kstatCpuStat_t{});
    ncpus = static_cast<long>(cpuStats.size());
}

// Caller holds cpuMutex.
void createLocked() {
    if (created)
        return;
    created = true;
    std::vector<int> cpus = presentCpus();
    if (cpus.empty()) {
        long n = ::sysconf(_SC_NPROCESSORS_CONF);
        for (long i = 0; i < n && i < 65536; ++i)
            cpus.push_back(static_cast<int>(i));
    }
    for (int c : cpus)
        appendCpu(c);
}

} // namespace

void sysinfoCpuTotals(uint64_t sums[4]) {
    std::lock_guard lock(cpuMutex);
    sums[0] = sums[1] = sums[2] = sums[3] = 0;
    for (const auto &c : cpuStats) {
        sums[0] += c.totalUser;
        sums[1] += c.totalIdle;
        sums[2] += c.totalKernel;
        sums[3] += c.totalWait;
    }
}

void sysinfoResetFilesysForTests();
void sysinfoResetForTests() {
    sysinfoResetFilesysForTests();
    std::lock_guard lock(cpuMutex);
    created = false;
    ncpus = 0;
    cpuStats.clear();
    cpustats.clear();
    byInstance.clear();
}

extern "C" {

long getNumberCPUs(void) {
    try {
        std::lock_guard lock(cpuMutex);
        createLocked();
        return ncpus;
    } catch (...) {
        kestrova::logCaught("getNumberCPUs");
        return 0;
    }
}

int discoverCPUs(void) {
    std::lock_guard lock(cpuMutex);
    if (ncpus == 0 || cpuStats.empty())
        return -1;
    return static_cast<int>(ncpus);
}

int getCpuDescr(char *descr, int maxlen) {
    if (!descr || maxlen < 1)
        return 1;
    char type[32] = "";
    int mhz = 0;
    char mod[] = "cpu_info", name[] = "cpu_info0", st1[] = "cpu_type", st2[] = "clock_MHz";
    get_named_kstat(mod, 0, name, st1, type, sizeof type);
    get_named_kstat(mod, 0, name, st2, &mhz, sizeof mhz);
    std::snprintf(descr, static_cast<size_t>(maxlen), "%s, %d MHz", type, mhz);
    qel::logDebug("getCpuDescr: '%s'\n", descr);
    return 1;
}

int totalPercentages(aCpu_t *cpu) {
    if (!cpu)
        return -1;
    double sum = static_cast<double>(cpu->totalUser) + static_cast<double>(cpu->totalIdle) +
                 static_cast<double>(cpu->totalKernel) + static_cast<double>(cpu->totalWait);
    if (sum == 0)
        sum = 1.0;
    cpu->totalUserPercent = static_cast<float>(cpu->totalUser / sum * 100);
    cpu->totalIdlePercent = static_cast<float>(cpu->totalIdle / sum * 100);
    cpu->totalKernelPercent = static_cast<float>(cpu->totalKernel / sum * 100);
    cpu->totalWaitPercent = static_cast<float>(cpu->totalWait / sum * 100);
    qel::logDebug("totalPercentages: user:%3.2f idle:%3.2f kern:%3.2f wait:%3.2f\n",
                  static_cast<double>(cpu->totalUserPercent), static_cast<double>(cpu->totalIdlePercent),
                  static_cast<double>(cpu->totalKernelPercent), static_cast<double>(cpu->totalWaitPercent));
    return 1;
}

int intervalTotalPercentages(const uint64_t *s1, const uint64_t *s2, float *percents, int numSamples) {
    if (!s1 || !s2 || !percents || numSamples < 3)
        return -1;
    std::vector<double> diff(static_cast<size_t>(numSamples));
    double sum = 0;
    for (int i = 0; i < numSamples; ++i) {
        percents[i] = 0;
        // Per-CPU idle and iowait can step back: a negative step counts 0.
        diff[static_cast<size_t>(i)] = s2[i] > s1[i] ? static_cast<double>(s2[i] - s1[i]) : 0.0;
        sum += diff[static_cast<size_t>(i)];
    }
    if (sum == 0) {
        qel::logWarning("kestrova: intrvlTotPercentages: potential FPE\n");
        return 0;
    }
    for (int i = 0; i < numSamples; ++i)
        percents[i] = static_cast<float>(diff[static_cast<size_t>(i)] / sum * 100);
    if (numSamples >= 4)
        qel::logDebug("intervPercents: user:%3.2f idle:%3.2f kernel:%3.2f wait:%3.2f\n",
                      static_cast<double>(percents[0]), static_cast<double>(percents[1]),
                      static_cast<double>(percents[2]), static_cast<double>(percents[3]));
    return 1;
}

int reloadCpuTable(void) {
    try {
        std::lock_guard lock(cpuMutex);
        createLocked();
        if (cpuStats.empty())
            return -1;
        // One read of every online CPU's record.
        size_t cap = cpuStats.size() + 64;
        std::vector<int> insts;
        std::vector<kstatCpuStat_t> recs;
        int n;
        for (;;) {
            insts.assign(cap, 0);
            recs.assign(cap, kstatCpuStat_t{});
            n = get_cpu_kstats(insts.data(), recs.data(), static_cast<int>(cap));
            if (n < 0)
                return -1;
            if (static_cast<size_t>(n) < cap || cap >= (1u << 20))
                break;
            cap *= 4;
        }
        time_t now = sysinfoNow();
        for (int k = 0; k < n; ++k) {
            auto it = byInstance.find(insts[static_cast<size_t>(k)]);
            size_t i;
            if (it == byInstance.end()) {
                appendCpu(insts[static_cast<size_t>(k)]); // came online with a new number
                i = cpuStats.size() - 1;
            } else {
                i = it->second;
            }
            aCpu_t &c = cpuStats[i];
            const kstatCpuStat_t &r = recs[static_cast<size_t>(k)];
            cpustats[i] = r;
            c.intervalDuration = static_cast<int>(now - c.lastTime);
            uint64_t oldS[4] = {c.totalUser, c.totalIdle, c.totalKernel, c.totalWait};
            uint64_t newS[4] = {r.user, r.idle, r.kernel, r.wait};
            float pct[4];
            intervalTotalPercentages(oldS, newS, pct, 4);
            c.intervalUserPercent = pct[0];
            c.intervalIdlePercent = pct[1];
            c.intervalKernelPercent = pct[2];
            c.intervalWaitPercent = pct[3];
            c.totalUser = r.user;
            c.totalIdle = r.idle;
            c.totalKernel = r.kernel;
            c.totalWait = r.wait;
            totalPercentages(&c);
            c.lastTime = now;
        }
        if (!cpuStats.empty() && cpuStats[0].descr[0] == '\0') {
            char d[128];
            getCpuDescr(d, sizeof d);
            for (auto &c : cpuStats)
                if (c.descr[0] == '\0')
                    qelCopyField(c.descr, d);
        }
        return static_cast<int>(ncpus);
    } catch (...) {
        kestrova::logCaught("reloadCpuTable");
        return -1;
    }
}

qelErrorStatus_t var_cpuTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_cpuTable", key, columns, out);
    if (!sel.valid())
        return genError;
    if (sysinfoGroup.load(std::memory_order_relaxed) == 0)
        return noSuchName;
    int debug = debugLevel.load(std::memory_order_relaxed);
    qel::logDebug("var_cpuTable: starting\n");
    std::lock_guard lock(cpuMutex);
    for (size_t i = 0; i < cpuStats.size(); ++i) {
        const aCpu_t &c = cpuStats[i];
        char rowKey[24];
        std::snprintf(rowKey, sizeof rowKey, "%zu", i);
        if (!sel.selects(rowKey))
            continue;
        bool ok = sel.addRow(rowKey, [&](unsigned column, qelVariable_t *v) {
            auto pf = [&](float f) { qelSetValuef(v, floatingPoint, "%3.2f", static_cast<double>(f)); };
            auto cu = [&](uint64_t x) { qelSetValuef(v, counter, "%llu", static_cast<unsigned long long>(x)); };
            using C = kestrova::CpuColumn;
            switch (static_cast<C>(column)) {
            case C::cpuNumber: qelSetValueInt(v, integer, static_cast<long long>(i)); return true;
            case C::cpuDescription: qelSetValue(v, displayString, c.descr); return true;
            case C::cpuTotalUserPercent: pf(c.totalUserPercent); return true;
            case C::cpuTotalIdlePercent: pf(c.totalIdlePercent); return true;
            case C::cpuTotalKernelPercent: pf(c.totalKernelPercent); return true;
            case C::cpuTotalWaitPercent: pf(c.totalWaitPercent); return true;
            case C::cpuIntervalUserPercent: pf(c.intervalUserPercent); return true;
            case C::cpuIntervalIdlePercent: pf(c.intervalIdlePercent); return true;
            case C::cpuIntervalKernelPercent: pf(c.intervalKernelPercent); return true;
            case C::cpuIntervalWaitPercent: pf(c.intervalWaitPercent); return true;
            case C::cpuInterval: qelSetValueInt(v, integer, c.intervalDuration); return true;
            case C::cpuTotalUser: cu(c.totalUser); return true;
            case C::cpuTotalIdle: cu(c.totalIdle); return true;
            case C::cpuTotalKernel: cu(c.totalKernel); return true;
            case C::cpuTotalWait: cu(c.totalWait); return true;
            default: return false;
            }
        });
        if (!ok)
            return sel.status();
    }
    qelErrorStatus_t r = sel.finish("var_cpuTable", debug);
    qel::logDebug("var_cpuTable: finished\n");
    return r;
}

} // extern "C"
