// link: kestrova_core qelhost
// The probe pass of the dependency worker (checkDependencies with the real
// prober) over N silent dependencies: the floor is one wait of three
// one-second packets per wave of up to 1,024 targets. It sends real ICMP,
// so it runs only inside the network namespaces bench/probe_pass.sh makes
// (198.18.0.0/15 routed to a neighbour nobody is); the script sets
// KESTROVA_PROBE_BENCH_NETNS.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "dependency.h"
#include "graph.h"
#include "kestrova_globals.h"
#include "qel/strutil.h"
#include "vertex.h"

namespace {

// n outbound dependencies of the local host on 198.18.0.2, 198.18.0.3, ...
void makeGraph(int n) {
    qelCopyField(myhostname, "bench-client");
    theGraph = graphNew("bench graph");
    myVertex = vertexNew("bench-client");
    graphInsertNode(theGraph, myVertex);
    for (int i = 0; i < n; i++) {
        char addr[32];
        snprintf(addr, sizeof addr, "198.18.%d.%d", (i + 2) / 256, (i + 2) % 256);
        vertex_t *s = vertexNew(addr);
        graphInsertNode(theGraph, s);
        auto *d = static_cast<dependency_t *>(calloc(1, sizeof(dependency_t)));
        d->dtype = dependWeb;
        d->pov = dependOutbound;
        d->dsrc = dependSrcDynamic;
        d->ipVersion = 4;
        d->client = myVertex;
        d->server = s;
        d->createTime = d->lastUpdate = time(nullptr);
        qelCopyField(d->dependClient, myVertex->name);
        qelCopyField(d->dependServer, addr);
        qelCopyField(d->originalServer, addr);
        qelCopyField(d->args, "tcp/443");
        graphInsertEdge(theGraph, d);
    }
}

void dropGraph() {
    while (theGraph->setOfNodes->head)
        graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
    graphDestroy(theGraph);
    theGraph = nullptr;
    myVertex = nullptr;
}

void BM_ProbePass(benchmark::State &state) {
    if (!getenv("KESTROVA_PROBE_BENCH_NETNS")) {
        state.SkipWithError("sends ICMP: run it through bench/probe_pass.sh");
        return;
    }
    int n = (int)state.range(0);
    makeGraph(n);
    long long hold = 0;
    double seconds = 0;
    int silent = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        checkDependencies();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        hold = std::max(hold, kestrova::lastProbeLockMicros());
    }
    for (linkedElement_t *c = myVertex->setOfEdges->head; c; c = c->next)
        silent += static_cast<dependency_t *>(c->data)->reachable == 0;
    int waves = (n + 1023) / 1024;
    state.counters["waves"] = waves;
    state.counters["silentSeen"] = silent;
    state.counters["perWaveSec"] = seconds / waves;
    state.counters["overFloor"] = seconds / (3.0 * waves);
    state.counters["lockHoldMaxUs"] = (double)hold;
    if (silent != n)
        state.SkipWithError("a silent target answered or failed: is this the benchmark's namespace?");
    dropGraph();
}

} // namespace

BENCHMARK(BM_ProbePass)->Arg(10)->Arg(100)->Arg(1000)->Iterations(2)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_ProbePass)->Arg(2000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
