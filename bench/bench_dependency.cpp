// link: kestrova_core
// The dependency worker and the dependencyTable select in-process, at N local
// dependencies (one client, N servers):
//  - WorkerPass: one whole pass of the worker with a discovery stand-in that
//    refreshes all N, both age-out walks, the probe copy and write-back with
//    a prober that answers at once;
//  - AgeOutAndProbe: the pass without the refresh;
//  - Select: the handler with 5 or 17 columns, key "*" or one exact key;
//  - Prune: one age-out pass that removes all N at once and sends a trap
//    for each to 0 or 3 peers (the trap sender only counts).
// Counters: the longest graph-lock hold (microseconds; wall and the holding
// thread's CPU time) and the time per dependency.
#include <benchmark/benchmark.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dependency.h"
#include "discovery.h"
#include "graph.h"
#include "peer.h"
#include "kestrova_globals.h"
#include "qel/reply_stream.h"
#include "qel/strutil.h"
#include "qelplugin.h"

// Host calls as an agent with a warm name cache answers them.
extern "C" {
int qelNameAddrToHostname(const char *in, char *buf, int maxlen) {
    qelCopyStr(buf, (size_t)maxlen, in);
    return 1;
}
int qelIpAddrToHostname(const char *in, char *buf, int maxlen) {
    qelCopyStr(buf, (size_t)maxlen, in);
    return 1;
}
void *qelGetSymbolValue(const char *) { return nullptr; }
long trapsSent = 0;
int qelSendTrap(const char *, qelPdu_t *, const char *, const char *, const char *) {
    trapsSent++;
    return 1;
}
void qeldLog(const char *) {}
int qelGetAgentDebugLevel(void) { return 0; }
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

// The discovery stand-in: confirms every one of the N dependencies.
int refreshAll() {
    dependency_t *d = scratch();
    for (int i = 0; i < benchN; i++) {
        memset(d, 0, sizeof *d);
        d->dtype = dependWeb;
        d->pov = dependOutbound;
        d->dsrc = dependSrcDynamic;
        qelCopyField(d->dependClient, "bench-client");
        snprintf(d->dependServer, sizeof d->dependServer, "server%06d.bench.test", i);
        snprintf(d->args, sizeof d->args, "tcp/%d", 443);
        addLocalDependency(d);
    }
    return 0;
}

const discoveryEntry_t refreshTable[] = {{"refreshAll", refreshAll, 0}};

void setUp(int n) {
    if (theGraph && benchN == n)
        return;
    if (theGraph) {
        while (theGraph->setOfNodes->head)
            graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
        graphDestroy(theGraph);
    }
    qelCopyField(myhostname, "bench-client");
    theGraph = graphNew("bench graph");
    myVertex = vertexNew("bench-client");
    graphInsertNode(theGraph, myVertex);
    benchN = n;
    refreshAll();
    kestrova::setDependencyProber(instantProber);
    kestrovaSetDiscoveryTable(refreshTable, 1);
}

void BM_WorkerPass(benchmark::State &state) {
    setUp((int)state.range(0));
    long long hold = 0;
    long long holdCpu = 0, probeCpu = 0, pruneCpu = 0;
    for (auto _ : state) {
        kestrovaDependencyPass();
        hold = std::max({hold, kestrova::lastProbeLockMicros(), kestrova::lastPruneLockMicros()});
        probeCpu = std::max(probeCpu, kestrova::lastProbeLockCpuMicros());
        pruneCpu = std::max(pruneCpu, kestrova::lastPruneLockCpuMicros());
        holdCpu = std::max({holdCpu, probeCpu, pruneCpu});
    }
    state.counters["lockHoldMaxUs"] = (double)hold;
    state.counters["lockHoldCpuMaxUs"] = (double)holdCpu;
    state.counters["probeHoldCpuUs"] = (double)probeCpu;
    state.counters["pruneHoldCpuUs"] = (double)pruneCpu;
    state.counters["perDependency"] =
        benchmark::Counter((double)state.iterations() * benchN, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
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
    state.counters["perDependency"] =
        benchmark::Counter((double)state.iterations() * benchN, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
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
    long long hold = 0, holdCpu = 0;
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
        holdCpu = std::max(holdCpu, kestrova::lastPruneLockCpuMicros());
        if (getNumberDependencies() != 0)
            state.SkipWithError("records left after the prune");
        state.ResumeTiming();
    }
    benchN = 0;
    drainLinkedList(peerList);
    state.counters["lockHoldMaxUs"] = (double)hold;
    state.counters["lockHoldCpuMaxUs"] = (double)holdCpu;
    state.counters["trapsSent"] = (double)traps;
    state.counters["perDependency"] =
        benchmark::Counter((double)state.iterations() * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BM_WorkerPass)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AgeOutAndProbe)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Prune)
    ->ArgsProduct({{1000, 10000, 50000}, {0, 3}})
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Select)
    ->ArgsProduct({{10000, 50000}, {5, 17}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
