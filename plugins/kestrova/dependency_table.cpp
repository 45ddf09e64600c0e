// The dependency table: the age-out and probe passes of the worker, the
// select handler of "dependencyTable" and small accessors.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dependency.h"
#include "graph.h"
#include "graph_internal.h"
#include "kestrova_globals.h"
#include "peer.h"
#include "ping.h"
#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "qelselect.h"

using namespace kestrova;

namespace {

// Nothing here has a destructor that could run while a worker still uses
// it at process exit: the state is made once and never destroyed.
struct ModuleState {
    std::mutex pruneListMutex;
    // Serialises the probes: the two kept ICMP sockets belong to one caller
    // at a time.
    std::mutex probeMutex;
    int raw4 = 0;
    int raw6 = 0;
};

ModuleState &state() {
    static ModuleState *s = new ModuleState;
    return *s;
}

std::atomic<DependencyProber> prober{nullptr};
std::atomic<long long> probeLockMicros{0};
std::atomic<long long> pruneLockMicros{0};
std::atomic<long long> selectLockMicros{0};

bool stopping() {
    return kestrova_thread_kill.load(std::memory_order_relaxed) != 0;
}

DependencyProber currentProber() {
    DependencyProber p = prober.load(std::memory_order_acquire);
    return p ? p : pingHostMany;
}

using Clock = std::chrono::steady_clock;

long long microsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
}

void noteHold(std::atomic<long long> &slot, long long v) {
    slot.store(v, std::memory_order_relaxed);
}

// The host a record is probed at, and the name to try again when that one
// does not resolve (empty: no retry). False for a point of view that is not
// probed.
bool probeTarget(const dependency_t *d, std::string &name, std::string &retry) {
    switch (d->pov) {
    case dependInbound:
        name = d->dependClient;
        retry = d->originalClient;
        return true;
    case dependOutbound:
        name = d->dependServer;
        retry = d->originalServer;
        return true;
    case dependNA:
        name = d->client == myVertex ? d->dependServer : d->dependClient;
        retry.clear();
        return true;
    default: return false;
    }
}

void notPinging(const dependency_t *d) {
    qel::logInfo("pingDependencyPeer: %d not pinging for %s (%d)-> %s\n", (int)d->pov, d->dependClient, (int)d->dtype,
                 d->dependServer);
}

ProbeFields fieldsOf(const dependency_t *d) {
    ProbeFields f;
    f.reachable = d->reachable;
    f.reachableTime = d->reachableTime;
    f.numIcmp = d->numIcmp;
    f.icmpRespTime = d->icmpRespTime;
    f.avgIcmpRespTime = d->avgIcmpRespTime;
    f.movAvgIcmpRespTime = d->movAvgIcmpRespTime;
    return f;
}

void storeFields(dependency_t *d, const ProbeFields &f) {
    d->reachable = f.reachable;
    d->reachableTime = f.reachableTime;
    d->numIcmp = f.numIcmp;
    d->icmpRespTime = f.icmpRespTime;
    d->avgIcmpRespTime = f.avgIcmpRespTime;
    d->movAvgIcmpRespTime = f.movAvgIcmpRespTime;
}

// ---- the probe pass ----

// Targets per prober call: its in-flight limit.
constexpr size_t kChunk = 1024;

// The distinct (version, name) probes of one wave, in the order first asked.
struct Wave {
    struct Target {
        int version;
        std::string name;
        int result = -1;
        int avg = 0;
    };
    std::vector<Target> targets;
    std::map<std::pair<int, std::string>, size_t> index;

    size_t add(int version, const std::string &name) {
        auto [it, fresh] = index.try_emplace({version, name}, targets.size());
        if (fresh)
            targets.push_back(Target{version, name});
        return it->second;
    }

    // One prober call per version (ascending) and chunk; false when the stop
    // flag ended the wave. The caller holds the probe mutex.
    bool probe() {
        DependencyProber prober = currentProber();
        ModuleState &s = state();
        std::map<int, std::vector<Target *>> byVersion;
        for (Target &t : targets)
            byVersion[t.version].push_back(&t);
        for (auto &[version, ts] : byVersion) {
            for (size_t at = 0; at < ts.size(); at += kChunk) {
                if (stopping())
                    return false;
                size_t n = std::min(kChunk, ts.size() - at);
                std::vector<const char *> hosts(n);
                std::vector<kestrovaPingArgs_t> args(n, kestrovaPingArgs_t{0, 0, 0, 0});
                std::vector<int> results(n, -1);
                for (size_t k = 0; k < n; k++)
                    hosts[k] = ts[at + k]->name.c_str();
                prober(version, hosts.data(), (int)n, args.data(), results.data(), &s.raw4, &s.raw6);
                for (size_t k = 0; k < n; k++) {
                    ts[at + k]->result = results[k];
                    ts[at + k]->avg = args[k].avgMsecs;
                }
            }
        }
        return true;
    }
};

