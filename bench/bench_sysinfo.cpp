// link: kestrova_frame kestrova_core qelhost
// The sysinfo worker's reloads in-process, beside their floors:
//  - CpuReload/N: reloadCpuTable over a generated host tree of N CPUs;
//    CpuFloor/N: one read and parse of the same /proc/stat.
//  - FsReload: reloadFilesystems + pruneFilesystems on this host's mounts;
//    FsFloor: one read of /proc/self/mountinfo and a plain statvfs loop over
//    the same mount points; FsMountinfo: the read and parse alone;
//    FsReloadStuck: FsReload once one mount's statvfs has hung;
//    FsThreadPerCall: the same loop with a thread started and joined per
//    statvfs (the bounded call the reload does not make).
//  - WholePass: the worker's pass (file-system reload and prune, CPU
//    reload) over a generated tree of 64 CPUs and 500 mount points (plain
//    directories, mountinfo listing them as tmpfs); WholeFloor: one read and
//    parse of its /proc/stat and mountinfo and a plain statvfs loop.
// Counter: time per CPU or per mount. The file-system reloads and their
// floors report wall time and the CPU time of all threads (the statvfs
// calls run on the prober thread).
#include <benchmark/benchmark.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hostfs.h"
#include "kestrova.h"
#include "solaris_kstat.h"
#include "sysinfo.h"
#include "sysinfo_parse.h"

namespace fs = std::filesystem;

