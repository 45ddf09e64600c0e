// link: kestrova_core
// The peer walk behind getPeers and var_peerTable over N client hosts that
// all share a server with the local host (every one a peer), the pairwise
// vertexIsPeer walk it replaces (small N only: it is quadratic), and the
// pairing of a peer's table of 10,000 rows against 10,000 local rows.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "graph.h"
#include "kestrova_globals.h"
#include "peer.h"
#include "qel/reply_stream.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "vertex.h"

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

dependency_t *record(vertex_t *c, vertex_t *s, dependencyType_t t) {
    auto *d = static_cast<dependency_t *>(calloc(1, sizeof(dependency_t)));
    d->dtype = t;
    d->client = c;
    d->server = s;
    qelCopyField(d->dependClient, c->name);
    qelCopyField(d->dependServer, s->name);
    return d;
}

// The local host serves DNS to n clients and, like each of them, uses one
// NTP server: n inbound records at the local vertex, n peers.
void makeGraph(int n) {
    qelCopyField(myhostname, "server.example.com");
    theGraph = graphNew("server.example.com graph");
    myVertex = vertexNew("server.example.com");
    graphInsertNode(theGraph, myVertex);
    vertex_t *ntp = vertexNew("ntp.example.com");
    graphInsertNode(theGraph, ntp);
    graphInsertEdge(theGraph, record(myVertex, ntp, dependNTP));
    for (int i = 0; i < n; i++) {
        vertex_t *c = vertexNew(("client" + std::to_string(i) + ".example.com").c_str());
        graphInsertNode(theGraph, c);
        graphInsertEdge(theGraph, record(c, myVertex, dependDNS));
        graphInsertEdge(theGraph, record(c, ntp, dependNTP));
    }
}

void dropGraph() {
    while (theGraph->setOfNodes->head)
        graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
    graphDestroy(theGraph);
    theGraph = nullptr;
    myVertex = nullptr;
}

void perHost(benchmark::State &state, int n) {
    state.counters["per_host"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_PeerWalk(benchmark::State &state) {
    int n = (int)state.range(0);
    makeGraph(n);
    size_t peers = 0;
    for (auto _ : state) {
        graphLock(theGraph, "bench");
        auto found = kestrova::peerWalkLocked(theGraph, myVertex);
        graphUnlock(theGraph, "bench");
        peers = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    if (peers != (size_t)n)
        state.SkipWithError("wrong number of peers");
    perHost(state, n);
    dropGraph();
}
BENCHMARK(BM_PeerWalk)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

// The walk as vertexIsPeer answers it vertex by vertex.
void BM_PairwiseWalk(benchmark::State &state) {
    int n = (int)state.range(0);
    makeGraph(n);
    for (auto _ : state) {
        int peers = 0;
        graphLock(theGraph, "bench");
        for (linkedElement_t *c = theGraph->setOfNodes->head; c; c = c->next) {
            auto *v = static_cast<vertex_t *>(c->data);
            int t = 0;
            vertex_t *s = nullptr;
            peers += v != myVertex && vertexIsPeer(v, myVertex, &t, &s);
        }
        graphUnlock(theGraph, "bench");
        benchmark::DoNotOptimize(peers);
    }
    perHost(state, n);
    dropGraph();
}
BENCHMARK(BM_PairwiseWalk)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_GetPeers(benchmark::State &state) {
    int n = (int)state.range(0);
    makeGraph(n);
    init_peers();
    for (auto _ : state)
        getPeers();
    if (getNumberPeers() != n)
        state.SkipWithError("wrong number of peers");
    perHost(state, n);
    dropGraph();
}
BENCHMARK(BM_GetPeers)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

// Every row, written out as the agent streams a reply: all eight columns
// (at 50,000 rows that is 69 MB, past the 64 MiB message bound: the handler
// stops and the agent answers tooBig), and four.
void varPeerTable(benchmark::State &state, const std::vector<unsigned> &columns) {
    int n = (int)state.range(0);
    makeGraph(n);
    qelVar_t defs[8]{};
    qelVariable_t cols[8]{};
    size_t k = columns.size();
    for (size_t i = 0; i < k; i++) {
        defs[i].hint = columns[i];
        qelCopyField(cols[i].varName.mibName, "kestrova");
        qelCopyField(cols[i].varName.objName, "peerColumn");
        cols[i].entryPtr = &defs[i];
        cols[i].next = i + 1 < k ? &cols[i + 1] : nullptr;
    }
    char key[] = "*";
    int vars = 0;
    for (auto _ : state) {
        qelPdu_t out{};
        {
            QelReplyStream stream(&out);
            if (var_peerTable(key, cols, &out) != noError)
                state.SkipWithError("select failed");
            vars = out.numberVariables;
            state.counters["reply_bytes"] = (double)stream.bytes();
        }
        qelPduCleanup(&out);
    }
    if (vars != (int)k * n)
        state.SkipWithError("wrong number of variables");
    perHost(state, n);
    dropGraph();
}

void BM_VarPeerTable8(benchmark::State &state) {
    varPeerTable(state, {1, 2, 3, 4, 5, 6, 7, 8});
}
BENCHMARK(BM_VarPeerTable8)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_VarPeerTable(benchmark::State &state) {
    varPeerTable(state, {1, 2, 4, 7});
}
BENCHMARK(BM_VarPeerTable)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

// 10,000 local rows against a peer's 10,000: half the local rows are served
// by servers the peer also uses (rule 1), a tenth by the peer itself
// (rule 2); the adds are counted, not made.
void countPair(void *ctx, const kestrova::DependencyRow &, const kestrova::DependencyRow &, int) {
    ++*static_cast<long *>(ctx);
}

void BM_Pairing(benchmark::State &state) {
    int n = (int)state.range(0);
    std::vector<kestrova::DependencyRow> local((size_t)n), peer((size_t)n);
    for (int i = 0; i < n; i++) {
        auto &l = local[(size_t)i];
        l.dtype = 1 + i % 30;
        l.pov = i % 10 == 0 ? dependOutbound : (i % 2 ? dependOutbound : dependInbound);
        l.client = "server.example.com";
        l.server = i % 10 == 0 ? "peer.example.com" : "srv" + std::to_string(i) + ".example.com";
        l.args = std::to_string(i);
        auto &p = peer[(size_t)i];
        p.dtype = 1 + i % 30;
        p.pov = dependNA;
        p.client = i % 10 == 0 ? "third" + std::to_string(i) + ".example.com" : "peer.example.com";
        p.server = i % 10 == 0 ? "peer.example.com" : "srv" + std::to_string(i) + ".example.com";
        p.args = std::to_string(i);
    }
    long adds = 0;
    for (auto _ : state) {
        adds = 0;
        kestrova::pairPeerRows(local, peer, "peer.example.com", "server.example.com", countPair, &adds);
        benchmark::DoNotOptimize(adds);
    }
    state.counters["adds"] = (double)adds;
}
BENCHMARK(BM_Pairing)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
