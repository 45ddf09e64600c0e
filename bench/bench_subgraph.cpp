// link: kestrova_core
// The subgraph's cost in-process, at N dependencies shaped as bench_graph
// shapes them (N client hosts of one busy server): how long the export holds
// the graph lock, what the agent's handler spends (export, then Base64
// outside the lock), and what the client's decoding costs.
//
// Each benchmark runs its operation once before timing, so it measures the
// agent's steady state (a fetch after a fetch) whatever ran before it; the
// counters give the cost per dependency and the page faults per iteration
// (fresh memory is the one cost that is not the same per dependency at
// every size). Run with repetitions and read the medians:
//   bench_subgraph --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <memory>

#include <pthread.h>
#include <string.h>
#include <sys/resource.h>

#include <new>
#include <string>

#include "graph.h"
#include "graph_internal.h"
#include "kestrova_globals.h"
#include "qel/base64.h"
#include "qel/strutil.h"
#include "qelplugin.h"

// Host calls as an agent with a warm name cache answers them: every text is
// already a host name.
extern "C" {
int qelNameAddrToHostname(const char *in, char *buf, int maxlen) {
    qelCopyStr(buf, (size_t)maxlen, in);
    return 1;
}
int qelIpAddrToHostname(const char *in, char *buf, int maxlen) {
    qelCopyStr(buf, (size_t)maxlen, in);
    return 1;
}
void *qelGetSymbolValue(const char *) {
    return nullptr;
}
int qelSendTrap(const char *, qelPdu_t *, const char *, const char *, const char *) {
    return 1;
}
void qeldLog(const char *) {}
}

#include "kestrova_bench_host.h"

namespace {

// One graph per size, built on first use and kept for the whole run.
int builtFor = -1;

void buildGraph(int n) {
    if (builtFor == n)
        return;
    if (theGraph) {
        while (theGraph->setOfNodes->head)
            graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
        graphDestroy(theGraph);
    }
    qelCopyField(myhostname, "server.example.com");
    theGraph = graphNew("server.example.com graph");
    myVertex = vertexNew("server.example.com");
    myVertex->reachable = 1;
    graphInsertNode(theGraph, myVertex);
    dependency_t d;
    for (int i = 0; i < n; i++) {
        memset(&d, 0, sizeof(d));
        std::string name = "client" + std::to_string(i) + ".example.com";
        qelCopyField(d.dependClient, name.c_str());
        qelCopyField(d.dependServer, "server.example.com");
        qelCopyField(d.args, "443");
        d.dtype = dependWeb;
        d.pov = dependInbound;
        d.dsrc = dependSrcDynamic;
        addLocalDependency(&d);
    }
    builtFor = n;
}

long minorFaults() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_minflt;
}

void counters(benchmark::State &state, int n, size_t bytes, long faults0) {
    state.counters["per_dep"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["bytes"] = (double)bytes;
    state.counters["faults"] =
        benchmark::Counter((double)(minorFaults() - faults0), benchmark::Counter::kAvgIterations);
}

// One GraphML buffer for every export of the run.
QelGrowingBuffer keptDoc;

// From taking the lock to giving it back: what every other graph user
// waits at most.
void BM_ExportLockHeld(benchmark::State &state) {
    int n = (int)state.range(0);
    buildGraph(n);
    size_t len = 0;
    if (!kestrova::graphExportInto(theGraph, keptDoc, &len))
        state.SkipWithError("export failed");
    long faults0 = minorFaults();
    for (auto _ : state) {
        const char *doc = kestrova::graphExportInto(theGraph, keptDoc, &len);
        if (!doc)
            state.SkipWithError("export failed");
        benchmark::DoNotOptimize(doc);
    }
    counters(state, n, len, faults0);
}

// The same into a fresh buffer each time (graphExportToBuffer, the file
// export): what the lock hold costs when the pages are new.
void BM_ExportLockHeldFresh(benchmark::State &state) {
    int n = (int)state.range(0);
    buildGraph(n);
    size_t len = 0;
    long faults0 = minorFaults();
    for (auto _ : state) {
        auto fresh = std::make_unique<QelGrowingBuffer>();
        const char *doc = kestrova::graphExportInto(theGraph, *fresh, &len);
        state.PauseTiming();
        if (!doc)
            state.SkipWithError("export failed");
        fresh.reset();
        state.ResumeTiming();
    }
    counters(state, n, len, faults0);
}

// The handler's work: export under the lock, Base64 outside it, both
// buffers released as the agent releases them once the reply is sent.
void BM_HandlerExportEncode(benchmark::State &state) {
    int n = (int)state.range(0);
    buildGraph(n);
    int enclen = 0;
    auto once = [&] {
        size_t len = 0;
        const char *doc = kestrova::graphExportInto(theGraph, keptDoc, &len);
        char *enc = doc ? base64_encode(doc, (int)len, &enclen) : nullptr;
        if (!enc)
            state.SkipWithError("export or encoding failed");
        benchmark::DoNotOptimize(enc);
        free(enc);
    };
    once();
    long faults0 = minorFaults();
    for (auto _ : state)
        once();
    counters(state, n, (size_t)enclen, faults0);
}

// The client's decoding of the same text.
void BM_ClientDecode(benchmark::State &state) {
    int n = (int)state.range(0);
    buildGraph(n);
    int len = 0, enclen = 0, declen = 0;
    char *doc = graphExportToBuffer(theGraph, &len);
    char *enc = base64_encode(doc, len, &enclen);
    free(base64_decode(enc, enclen, &declen));
    long faults0 = minorFaults();
    for (auto _ : state) {
        char *dec = base64_decode(enc, enclen, &declen);
        if (!dec || declen != len)
            state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(dec);
        free(dec);
    }
    free(enc);
    free(doc);
    counters(state, n, (size_t)declen, faults0);
}

} // namespace

BENCHMARK(BM_ExportLockHeld)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportLockHeldFresh)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandlerExportEncode)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientDecode)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