// What the pass keeps of a record while it probes without the graph lock:
// its identity, to know it again at the write-back, and where it is probed.
struct ProbeJob {
    const dependency_t *rec;
    int dtype, pov, version;
    const vertex_t *client, *server;
    time_t createTime;
    std::string args, name, retry;
    bool probed;
    size_t target = SIZE_MAX;
    int result = 0, avg = 0;
};

bool sameRecord(const ProbeJob &j, const dependency_t *d) {
    return (int)d->dtype == j.dtype && (int)d->pov == j.pov && d->client == j.client && d->server == j.server &&
           d->createTime == j.createTime && j.args == std::string_view(d->args, strnlen(d->args, sizeof d->args));
}

// Copies every local record (a vertex lists a record once, also one with
// the same host at both ends); counts those of a point of view that is not
// probed.
std::vector<ProbeJob> copyJobs(graph_t *g, size_t &notProbed) {
    std::vector<ProbeJob> jobs;
    GraphLock lock(g);
    auto t0 = Clock::now();
    for (linkedElement_t *c = myVertex ? myVertex->setOfEdges->head : nullptr; c; c = c->next) {
        const auto *d = static_cast<const dependency_t *>(c->data);
        if (!d)
            continue;
        ProbeJob j{d,
                   (int)d->dtype,
                   (int)d->pov,
                   d->ipVersion,
                   d->client,
                   d->server,
                   d->createTime,
                   std::string(d->args, strnlen(d->args, sizeof d->args)),
                   {},
                   {},
                   false};
        j.probed = probeTarget(d, j.name, j.retry);
        notProbed += !j.probed;
        jobs.push_back(std::move(j));
    }
    noteHold(probeLockMicros, microsSince(t0));
    return jobs;
}

// Probes the jobs' targets (each once), then retries those whose name did
// not resolve under the name discovery gave; false when stopped.
bool probeJobs(std::vector<ProbeJob> &jobs) {
    std::lock_guard lock(state().probeMutex);
    Wave first, retries;
    for (ProbeJob &j : jobs)
        if (j.probed)
            j.target = first.add(j.version, j.name);
    if (!first.probe() || stopping())
        return false;
    std::vector<std::pair<ProbeJob *, size_t>> retried;
    for (ProbeJob &j : jobs) {
        if (!j.probed)
            continue;
        const Wave::Target &t = first.targets[j.target];
        j.result = t.result;
        j.avg = t.avg;
        if (t.result == -4 && j.pov != dependNA)
            retried.emplace_back(&j, retries.add(j.version, j.retry));
    }
    if (!retries.targets.empty() && !retries.probe())
        return false;
    for (auto [j, k] : retried) {
        j->result = retries.targets[k].result;
        j->avg = retries.targets[k].avg;
    }
    return !stopping();
}

// Writes the results to the records still among this host's edges and
// still the ones copied (a record released meanwhile may have left its
// memory to another).
void writeBack(graph_t *g, std::vector<ProbeJob> &jobs) {
    std::unordered_map<const dependency_t *, ProbeJob *> byRecord;
    for (ProbeJob &j : jobs)
        byRecord.emplace(j.rec, &j);
    GraphLock lock(g);
    auto t0 = Clock::now();
    time_t now = time(nullptr);
    for (linkedElement_t *c = myVertex ? myVertex->setOfEdges->head : nullptr; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        auto it = byRecord.find(d);
        if (!d || it == byRecord.end())
            continue;
        const ProbeJob &j = *it->second;
        byRecord.erase(it);
        if (!sameRecord(j, d))
            continue;
        ProbeFields f = fieldsOf(d);
        applyProbeResult(f, d->pov, j.result, j.avg, now); // 0 when not probed
        storeFields(d, f);
        // The probed host's vertex learns the outcome as the peer pass
        // writes it: a host that runs no agent is probed only here.
        vertex_t *other = d->client == myVertex ? d->server : d->client;
        if (j.probed && (j.result == 0 || j.result == 1) && other && other != myVertex) {
            other->reachable = j.result;
            other->reachableTime = j.result == 1 ? now : 0;
        }
    }
    noteHold(probeLockMicros, std::max(lastProbeLockMicros(), microsSince(t0)));
}

// ---- the table ----

