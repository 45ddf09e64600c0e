// link: mib2core hostfs
// Snapshot time of the mib2 collection against `ss -tan`, for a given
// number of established loopback TCP connections that the benchmark makes
// itself (both ends in this process) and closes at the end.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "../tests/support/mib2_host_double.h"
#include "solarisMib2.h"

namespace {

struct Pool {
    std::vector<int> fds;
    std::vector<int> listeners;
    size_t connections = 0;
    ~Pool() { resize(0); }

    int listener() {
        // A fresh listener every 20,000 connections keeps clear of the
        // ephemeral port range of one address pair.
        if (listeners.empty() || connections / 20000 >= listeners.size()) {
            int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (l < 0 || ::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(l, 1024) != 0) {
                if (l >= 0)
                    ::close(l);
                return -1;
            }
            listeners.push_back(l);
        }
        return listeners.back();
    }

    bool resize(size_t n) {
        while (connections > n) {
        // Reset rather than close, so no TIME_WAIT entries pile up between sizes.
        struct linger lg = {1, 0};
        ::setsockopt(fds.back(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            ::close(fds.back());
            fds.pop_back();
            ::close(fds.back());
            fds.pop_back();
            --connections;
        }
        if (n == 0) {
            for (int l : listeners)
                ::close(l);
            listeners.clear();
        }
        while (connections < n) {
            int l = listener();
            if (l < 0)
                return false;
            sockaddr_in a{};
            socklen_t len = sizeof a;
            getsockname(l, reinterpret_cast<sockaddr *>(&a), &len);
            int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (c < 0 || ::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                if (c >= 0)
                    ::close(c);
                return false;
            }
            int s = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
            if (s < 0) {
                ::close(c);
                return false;
            }
            fds.push_back(c);
            fds.push_back(s);
            ++connections;
        }
        return true;
    }
};

Pool pool;

bool prepare(benchmark::State &state) {
    size_t n = static_cast<size_t>(state.range(0));
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rlim_t need = 2 * n + 256;
    if (rl.rlim_cur < need) {
        struct rlimit want = {need, need > rl.rlim_max ? need : rl.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &want) != 0) {
            state.SkipWithError("cannot raise the descriptor limit for this many connections");
            return false;
        }
    }
    if (!pool.resize(n)) {
        pool.resize(0);
        state.SkipWithError("could not make the loopback connections");
        return false;
    }
    return true;
}

void BM_Mib2Snapshot(benchmark::State &state) {
    if (!prepare(state))
        return;
    for (auto _ : state)
        reloadStats();
    state.counters["tcpRows"] = mib2GetNumberTcpConnections();
}

void BM_SsTan(benchmark::State &state) {
    if (!prepare(state))
        return;
    size_t lines = 0;
    for (auto _ : state) {
        FILE *p = ::popen("ss -tan", "r");
        if (!p) {
            state.SkipWithError("ss not available");
            return;
        }
        char buf[4096];
        lines = 0;
        while (std::fgets(buf, sizeof buf, p))
            ++lines;
        ::pclose(p);
    }
    state.counters["lines"] = static_cast<double>(lines);
}

} // namespace

// Each size is measured for both beside each other, on the same sockets.
BENCHMARK(BM_Mib2Snapshot)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SsTan)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Mib2Snapshot)->Arg(1000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SsTan)->Arg(1000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
// The largest size that fits a 20,000-descriptor limit, both ends in process.
BENCHMARK(BM_Mib2Snapshot)->Arg(9500)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SsTan)->Arg(9500)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Mib2Snapshot)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SsTan)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Mib2Snapshot)->Arg(50000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SsTan)->Arg(50000)->Unit(benchmark::kMillisecond)->MinTime(0.5);

BENCHMARK_MAIN();
