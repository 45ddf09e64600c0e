// link: kestrova_core qelhost
// The dependency worker and the dependencyTable select in-process, at N local
// dependencies (one client, N servers):
//  - WorkerPass: one whole pass of the worker with a discovery stand-in that
//    refreshes all N, both age-out walks, the probe copy and write-back with
//    a prober that answers at once. The names come from the agent's own name
//    cache (a resolver double behind it answers at once), as in qeld;
//    range(1) chooses the host:
//      0  warm: passes back to back, every answer kept;
//      2  a scan interval apart: the name cache's clock moves on by the
//         default scan interval (60 s) before each pass, so that the
//         answers kept 60 s only are resolved again, as in qeld;
//      3  cold: as 0, with the processor's caches filled with other data
//         before each pass, as a pass a minute after the last finds them;
//      4  churned: as 0, after half of the dependencies, picked at random,
//         were removed and added again in another order;
//  - WorkerPhases: the pass phase by phase (CPU ns a dependency);
//  - AgeOutAndProbe: the pass without the refresh;
//  - Select: the handler with 5 or 17 columns, key "*" or one exact key;
//  - Prune: one age-out pass that removes all N at once and sends a trap
//    for each to 0 or 3 peers (the trap sender only counts).
// Counters: the longest graph-lock hold (microseconds, wall), the time per
// dependency (the benchmark thread's CPU time; wallPerDependency: wall
// time, which counts the resolver threads' round trips).
#include <benchmark/benchmark.h>

#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "dependency.h"
#include "discovery.h"
#include "graph.h"
#include "peer.h"
#include "kestrova.h"
#include "kestrova_globals.h"
#include "qel/reply_stream.h"
#include "qel/strutil.h"
#include "qelhost.h"
#include "qelplugin.h"

// Host calls besides the name look-ups, which are the agent's own.
extern "C" {
// mib2 is loaded, as in qeld: the local-host tests read its address list.
static int benchAddressList(char *buf, int maxlen) {
    return snprintf(buf, (size_t)maxlen, "192.0.2.10,");
}
void *qelGetSymbolValue(const char *name) {
    return strcmp(name, "mib2GetAddressList") == 0 ? reinterpret_cast<void *>(benchAddressList) : nullptr;
}
long trapsSent = 0;
int qelSendTrap(const char *, qelPdu_t *, const char *, const char *, const char *) {
    trapsSent++;
    return 1;
}
void qeldLog(const char *) {}
int qelGetAgentDebugLevel(void) {
    return 0;
}
}

#include "kestrova_bench_host.h"