struct TableRow {
    int dtype, dsrc, pov;
    bool clientIsMe;
    time_t lastUpdate, reachableTime, createTime;
    int reachable, score, numIcmp, avg, movAvg, icmp, ipVersion;
    std::string args, client, server, key;
};

// "%d.%s.%s": type, peer text, args, cut to 2047 characters. The peer text
// is the client for inbound records, the server for outbound ones, else
// "client.server".
void rowKey(int dtype, int pov, std::string_view client, std::string_view server, std::string_view args,
            std::string &key) {
    key = std::to_string(dtype);
    key += '.';
    if (pov == dependInbound)
        key += client;
    else if (pov == dependOutbound)
        key += server;
    else {
        key += client;
        key += '.';
        key += server;
    }
    key += '.';
    key += args;
    if (key.size() > QEL_KEY_LEN - 1)
        key.resize(QEL_KEY_LEN - 1);
}

void rowKey(const dependency_t *d, std::string &key) {
    rowKey((int)d->dtype, (int)d->pov, d->dependClient, d->dependServer,
           std::string_view(d->args, strnlen(d->args, sizeof(d->args))), key);
}

void copyRow(const dependency_t *d, TableRow &r) {
    r.dtype = d->dtype;
    r.dsrc = d->dsrc;
    r.pov = d->pov;
    r.clientIsMe = d->client == myVertex;
    r.lastUpdate = d->lastUpdate;
    r.reachableTime = d->reachableTime;
    r.createTime = d->createTime;
    r.reachable = d->reachable;
    r.score = d->score;
    r.numIcmp = d->numIcmp;
    r.avg = d->avgIcmpRespTime;
    r.movAvg = d->movAvgIcmpRespTime;
    r.icmp = d->icmpRespTime;
    r.ipVersion = d->ipVersion;
    r.args.assign(d->args, strnlen(d->args, sizeof(d->args)));
    r.client = d->dependClient;
    r.server = d->dependServer;
}

void timeValue(qelVariable_t *v, qelSyntax_t syntax, time_t t, bool emptyWhenZero) {
    if (emptyWhenZero && t == 0) {
        qelSetValue(v, syntax, "");
        return;
    }
    char buf[32] = "";
    qelConvertTimeStr(t, buf, sizeof buf);
    buf[sizeof buf - 1] = '\0';
    qelSetValue(v, syntax, buf);
}

bool fillColumn(const TableRow &r, unsigned column, qelVariable_t *v) {
    using C = kestrova::DependColumn;
    switch (static_cast<C>(column)) {
    case C::dependType: qelSetValueInt(v, integer, r.dtype); return true;
    case C::dependLastUpdate: timeValue(v, displayString, r.lastUpdate, false); return true;
    case C::dependArgs: qelSetValue(v, displayString, r.args.c_str()); return true;
    case C::dependSrc:
        if (r.dsrc == 0)
            qel::logError("varDependTable: 0 depend src\n");
        qelSetValueInt(v, integer, r.dsrc);
        return true;
    case C::dependPeer:
        qelSetValue(v, displayString, r.pov == dependInbound ? r.client.c_str() : r.server.c_str());
        return true;
    case C::dependReference:
        qelSetValueInt(v, integer, r.pov == dependNA ? (r.clientIsMe ? 0 : 1) : r.pov);
        return true;
    case C::dependReachable:
        qelSetValue(v, extendedBoolean, r.reachable == 1 ? "true" : r.reachable == 0 ? "false" : "unknown");
        return true;
    case C::dependReachableTime: timeValue(v, dateTime, r.reachableTime, true); return true;
    case C::dependClient: qelSetValue(v, displayString, r.client.c_str()); return true;
    case C::dependServer: qelSetValue(v, displayString, r.server.c_str()); return true;
    case C::dependCreateTime: timeValue(v, dateTime, r.createTime, true); return true;
    case C::dependScore: qelSetValueInt(v, integer, r.score); return true;
    case C::dependNumIcmp: qelSetValueInt(v, integer, r.numIcmp); return true;
    case C::dependAvgIcmpRespTime: qelSetValueInt(v, integer, r.avg); return true;
    case C::dependMovingAvgIcmpRespTime: qelSetValueInt(v, integer, r.movAvg); return true;
    case C::dependIcmpRespTime: qelSetValueInt(v, integer, r.icmp); return true;
    case C::dependIpVersion: qelSetValueInt(v, integer, r.ipVersion); return true;
    default: return false;
    }
}

} // namespace

