// link: kestrova_frame kestrova_core
// Cost of a process-table reload per process and per socket, with helper
// processes that each hold a loopback listener and connections (about 12
// sockets a helper); the first reload that sees new helpers and the one
// after it; the snapshot index against the walk; and how long a counter read waits while
// reloads run back to back. Compare with
// `ps -eo ...` and `ss -tuanp` run on the same host at the same time.
// `bench_process_table --hold N` only starts N helpers and keeps them until
// its standard input closes (bench/process_table_compare.sh uses it).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "../tests/kestrova_test_host.h"
#include "depend_tcp.h"
#include "dependency.h"
#include "hostfs.h"
#include "process_table.h"

namespace {

// A helper: a listener and five connections to it (both ends), then waits
// for its control pipe to close.
void helperMain(int ctl) {
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (l < 0 || ::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(l, 16) != 0 ||
        ::getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        _exit(1);
    const struct linger reset = {1, 0};
    for (int i = 0; i < 5; i++) {
        int c = ::socket(AF_INET, SOCK_STREAM, 0);
        if (c < 0 || ::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            _exit(1);
        int s = ::accept(l, nullptr, nullptr);
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    int u = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::connect(u, reinterpret_cast<sockaddr *>(&a), sizeof a);
    char b;
    (void)!::write(ctl, "r", 1);
    while (::read(ctl, &b, 1) > 0) {
    }
    _exit(0);
}

// Room for one control socket a helper, and the helpers' own sockets.
void raiseDescriptorLimit(int helpers) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    rlim_t want = static_cast<rlim_t>(helpers) + 1024;
    if (rl.rlim_cur < want) {
        rl.rlim_cur = std::min(want, rl.rlim_max);
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

double threadCpuUs() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

class Helpers {
public:
    bool start(int n) {
        raiseDescriptorLimit(n);
        for (int i = 0; i < n; i++) {
            int p[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, p) != 0)
                return false;
            pid_t pid = ::fork();
            if (pid < 0)
                return false;
            if (pid == 0) {
                // Only the own control socket stays: one call, where closing
                // the earlier helpers' sockets one by one costs n^2 calls.
                ::close_range(3, static_cast<unsigned>(p[1]) - 1, 0);
                ::close_range(static_cast<unsigned>(p[1]) + 1, ~0U, 0);
                helperMain(p[1]);
            }
            ::close(p[1]);
            ctl_.push_back(p[0]);
            pids_.push_back(pid);
        }
        for (int fd : ctl_) {
            char b;
            if (::read(fd, &b, 1) != 1)
                return false;
        }
        return true;
    }
    ~Helpers() {
        for (int fd : ctl_)
            ::close(fd);
        for (pid_t p : pids_)
            ::waitpid(p, nullptr, 0);
    }

private:
    std::vector<int> ctl_;
    std::vector<pid_t> pids_;
};

// Resident set of this process in KiB, after handing free heap back.
double residentKb() {
    malloc_trim(0);
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024;
}

void reloadAndCompare(benchmark::State &state) {
    double total = 0, cpu = 0, sys = 0;
    double rss0 = residentKb();
    auto sysUs = [] {
        struct rusage ru;
        getrusage(RUSAGE_THREAD, &ru);
        return static_cast<double>(ru.ru_stime.tv_sec) * 1e6 + static_cast<double>(ru.ru_stime.tv_usec);
    };
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        double c0 = threadCpuUs(), s0 = sysUs();
        benchmark::DoNotOptimize(reload_process_table());
        cpu += threadCpuUs() - c0;
        sys += sysUs() - s0;
        total += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    }
    double per = total / static_cast<double>(state.iterations());
    double perCpu = cpu / static_cast<double>(state.iterations());
    // What holding the published tables costs (the scratch of a reload is
    // gone by now): the growth of the resident set since before the first.
    state.counters["tables_rss_kb"] = residentKb() - rss0;
    int procs = getNumberProcesses();
    int handles = getNumberHandles();
    state.counters["processes"] = procs;
    state.counters["handles"] = handles;
    state.counters["reload_ms"] = per / 1000;
    state.counters["per_process_us"] = procs ? per / procs : 0;
    state.counters["per_handle_us"] = handles ? per / handles : 0;
    state.counters["reload_cpu_ms"] = perCpu / 1000;
    state.counters["reload_sys_ms"] = sys / static_cast<double>(state.iterations()) / 1000;
    state.counters["per_process_cpu_us"] = procs ? perCpu / procs : 0;
    // The same host's tools, on the same processes, for comparison: wall
    // time and the CPU time of the tool (with its shell).
    auto timed = [&state](const char *name, const char *cmd) {
        struct rusage r0, r1;
        getrusage(RUSAGE_CHILDREN, &r0);
        auto t0 = std::chrono::steady_clock::now();
        int rc = std::system(cmd);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        getrusage(RUSAGE_CHILDREN, &r1);
        auto us = [](const struct rusage &r) {
            return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 +
                   static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
        };
        state.counters[std::string(name) + "_ms"] = rc == 0 ? ms : -1.0;
        state.counters[std::string(name) + "_cpu_ms"] = rc == 0 ? (us(r1) - us(r0)) / 1000 : -1.0;
    };
    timed("ps", "ps -eo pid,ppid,uid,gid,rss,vsz,stat,nlwp,time,lstart,args >/dev/null 2>&1");
    timed("ss_tuanp", "ss -tuanp >/dev/null 2>&1");
    timed("ss_tuan", "ss -tuan >/dev/null 2>&1");
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    state.counters["maxrss_kb"] = static_cast<double>(ru.ru_maxrss);
}
// The live host, with state.range(0) helpers started (0: the host as it is).
bool liveHostWithHelpers(benchmark::State &state, Helpers &h) {
    hostfs::setHostRoot("/");
    appGroup = 1;
    if (state.range(0) > 0 && !h.start(static_cast<int>(state.range(0)))) {
        state.SkipWithError("helpers could not start");
        return false;
    }
    return true;
}
void BM_Reload(benchmark::State &state) {
    Helpers h;
    if (!liveHostWithHelpers(state, h))
        return;
    reloadAndCompare(state);
}
// Arg 0 reloads the host as it is: start the helpers beforehand with
// `bench_process_table --hold N &`, so a measurement need not wait for them.
BENCHMARK(BM_Reload)->Arg(0)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(5);

// Freshly started helpers: the first reload that sees them (the kernel
// makes its entries for their /proc directories and descriptors then),
// and the reload after it, on the
// reload thread's CPU clock. Run with --benchmark_repetitions: each
// repetition starts a new set of helpers.
void BM_FirstReload(benchmark::State &state) {
    std::vector<double> first, second;
    for (auto _ : state) {
        state.PauseTiming();
        {
            Helpers h;
            if (!liveHostWithHelpers(state, h))
                return;
            state.ResumeTiming();
            double c0 = threadCpuUs();
            benchmark::DoNotOptimize(reload_process_table());
            double c1 = threadCpuUs();
            benchmark::DoNotOptimize(reload_process_table());
            double c2 = threadCpuUs();
            first.push_back(c1 - c0);
            second.push_back(c2 - c1);
            state.PauseTiming();
        } // the helpers exit here, outside the timing
        state.ResumeTiming();
    }
    int procs = getNumberProcesses();
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    state.counters["processes"] = procs;
    state.counters["handles"] = getNumberHandles();
    state.counters["first_cpu_ms"] = median(first) / 1000;
    state.counters["second_cpu_ms"] = median(second) / 1000;
    state.counters["first_per_process_cpu_us"] = procs ? median(first) / procs : 0;
    state.counters["second_per_process_cpu_us"] = procs ? median(second) / procs : 0;
}
BENCHMARK(BM_FirstReload)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

// A counter read while another thread reloads back to back: the read waits
// for the swap only.
void BM_CounterDuringReloads(benchmark::State &state) {
    hostfs::setHostRoot("/");
    Helpers h;
    if (!h.start(static_cast<int>(state.range(0)))) {
        state.SkipWithError("helpers could not start");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread t([&] {
        while (!stop)
            reload_process_table();
    });
    double worst = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(getNumberProcesses());
        worst =
            std::max(worst, std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    t.join();
    state.counters["worst_us"] = worst;
}
BENCHMARK(BM_CounterDuringReloads)->Arg(1000)->Iterations(2000);

// get_socket_information at 120k entries: the index, and the walk it replaces.
int nTcp = 0;
int numTcp() {
    return nTcp;
}
int getTcp(mib2TcpConn_t *t, int max) {
    int n = std::min(max, nTcp);
    for (int i = 0; i < n; i++) {
        memset(&t[i], 0, sizeof t[i]);
        t[i].ipVersion = 4;
        t[i].localIp = htonl(0x7f000001);
        t[i].remIp = htonl(0x7f000001);
        t[i].localPort = static_cast<u_int>(1024 + i % 60000);
        t[i].remPort = static_cast<u_int>(1 + i / 60000);
        t[i].state = 2; // listening: nothing to classify
    }
    return n;
}

void BM_SocketInformation(benchmark::State &state) {
    nTcp = static_cast<int>(state.range(0));
    {
        std::lock_guard g(testhost::mu);
        testhost::symbols["mib2GetNumberTcpConnections"] = reinterpret_cast<void *>(&numTcp);
        testhost::symbols["mib2GetTcpConnections"] = reinterpret_cast<void *>(&getTcp);
    }
    dependency_discover_tcp();
    int i = 0;
    for (auto _ : state) {
        processEndpt_t e;
        e.localIp = htonl(0x7f000001);
        e.remIp = htonl(0x7f000001);
        e.localPort = static_cast<uint16_t>(1024 + i % 60000);
        e.remPort = 1;
        i++;
        benchmark::DoNotOptimize(get_socket_information(&e));
    }
}
BENCHMARK(BM_SocketInformation)->Arg(12000)->Arg(120000)->Unit(benchmark::kMicrosecond);

// A discovery pass over n established connections to a classified port,
// from n distinct remote addresses (n dependencies once, refreshed after).
int nConn = 0;
int numConn() {
    return nConn;
}
int getConn(mib2TcpConn_t *t, int max) {
    int n = std::min(max, nConn);
    for (int i = 0; i < n; i++) {
        memset(&t[i], 0, sizeof t[i]);
        t[i].ipVersion = 4;
        t[i].localIp = htonl(0xc0000201); // 192.0.2.1
        t[i].remIp = htonl(0x0a000000u + static_cast<uint32_t>(i) + 1);
        t[i].localPort = static_cast<u_int>(30000 + i % 30000);
        t[i].remPort = 443;
        t[i].state = 5;
    }
    return n;
}

void BM_DiscoverTcp(benchmark::State &state) {
    nConn = static_cast<int>(state.range(0));
    testhost::reset();
    testhost::addHost("192.0.2.1", "bench.example.com");
    testhost::setupGraph("bench.example.com");
    connectionInfoList = newLinkedList(sizeof(connInfo_t), connectionInfoCompare, connectionInfoPrint,
                                       freeConnectionInfo, "connectionInfoList", 1);
    auto *c = static_cast<connInfo_t *>(calloc(1, sizeof(connInfo_t)));
    qelCopyField(c->proto, "tcp");
    qelCopyField(c->args, "https");
    c->port = 443;
    c->dtype = dependWeb;
    insertTail(connectionInfoList, c);
    {
        std::lock_guard g(testhost::mu);
        testhost::symbols["mib2GetNumberTcpConnections"] = reinterpret_cast<void *>(&numConn);
        testhost::symbols["mib2GetTcpConnections"] = reinterpret_cast<void *>(&getConn);
    }
    dependency_discover_tcp(); // the first pass creates, the timed ones refresh
    for (auto _ : state)
        benchmark::DoNotOptimize(dependency_discover_tcp());
    state.counters["dependencies"] = getNumberDependencies();
    destroyLinkedList(connectionInfoList);
    connectionInfoList = nullptr;
    testhost::teardownGraph();
}
BENCHMARK(BM_DiscoverTcp)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) {
        int n = std::atoi(argv[2]);
        if (n < 1 || n > 100000) {
            std::fprintf(stderr, "bench_process_table: --hold takes 1 to 100000 helpers\n");
            return 2;
        }
        Helpers h;
        if (!h.start(n)) {
            std::fprintf(stderr, "bench_process_table: helpers could not start\n");
            return 1;
        }
        std::printf("ready %d\n", n);
        std::fflush(stdout);
        char b[256];
        while (::read(0, b, sizeof b) > 0) {
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
