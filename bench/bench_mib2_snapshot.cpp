// link: mib2core hostfs
// Snapshot time of the mib2 collection against `ss -tan`, for a given
// number of established loopback TCP connections that the benchmark makes
// itself (in helper processes) and closes at the end.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <vector>

#include "../tests/support/mib2_host_double.h"
#include "solarisMib2.h"

namespace {

// Makes count established loopback connections (both ends) on a listener
// of its own, each end closed with a reset so that no TIME_WAIT entries
// are left behind. Returns false when the system refuses one.
bool holdConnections(size_t count, std::vector<int> &fds) {
    int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (l < 0 || ::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(l, 1024) != 0 ||
        ::getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return false;
    fds.push_back(l);
    const struct linger reset = {1, 0};
    for (size_t i = 0; i < count; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c < 0)
            return false;
        fds.push_back(c);
        if (::connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        int s = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0)
            return false;
        fds.push_back(s);
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    return true;
}

// The connections live in helper processes: one process may hold no more
// descriptors than its limit, and the largest sizes need several times that.
// A helper keeps its connections until its control pipe closes.
class Pool {
public:
    ~Pool() { release(); }

    bool resize(size_t n) {
        if (n == connections_)
            return true;
        release();
        struct rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        // Two descriptors a connection; one listener's port space bounds a
        // helper too.
        size_t perHelper = std::min<size_t>((rl.rlim_cur - 64) / 2, 20000);
        while (connections_ < n) {
            size_t count = std::min(perHelper, n - connections_);
            if (!spawn(count)) {
                release();
                return false;
            }
            connections_ += count;
        }
        return true;
    }

private:
    struct Helper {
        pid_t pid;
        int control;
    };

    bool spawn(size_t count) {
        int ready[2], control[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return false;
        if (::pipe2(control, O_CLOEXEC) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return false;
        }
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(control[1]);
            for (const Helper &h : helpers_)
                ::close(h.control);
            std::vector<int> fds;
            char answer = holdConnections(count, fds) ? 'y' : 'n';
            if (::write(ready[1], &answer, 1) != 1)
                ::_exit(1);
            char byte;
            while (::read(control[0], &byte, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(control[0]);
        if (pid < 0) {
            ::close(ready[0]);
            ::close(control[1]);
            return false;
        }
        helpers_.push_back({pid, control[1]});
        char answer = 'n';
        bool ok = ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
        return ok;
    }

    void release() {
        for (const Helper &h : helpers_)
            ::close(h.control);
        for (const Helper &h : helpers_)
            ::waitpid(h.pid, nullptr, 0);
        helpers_.clear();
        connections_ = 0;
    }

    std::vector<Helper> helpers_;
    size_t connections_ = 0;
};

Pool pool;

bool prepare(benchmark::State &state) {
    if (!pool.resize(static_cast<size_t>(state.range(0)))) {
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
BENCHMARK(BM_Mib2Snapshot)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SsTan)->Arg(10000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_Mib2Snapshot)->Arg(50000)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SsTan)->Arg(50000)->Unit(benchmark::kMillisecond)->MinTime(0.5);

BENCHMARK_MAIN();
