// link: kestrova_core
// Cost of one discovery pass over a large dependency graph: adding N distinct
// local dependencies (N client hosts of a busy server), refreshing all of them
// once, and exporting the graph.
#include <benchmark/benchmark.h>

#include <string.h>

#include <string>
#include <vector>

#include "graph.h"
#include "kestrova_globals.h"
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

std::vector<std::string> clientNames(int n) {
    std::vector<std::string> names;
    names.reserve((size_t)n);
    for (int i = 0; i < n; i++)
        names.push_back("client" + std::to_string(i) + ".example.com");
    return names;
}

void makeGraph() {
    qelCopyField(myhostname, "server.example.com");
    theGraph = graphNew("server.example.com graph");
    myVertex = vertexNew("server.example.com");
    myVertex->reachable = 1;
    graphInsertNode(theGraph, myVertex);
}

void dropGraph() {
    while (theGraph->setOfNodes->head)
        graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
    graphDestroy(theGraph);
    theGraph = nullptr;
    myVertex = nullptr;
}

void addAll(const std::vector<std::string> &names, benchmark::State *state) {
    dependency_t d;
    for (const auto &name : names) {
        memset(&d, 0, sizeof(d));
        qelCopyField(d.dependClient, name.c_str());
        qelCopyField(d.dependServer, "server.example.com");
        qelCopyField(d.args, "443");
        d.dtype = dependWeb;
        d.pov = dependInbound;
        d.dsrc = dependSrcDynamic;
        int rc = addLocalDependency(&d);
        if (state && rc < 0)
            state->SkipWithError("add failed");
    }
}

void perDependency(benchmark::State &state, int n) {
    state.counters["per_dep"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_AddLocal(benchmark::State &state) {
    int n = (int)state.range(0);
    auto names = clientNames(n);
    for (auto _ : state) {
        state.PauseTiming();
        makeGraph();
        state.ResumeTiming();
        addAll(names, &state);
        state.PauseTiming();
        if (getSizeOfGraph(theGraph) != n)
            state.SkipWithError("wrong edge count");
        dropGraph();
        state.ResumeTiming();
    }
    perDependency(state, n);
}

void BM_RefreshLocal(benchmark::State &state) {
    int n = (int)state.range(0);
    auto names = clientNames(n);
    makeGraph();
    addAll(names, nullptr);
    for (auto _ : state)
        addAll(names, &state);
    if (getSizeOfGraph(theGraph) != n)
        state.SkipWithError("refresh added records");
    dropGraph();
    perDependency(state, n);
}

void BM_Export(benchmark::State &state) {
    int n = (int)state.range(0);
    auto names = clientNames(n);
    makeGraph();
    addAll(names, nullptr);
    size_t bytes = 0;
    for (auto _ : state) {
        int len = 0;
        char *buf = graphExportToBuffer(theGraph, &len);
        benchmark::DoNotOptimize(buf);
        bytes = (size_t)len;
        free(buf);
    }
    dropGraph();
    state.counters["bytes"] = (double)bytes;
    perDependency(state, n);
}

} // namespace

BENCHMARK(BM_AddLocal)->Arg(100)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshLocal)->Arg(100)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Export)->Arg(100)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