namespace kestrova {

void setDependencyProber(DependencyProber p) {
    prober.store(p, std::memory_order_release);
}

long long lastProbeLockMicros() {
    return probeLockMicros.load(std::memory_order_relaxed);
}
long long lastPruneLockMicros() {
    return pruneLockMicros.load(std::memory_order_relaxed);
}
long long lastSelectLockMicros() {
    return selectLockMicros.load(std::memory_order_relaxed);
}

void applyProbeResult(ProbeFields &f, int pov, int result, int avgMsecs, time_t now) {
    int before = f.numIcmp;
    auto sample = [&] {
        f.icmpRespTime = avgMsecs;
        if (f.numIcmp < INT_MAX)
            f.numIcmp++;
    };
    if (pov == dependInbound || pov == dependOutbound) {
        f.reachable = result;
        if (result == 1) {
            f.reachableTime = now;
            sample();
        } else {
            // A probe that could not run (negative result) is no sample.
            f.reachableTime = 0;
            if (result == 0)
                sample();
        }
    } else if (pov == dependNA) {
        f.reachable = result;
        if (result == 1) {
            f.reachableTime = now;
            sample();
        }
    } else {
        f.icmpRespTime = 0;
    }
    // Averages move only with a new sample; the product needs 64 bits.
    if (f.numIcmp != before && f.numIcmp > 0) {
        long long m = ((long long)(f.numIcmp - 1) * f.movAvgIcmpRespTime + f.icmpRespTime) / f.numIcmp;
        f.movAvgIcmpRespTime = (int)m;
        f.avgIcmpRespTime = (int)m;
    }
}

} // namespace kestrova

