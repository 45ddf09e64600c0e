// link: qelhost
// The agent's name cache at the scale of a busy server: 1,000, 10,000 and
// 50,000 distinct client hosts, resolved by a resolver double that takes
// 1 ms a look-up. The first pass fills the cache from 64 asking threads (the
// look-ups beyond the in-flight limit wait in the queue); the timed passes
// ask every name again, one thread, as a discovery pass does.
// Counters: ns_per_name (timed pass), hit_ratio (timed passes),
// resolver_calls (during the timed passes), fill_s (first pass, wall).
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "qelhost.h"

namespace {

std::atomic<long> resolverCalls{0};

void installSlowResolver() {
    qelhost::NameResolvers r;
    r.ipAddr = [](const std::string &q, std::string &name) {
        ++resolverCalls;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        name = "client-" + q + ".example";
        return 1;
    };
    r.ipv4 = [](const std::string &q) -> uint32_t {
        ++resolverCalls;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return htonl(0x0A000000u + static_cast<uint32_t>(std::hash<std::string>{}(q)&0xFFFFFF));
    };
    qelhost::setNameResolvers(r);
}

std::vector<std::string> addresses(int n) {
    std::vector<std::string> v;
    v.reserve(static_cast<size_t>(n));
    char buf[32];
    for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "10.%d.%d.%d", (i >> 16) & 255, (i >> 8) & 255, i & 255);
        v.emplace_back(buf);
    }
    return v;
}

std::vector<std::string> hostNames(int n) {
    std::vector<std::string> v;
    v.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v.push_back("host" + std::to_string(i) + ".clients.example");
    return v;
}

template <typename Ask>
double fill(const std::vector<std::string> &names, Ask ask) {
    qelhost::clearNameCache();
    qelhost::setNameCacheLimits(600, 60, 60000);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    constexpr size_t kThreads = 64;
    for (size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (size_t i = t; i < names.size(); i += kThreads)
                ask(names[i]);
        });
    for (auto &th : threads)
        th.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <typename Ask>
void secondPass(benchmark::State &state, const std::vector<std::string> &names, Ask ask, const char *what) {
    installSlowResolver();
    const double fillSeconds = fill(names, ask);
    const auto before = qelhost::nameCacheStats();
    const long callsBefore = resolverCalls.load();
    long ok = 0;
    for (auto _ : state)
        for (const std::string &n : names)
            ok += ask(n);
    const auto after = qelhost::nameCacheStats();
    const double asked = static_cast<double>(after.hits + after.misses - before.hits - before.misses);
    state.counters["ns_per_name"] = benchmark::Counter(static_cast<double>(state.iterations() * names.size()),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["hit_ratio"] = asked > 0 ? static_cast<double>(after.hits - before.hits) / asked : 0;
    state.counters["resolver_calls"] = static_cast<double>(resolverCalls.load() - callsBefore);
    state.counters["fill_s"] = fillSeconds;
    state.counters["answered"] = static_cast<double>(ok) / static_cast<double>(state.iterations());
    state.SetLabel(what);
    qelhost::setNameResolvers({});
}

void BM_ReverseSecondPass(benchmark::State &state) {
    const auto names = addresses(static_cast<int>(state.range(0)));
    secondPass(
        state, names,
        [](const std::string &q) {
            char buf[256];
            return qelIpAddrToHostname(q.c_str(), buf, sizeof buf) == 1 ? 1 : 0;
        },
        "address to name");
}

void BM_ForwardSecondPass(benchmark::State &state) {
    const auto names = hostNames(static_cast<int>(state.range(0)));
    secondPass(
        state, names, [](const std::string &q) { return qelHostnameToIpaddr(q.c_str()) != 0 ? 1 : 0; },
        "name to IPv4 address");
}

// Each run fills the cache once (up to 50 s of look-ups at 8 in flight would
// be 6 s); a handful of timed passes is enough.
BENCHMARK(BM_ReverseSecondPass)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->UseRealTime();
BENCHMARK(BM_ForwardSecondPass)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