namespace {

// A tree of n CPUs; `tick` moves ticks from idle to user, so a
// reload from either tree to the other sees ticks move.
std::string cpuTree(int n, int tick = 0) {
    fs::path dir = fs::temp_directory_path() / ("bench-sysinfo-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(n) + "-" + std::to_string(tick));
    fs::create_directories(dir / "proc");
    fs::create_directories(dir / "sys/devices/system/cpu");
    std::ofstream stat(dir / "proc/stat");
    stat << "cpu  1 2 3 4 5 6 7 8 0 0\n";
    for (int i = 0; i < n; ++i)
        stat << "cpu" << i << " " << 123456 + tick << " 789 " << 45678 << " " << 9876543 - tick
             << " 1234 56 78 0 0 0\n";
    stat << "intr 1 2 3\nctxt 12345\nbtime 1700000000\nprocesses 4242\n";
    std::ofstream(dir / "sys/devices/system/cpu/present") << "0-" << n - 1 << "\n";
    return dir.string();
}

void CpuReload(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    // Alternating trees: the ticks move on every reload, as on a live host.
    std::string roots[2] = {cpuTree(n, 0), cpuTree(n, 1)};
    hostfs::setHostRoot(roots[0]);
    sysinfoResetForTests();
    int k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        hostfs::setHostRoot(roots[++k & 1]);
        state.ResumeTiming();
        benchmark::DoNotOptimize(reloadCpuTable());
    }
    state.counters["per_cpu_ns"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    hostfs::setHostRoot("");
    fs::remove_all(roots[0]);
    fs::remove_all(roots[1]);
}

void CpuFloor(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    std::string root = cpuTree(n);
    hostfs::setHostRoot(root);
    for (auto _ : state) {
        std::string text;
        hostfs::readHostFile("/proc/stat", text);
        std::vector<int> in;
        std::vector<kstatCpuStat_t> recs;
        benchmark::DoNotOptimize(kstatparse::parseProcStatCpus(text, in, recs));
    }
    hostfs::setHostRoot("");
    fs::remove_all(root);
}

void FsReload(benchmark::State &state) {
    hostfs::setHostRoot("");
    sysinfoResetForTests();
    for (auto _ : state) {
        reloadFilesystems();
        pruneFilesystems();
    }
}

void FsFloor(benchmark::State &state) {
    hostfs::setHostRoot("");
    size_t mounts = 0;
    for (auto _ : state) {
        std::string text;
        hostfs::readHostFile("/proc/self/mountinfo", text, 64u << 20);
        auto ms = sysinfoparse::parseMountinfo(text);
        mounts = 0;
        for (const auto &m : ms) {
            if (sysinfoparse::skipMount(m.mountpt, m.fstype))
                continue;
            struct statvfs st;
            benchmark::DoNotOptimize(::statvfs(m.mountpt.c_str(), &st));
            ++mounts;
        }
    }
    state.counters["mounts"] = static_cast<double>(mounts);
}

// The read and parse of /proc/self/mountinfo alone: the kernel's share.
void FsMountinfo(benchmark::State &state) {
    size_t mounts = 0;
    for (auto _ : state) {
        std::string text;
        hostfs::readHostFile("/proc/self/mountinfo", text, 64u << 20);
        mounts = sysinfoparse::parseMountinfo(text).size();
    }
    state.counters["mounts"] = static_cast<double>(mounts);
}

// The plain loop with a thread per statvfs, each joined before the next.
void FsThreadPerCall(benchmark::State &state) {
    hostfs::setHostRoot("");
    size_t mounts = 0;
    for (auto _ : state) {
        std::string text;
        hostfs::readHostFile("/proc/self/mountinfo", text, 64u << 20);
        auto ms = sysinfoparse::parseMountinfo(text);
        mounts = 0;
        for (const auto &m : ms) {
            if (sysinfoparse::skipMount(m.mountpt, m.fstype))
                continue;
            struct statvfs st;
            int rc = 0;
            std::thread t([&] { rc = ::statvfs(m.mountpt.c_str(), &st); });
            t.join();
            benchmark::DoNotOptimize(rc);
            ++mounts;
        }
    }
    state.counters["mounts"] = static_cast<double>(mounts);
}

// A host tree of cpus CPUs (cpuTree) whose mountinfo lists `mounts` tmpfs
// file systems on directories of the tree, after a root entry.
std::string wholeTree(int cpus, int mounts, int tick) {
    std::string root = cpuTree(cpus, tick);
    fs::create_directories(fs::path(root) / "proc/self");
    std::ofstream mi(fs::path(root) / "proc/self/mountinfo");
    mi << "20 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";
    for (int i = 0; i < mounts; ++i) {
        std::string mp = "/mnt/m" + std::to_string(i);
        fs::create_directories(fs::path(root + mp));
        mi << 100 + i << " 20 0:" << 100 + i << " / " << mp << " rw,relatime shared:" << 2 + i
           << " - tmpfs kqbench rw,size=1024k\n";
    }
    return root;
}

constexpr int kWholeCpus = 64, kWholeMounts = 500;

void WholePass(benchmark::State &state) {
    // Alternating trees, as in CpuReload: ticks move on every pass.
    std::string roots[2] = {wholeTree(kWholeCpus, kWholeMounts, 0), wholeTree(kWholeCpus, kWholeMounts, 1)};
    hostfs::setHostRoot(roots[0]);
    sysinfoResetForTests();
    int k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        hostfs::setHostRoot(roots[++k & 1]);
        state.ResumeTiming();
        reloadFilesystems();
        pruneFilesystems();
        benchmark::DoNotOptimize(reloadCpuTable());
    }
    hostfs::setHostRoot("");
    sysinfoResetForTests();
    fs::remove_all(roots[0]);
    fs::remove_all(roots[1]);
}

void WholeFloor(benchmark::State &state) {
    std::string root = wholeTree(kWholeCpus, kWholeMounts, 0);
    hostfs::setHostRoot(root);
    size_t mounts = 0;
    for (auto _ : state) {
        std::string text;
        hostfs::readHostFile("/proc/stat", text);
        std::vector<int> in;
        std::vector<kstatCpuStat_t> recs;
        benchmark::DoNotOptimize(kstatparse::parseProcStatCpus(text, in, recs));
        hostfs::readHostFile("/proc/self/mountinfo", text, 64u << 20);
        mounts = 0;
        for (const auto &m : sysinfoparse::parseMountinfo(text)) {
            if (sysinfoparse::skipMount(m.mountpt, m.fstype))
                continue;
            struct statvfs st;
            benchmark::DoNotOptimize(::statvfs(hostfs::hostPath(m.mountpt).c_str(), &st));
            ++mounts;
        }
    }
    state.counters["mounts"] = static_cast<double>(mounts);
    hostfs::setHostRoot("");
    fs::remove_all(root);
}

// A statvfs that never returns for the mount point named by
// SYSINFO_BENCH_STUCK (default: the last mount listed), the real one for
// the others.
std::string stuckMount;
int stuckStat(const char *path, struct statvfs *st) {
    if (path == stuckMount)
        for (;;)
            pause();
    return ::statvfs(path, st);
}

// Passes after one mount got stuck: the first (untimed) pass gives up on it
// after the bound, later ones leave it alone.
void FsReloadStuck(benchmark::State &state) {
    hostfs::setHostRoot("");
    const char *env = std::getenv("SYSINFO_BENCH_STUCK");
    if (env && *env) {
        stuckMount = env;
    } else {
        std::string text;
        hostfs::readHostFile("/proc/self/mountinfo", text, 64u << 20);
        for (const auto &m : sysinfoparse::parseMountinfo(text))
            if (!sysinfoparse::skipMount(m.mountpt, m.fstype))
                stuckMount = m.mountpt;
    }
    sysinfoResetForTests();
    sysinfoSetStatTimeoutMs(100);
    sysinfoSetStatFn(stuckStat);
    reloadFilesystems();
    for (auto _ : state) {
        reloadFilesystems();
        pruneFilesystems();
    }
    state.counters["stuck"] = sysinfoBlockedStats();
    sysinfoSetStatFn(nullptr);
    sysinfoSetStatTimeoutMs(3000);
}

} // namespace

BENCHMARK(CpuReload)->Arg(2)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond);
BENCHMARK(CpuFloor)->Arg(2)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond);
BENCHMARK(FsReload)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(FsFloor)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(FsMountinfo)->Unit(benchmark::kMicrosecond);
BENCHMARK(FsThreadPerCall)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(WholePass)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(WholeFloor)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);
// Last: its blocked call stays until the program ends.
BENCHMARK(FsReloadStuck)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