namespace {

int benchN = 0;

int instantProber(int, const char *const *, int count, kestrovaPingArgs_t *args, int *results, int *, int *) {
    for (int i = 0; i < count; i++) {
        results[i] = 1;
        if (args) {
            args[i].avgMsecs = 2;
            args[i].numAnswers = args[i].numPackets = 3;
        }
    }
    return count;
}

dependency_t *scratch() {
    static auto *d = static_cast<dependency_t *>(calloc(1, sizeof(dependency_t)));
    return d;
}

// The i-th of the N dependencies, as discovery gives it.
dependency_t *benchDependency(int i) {
    dependency_t *d = scratch();
    memset(d, 0, sizeof *d);
    d->dtype = dependWeb;
    d->pov = dependOutbound;
    d->dsrc = dependSrcDynamic;
    qelCopyField(d->dependClient, "bench-client");
    snprintf(d->dependServer, sizeof d->dependServer, "server%06d.bench.test", i);
    snprintf(d->args, sizeof d->args, "tcp/%d", 443);
    return d;
}

// The discovery stand-in: confirms every one of the N dependencies.
int refreshAll() {
    for (int i = 0; i < benchN; i++)
        addLocalDependency(benchDependency(i));
    return 0;
}

// A host that has run a while: half of the dependencies, picked at random,
// went and came back in another order, so that their records and list cells
// are those others left (taken lowest address first), not in list order.
void churnHalf(int n) {
    std::vector<int> picked((size_t)n);
    for (int i = 0; i < n; i++)
        picked[(size_t)i] = i;
    std::mt19937 rng(12);
    std::shuffle(picked.begin(), picked.end(), rng);
    picked.resize((size_t)n / 2);
    for (int i : picked)
        removeLocalDependency(benchDependency(i));
    std::shuffle(picked.begin(), picked.end(), rng);
    for (int i : picked)
        addLocalDependency(benchDependency(i));
}

const discoveryEntry_t refreshTable[] = {{"refreshAll", refreshAll, 0}};

// The name cache's clock (mode 2 moves it on between passes).
std::atomic<long long> clockSeconds{0};
const std::chrono::steady_clock::time_point clockBase = std::chrono::steady_clock::now();
std::chrono::steady_clock::time_point benchClock() {
    return clockBase + std::chrono::seconds(clockSeconds.load(std::memory_order_relaxed));
}

// The resolver behind the agent's name cache, answering at once as a warm
// DNS would: a name's canonical name is itself, and so is the name its
// address maps back to (which the cache keeps as "no other name").
void setUpNames(int n) {
    static bool done = false;
    if (!done) {
        qelhost::NameResolvers r;
        r.ipAddr = [](const std::string &q, std::string &name) {
            name = q;
            return 1;
        };
        r.nameAddr = [](const std::string &q, std::string &name) {
            name = q;
            return 1;
        };
        r.ipv4 = [](const std::string &) -> uint32_t { return 0; };
        r.ipv6 = [](const std::string &, in6_addr *) { return -1; };
        qelhost::setNameResolvers(r);
        qelhost::setNameCacheClock(benchClock);
        done = true;
    }
    // Two answers a server: qeld needs --name-cache above 2N here (the
    // default, 65,536, forgets every answer in turn from about 32,000).
    qelhost::setNameCacheCapacity(std::max(qelhost::kDefaultNameCacheEntries, (size_t)n * 4));
}

bool benchChurned = false;

void setUp(int n, bool churned = false) {
    if (theGraph && benchN == n && benchChurned == churned)
        return;
    if (theGraph) {
        while (theGraph->setOfNodes->head)
            graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
        graphDestroy(theGraph);
    }
    setUpNames(n);
    qelCopyField(myhostname, "bench-client");
    theGraph = graphNew("bench graph");
    myVertex = vertexNew("bench-client");
    graphInsertNode(theGraph, myVertex);
    benchN = n;
    refreshAll();
    benchChurned = churned;
    if (churned)
        churnHalf(n);
    kestrova::setDependencyProber(instantProber);
    kestrovaSetDiscoveryTable(refreshTable, 1);
}

// Writes and reads 64 MiB, more than the processor's caches hold.
void evictCaches() {
    static std::vector<char> junk(64u << 20);
    static char sum = 0;
    for (size_t i = 0; i < junk.size(); i += 64) {
        junk[i] = (char)(junk[i] + 1);
        sum = (char)(sum + junk[i]);
    }
    benchmark::DoNotOptimize(sum);
}

// range(0): N; range(1): the host (see the top of the file).
void BM_WorkerPass(benchmark::State &state) {
    const int mode = (int)state.range(1);
    setUp((int)state.range(0), mode == 4);
    if (mode == 3)
        evictCaches();        // its pages faulted in before the first pass
    kestrovaDependencyPass(); // one pass unmeasured
    long long hold = 0;
    double wall = 0;
    for (auto _ : state) {
        if (mode == 2 || mode == 3) {
            state.PauseTiming();
            if (mode == 2)
                clockSeconds += 61;
            else
                evictCaches();
            state.ResumeTiming();
        }
        auto t0 = std::chrono::steady_clock::now();
        kestrovaDependencyPass();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        hold = std::max({hold, kestrova::lastProbeLockMicros(), kestrova::lastPruneLockMicros()});
    }
    state.counters["lockHoldMaxUs"] = (double)hold;
    state.counters["wallPerDependencyNs"] = wall * 1e9 / ((double)state.iterations() * benchN);
    state.counters["perDependency"] = benchmark::Counter((double)state.iterations() * benchN,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The refresh of BM_WorkerPhases under a name of its own, for profilers
// (valgrind --toggle-collect).
__attribute__((noinline)) void phaseRefresh() {
    refreshAll();
}

// The warm pass (mode 0) phase by phase: ns a dependency in each of the
// refresh (discovery stand-in), the local and the graph-wide age-out and
// the probe pass, on the benchmark thread's CPU clock. Tells which phase
// grows with N.
void BM_WorkerPhases(benchmark::State &state) {
    setUp((int)state.range(0));
    kestrovaDependencyPass();
    auto cpuNs = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
    };
    double phase[4] = {0, 0, 0, 0};
    for (auto _ : state) {
        double t0 = cpuNs();
        phaseRefresh();
        double t1 = cpuNs();
        pruneDependencies(1, dependencyAgeOutInterval.load(std::memory_order_relaxed));
        double t2 = cpuNs();
        pruneDependencies(0, peerAgeOutInterval.load(std::memory_order_relaxed));
        double t3 = cpuNs();
        checkDependencies();
        double t4 = cpuNs();
        phase[0] += t1 - t0;
        phase[1] += t2 - t1;
        phase[2] += t3 - t2;
        phase[3] += t4 - t3;
    }
    double per = (double)state.iterations() * benchN;
    state.counters["refreshNs"] = phase[0] / per;
    state.counters["localAgeOutNs"] = phase[1] / per;
    state.counters["graphAgeOutNs"] = phase[2] / per;
    state.counters["probeNs"] = phase[3] / per;
}

void BM_AgeOutAndProbe(benchmark::State &state) {
    setUp((int)state.range(0));
    long long hold = 0;
    for (auto _ : state) {
        pruneDependencies(1, 600);
        hold = std::max(hold, kestrova::lastPruneLockMicros());
        pruneDependencies(0, 1800);
        hold = std::max(hold, kestrova::lastPruneLockMicros());
        checkDependencies();
        hold = std::max(hold, kestrova::lastProbeLockMicros());
    }
    state.counters["lockHoldMaxUs"] = (double)hold;
    state.counters["perDependency"] = benchmark::Counter((double)state.iterations() * benchN,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// range(0): N; range(1): columns (5 or 17); range(2): 0 key "*", 1 an exact key.
void BM_Select(benchmark::State &state) {
    setUp((int)state.range(0));
    int ncols = (int)state.range(1);
    static const unsigned five[] = {1, 3, 9, 6, 10};
    std::vector<qelVar_t> defs((size_t)ncols);
    std::vector<qelVariable_t> cols((size_t)ncols);
    for (int i = 0; i < ncols; i++) {
        memset(&defs[i], 0, sizeof defs[i]);
        defs[i].hint = ncols == 5 ? five[i] : (unsigned)i + 1;
        memset(&cols[i], 0, sizeof cols[i]);
        qelCopyField(cols[i].varName.mibName, "kestrova");
        snprintf(cols[i].varName.objName, sizeof cols[i].varName.objName, "c%u", defs[i].hint);
        cols[i].entryPtr = &defs[i];
        cols[i].next = i + 1 < ncols ? &cols[i + 1] : nullptr;
    }
    char key[2048];
    if (state.range(2))
        snprintf(key, sizeof key, "11.server%06d.bench.test.tcp/443", benchN / 2);
    else
        qelCopyField(key, "*");
    long long hold = 0;
    unsigned vars = 0;
    size_t bytes = 0;
    int status = 0;
    for (auto _ : state) {
        // As the agent answers: each binding written out as it is added.
        qelPdu_t out;
        memset(&out, 0, sizeof out);
        QelReplyStream stream(&out);
        status = var_dependTable(key, cols.data(), &out);
        vars = out.numberVariables;
        bytes = stream.bytes();
        if (stream.overflowed())
            status = tooBig;
        hold = std::max(hold, kestrova::lastSelectLockMicros());
        qelPduCleanup(&out);
    }
    state.counters["lockHoldMaxUs"] = (double)hold;
    state.counters["variables"] = (double)vars;
    state.counters["replyBytes"] = (double)bytes;
    state.counters["status"] = status;
}

// range(0): N; range(1): peers.
void BM_Prune(benchmark::State &state) {
    int n = (int)state.range(0), peers = (int)state.range(1);
    init_peers();
    drainLinkedList(peerList);
    for (int i = 0; i < peers; i++)
        insertTail(peerList, peerNew(("peer" + std::to_string(i) + ".bench.test").c_str()));
    long long hold = 0;
    long traps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        benchN = 0; // a fresh graph of N, every record past its age
        setUp(n);
        for (linkedElement_t *c = myVertex->setOfEdges->head; c; c = c->next)
            static_cast<dependency_t *>(c->data)->lastUpdate -= 100000;
        long before = trapsSent;
        state.ResumeTiming();
        pruneDependencies(1, 600);
        state.PauseTiming();
        traps = trapsSent - before;
        hold = std::max(hold, kestrova::lastPruneLockMicros());
        if (getNumberDependencies() != 0)
            state.SkipWithError("records left after the prune");
        state.ResumeTiming();
    }
    benchN = 0;
    drainLinkedList(peerList);
    state.counters["lockHoldMaxUs"] = (double)hold;
    state.counters["trapsSent"] = (double)traps;
    state.counters["perDependency"] =
        benchmark::Counter((double)state.iterations() * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BM_WorkerPass)->ArgsProduct({{1000, 10000, 50000}, {0, 3, 4}})->Unit(benchmark::kMillisecond);
// Resolves N answers a pass through the resolver threads: 1k and 10k only.
BENCHMARK(BM_WorkerPass)->Args({1000, 2})->Args({10000, 2})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkerPhases)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AgeOutAndProbe)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Prune)->ArgsProduct({{1000, 10000, 50000}, {0, 3}})->Iterations(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Select)->ArgsProduct({{10000, 50000}, {5, 17}, {0, 1}})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