extern "C" {

// Under the graph lock the records past their age are only taken out of
// the graph; their traps are built and sent, and the records released,
// after it (a prune of tens of thousands would otherwise hold every table
// and the subgraph for the whole of it).
int pruneDependencies(int local, int ageOut) {
    graph_t *g = theGraph;
    if (!g)
        return 1;
    {
        std::lock_guard lock(state().pruneListMutex);
        if (!pruneDependencyList)
            pruneDependencyList = newLinkedList(sizeof(dependency_t), dependencyCompare, dependencyPrintCb, nullptr,
                                                "pruneDependencyList", 1);
    }
    if (!pruneDependencyList)
        return 1;
    std::vector<dependency_t *> gone;
    bool noAgeOut = false;
    {
        GraphLock lock(g);
        auto t0 = Clock::now();
        linkedList_t *set = local == 1 ? (myVertex ? myVertex->setOfEdges : nullptr) : g->setOfEdges;
        time_t now = time(nullptr);
        for (linkedElement_t *c = set ? set->head : nullptr; c; c = c->next) {
            auto *d = static_cast<dependency_t *>(c->data);
            if (!d || d->dsrc == dependSrcStatic)
                continue;
            int limit = d->dsrc == dependSrcLogfile ? d->logfileDependencyAgeOut : ageOut;
            noAgeOut |= limit == 0;
            if (limit == 0 || (long long)now - (long long)d->lastUpdate <= (long long)limit)
                continue;
            try {
                gone.push_back(d);
            } catch (const std::bad_alloc &) {
                break; // the rest waits for the next pass
            }
        }
        std::erase_if(gone, [g](dependency_t *d) { return graphDisconnectEdge(g, d, 0) != 0; });
        noteHold(pruneLockMicros, microsSince(t0));
    }
    if (noAgeOut)
        qel::logInfo("pruneDependencies: compareAgeOut == 0\n");
    // The traps go out in the reverse order of removal, through the list
    // that holds the records until then.
    for (dependency_t *d : gone) {
        if (insertHead(pruneDependencyList, d) != 0) {
            sendPruneDependencyTrap(d);
            free(d);
        }
    }
    while (auto *d = static_cast<dependency_t *>(popHead(pruneDependencyList))) {
        sendPruneDependencyTrap(d);
        free(d);
    }
    return 1;
}

static int removeBySource(dependencySrc_t src) {
    graph_t *g = theGraph;
    if (!g)
        return 1;
    GraphLock lock(g);
    for (linkedElement_t *c = g->setOfEdges->head; c;) {
        auto *d = static_cast<dependency_t *>(c->data);
        c = c->next;
        if (d && d->dsrc == src)
            graphRemoveEdge(g, d, 0);
    }
    return 1;
}

int pruneStaticDependencies(void) {
    return removeBySource(dependSrcStatic);
}
int pruneLogfileDependencies(void) {
    return removeBySource(dependSrcLogfile);
}

int pingDependencyPeer(dependency_t *d) {
    if (!d)
        return -1;
    std::string name, retry;
    if (!probeTarget(d, name, retry)) {
        notPinging(d);
        ProbeFields f = fieldsOf(d);
        applyProbeResult(f, d->pov, 0, 0, time(nullptr));
        storeFields(d, f);
        return 1;
    }
    ModuleState &s = state();
    DependencyProber probe = currentProber();
    kestrovaPingArgs_t args{0, 0, 0, 0};
    int result = -1;
    {
        std::lock_guard lock(s.probeMutex);
        const char *host = name.c_str();
        probe(d->ipVersion, &host, 1, &args, &result, &s.raw4, &s.raw6);
        if (result == -4 && d->pov != dependNA) {
            host = retry.c_str();
            args = kestrovaPingArgs_t{0, 0, 0, 0};
            probe(d->ipVersion, &host, 1, &args, &result, &s.raw4, &s.raw6);
        }
    }
    ProbeFields f = fieldsOf(d);
    applyProbeResult(f, d->pov, result, args.avgMsecs, time(nullptr));
    storeFields(d, f);
    return 1;
}

// Probes every local dependency without holding the graph lock through the
// waits: the records' identities and targets are copied under the lock,
// probed in waves (each distinct target once; names that do not resolve are
// tried again with the names discovery gave), and the results written back
// under the lock to the records still there. A record added meanwhile waits
// for the next pass.
int checkDependencies(void) {
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return 1;
    qel::guardedVoid("checkDependencies", [g] {
        size_t notProbed = 0;
        std::vector<ProbeJob> jobs = copyJobs(g, notProbed);
        if (notProbed)
            qel::logDebug("checkDependencies: %zu dependencies of a point of view that is not probed\n", notProbed);
        if (probeJobs(jobs))
            writeBack(g, jobs);
    });
    return 1;
}

int getNumberDependencies(void) {
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return 0;
    GraphLock lock(g);
    return vertexGetDegree(myVertex);
}

dependency_t *getDependencies(int *len) {
    if (!len)
        return nullptr;
    *len = 0;
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return nullptr;
    GraphLock lock(g);
    return static_cast<dependency_t *>(toArrayCopy(myVertex->setOfEdges, len));
}

int traverse_dependencies(void) {
    graph_t *g = theGraph;
    if (!g)
        return 1;
    GraphLock lock(g);
    traverseList(g->setOfEdges);
    return 1;
}

// Rows are copied under the graph lock and formatted after it is released:
// formatting tens of thousands of rows (or a reply written out to a slow
// client as it grows) must not hold every other user of the graph.
qelErrorStatus_t var_dependTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    if (!key || !columns || !out)
        return genError;
    QelSelect sel("var_dependTable", key, columns, out);
    graph_t *g = theGraph;
    std::vector<TableRow> rows;
    int selected = 0;
    int limit = out->maxRows;
    int nullCells = 0;
    // Every row wanted: the keys are made after the lock is released.
    bool all = key[0] == '\0' || key[0] == '*';
    try {
        if (g && myVertex) {
            GraphLock lock(g);
            auto t0 = Clock::now();
            rows.reserve(
                (size_t)std::max(0, limit > 0 ? std::min(limit, myVertex->numberEdges) : myVertex->numberEdges));
            std::string k;
            for (linkedElement_t *c = myVertex->setOfEdges->head; c; c = c->next) {
                auto *d = static_cast<dependency_t *>(c->data);
                if (!d) {
                    nullCells++;
                    continue;
                }
                if (!all) {
                    rowKey(d, k);
                    if (!sel.selects(k.c_str()))
                        continue;
                }
                if (limit <= 0 || selected < limit) {
                    rows.emplace_back();
                    copyRow(d, rows.back());
                    if (!all)
                        rows.back().key = k;
                }
                selected++;
            }
            noteHold(selectLockMicros, microsSince(t0));
        }
    } catch (...) {
        qel::logError("var_dependTable: malloc failed\n");
        out->errorStatus = genError;
        return genError;
    }
    if (nullCells) {
        qel::logError("var_dependTable: null ptr!! (%d)\n", nullCells);
        qeldLog("var_dependTable: null ptr!!");
    }
    for (TableRow &r : rows) {
        if (all)
            rowKey(r.dtype, r.pov, r.client, r.server, r.args, r.key);
        if (!sel.addRow(r.key.c_str(), [&r](unsigned column, qelVariable_t *v) { return fillColumn(r, column, v); }))
            return sel.status();
    }
    // Rows past the limit are counted but add nothing.
    for (int i = (int)rows.size(); i < selected; i++)
        sel.addRow("", [](unsigned, qelVariable_t *) { return false; });
    return sel.finish("var_dependTable", debugLevel.load(std::memory_order_relaxed));
}

} // extern "C"
