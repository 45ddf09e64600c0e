// The dependency table: the worker that runs discovery, ages dependencies
// out and probes them; the select handler of "dependencyTable"; the exchange
// of dependency tables with peers; small accessors.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dependency.h"
#include "flat_index.h"
#include "graph.h"
#include "graph_internal.h"
#include "kestrova_globals.h"
#include "peer.h"
#include "ping.h"
#include "qel/qel_session.h"
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

bool stopping() { return kestrova_thread_kill.load(std::memory_order_relaxed) != 0; }

DependencyProber currentProber() {
    DependencyProber p = prober.load(std::memory_order_acquire);
    return p ? p : pingHostMany;
}

using Clock = std::chrono::steady_clock;

long long microsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
}

void noteHold(std::atomic<long long> &slot, long long v) { slot.store(v, std::memory_order_relaxed); }

// Follows a list some cells ahead of a walk and asks for the first lines of
// their records, so that a walk over tens of thousands of records waits on
// several at once rather than on each in turn. The age-out reads the first
// line only (source, times and its own age-out lie in the first 64 bytes
// of a pooled record); the probe copy the second too.
//
// Following the cells is itself a chain of loads, each waiting on the one
// before, and at that size each a trip to memory. A list built by appends
// has its cells at one stride in the cell pool (a cell per list an add
// touches), so the cell as far again ahead is asked for at the stride last
// seen: the chain then finds its cells at hand. Where the cells lie
// otherwise the guess only costs a line's read.
class RecordPrefetch {
public:
    static constexpr int kAhead = 16;
    explicit RecordPrefetch(linkedElement_t *head, int lines = 2) : next_(head), lines_(lines) {
        for (int i = 0; i < kAhead && next_; i++)
            step();
    }
    void step() {
        if (!next_)
            return;
        const auto at = reinterpret_cast<uintptr_t>(next_);
        if (last_)
            __builtin_prefetch(reinterpret_cast<const void *>(at + (at - last_) * kAhead));
        last_ = at;
        if (next_->data) {
            __builtin_prefetch(next_->data);
            if (lines_ > 1)
                __builtin_prefetch(static_cast<const char *>(next_->data) + 64);
        }
        next_ = next_->next;
    }

private:
    linkedElement_t *next_;
    uintptr_t last_ = 0;
    int lines_;
};

// The calling thread's CPU time: a lock hold in CPU time does not grow when
// other processes take the processor meanwhile.
long long threadCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}
std::atomic<long long> pruneLockCpu{0};
// Records the last probe pass copied (to size the next pass's copies).
std::atomic<size_t> lastProbeJobs{0};
std::atomic<long long> probeLockCpu{0};

size_t argsHash(const dependency_t *d) {
    return std::hash<std::string_view>{}(std::string_view(d->args, strnlen(d->args, sizeof(d->args))));
}

// A peer's name for itself: any loopback address or a name with
// "localhost" in it.
bool namesPeerItself(const char *name) {
    if (strcmp(name, "127.0.0.1") == 0 || strstr(name, "localhost") || strcmp(name, "::1") == 0)
        return true;
    in_addr a{};
    return inet_pton(AF_INET, name, &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

// ---- probing ----

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
    default:
        return false;
    }
}

void notPinging(const dependency_t *d) {
    printf("pingDependencyPeer: %d not pinging for %s (%d)-> %s\n", (int)d->pov, d->dependClient, (int)d->dtype,
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

// One wave: every distinct (version, name) some job of the pass asks for
// probed once, in chunks of the prober's in-flight limit, the stop flag
// checked between chunks. Results by target index; false when stopped.
// The first wave's targets are kept from pass to pass (with the names they
// were found under), so a target no job asks for this pass is skipped.
struct Target {
    int version;
    uint32_t nameAt; // NUL-terminated, in the name store
    int result = -1;
    int avg = 0;
    uint32_t asked = 0; // jobs of this pass probing it
};

constexpr int kChunk = 1024;

bool probeWave(std::vector<Target> &targets, const char *names) {
    DependencyProber probe = currentProber();
    ModuleState &s = state();
    // One prober call per address-family choice (the prober takes one
    // version for all its hosts), versions in ascending order, each
    // version's targets in order. The few versions are found first, so
    // that no index list of all targets is built (at 50,000 targets it was
    // mapped afresh, and faulted in, every pass).
    std::vector<int> versions;
    for (const Target &t : targets)
        if (t.asked && std::find(versions.begin(), versions.end(), t.version) == versions.end())
            versions.push_back(t.version);
    std::sort(versions.begin(), versions.end());
    std::vector<size_t> idx;
    std::vector<const char *> hosts;
    std::vector<kestrovaPingArgs_t> args;
    std::vector<int> results;
    idx.reserve(std::min(targets.size(), (size_t)kChunk));
    auto send = [&](int version) {
        size_t n = idx.size();
        hosts.assign(n, nullptr);
        args.assign(n, kestrovaPingArgs_t{0, 0, 0, 0});
        results.assign(n, -1);
        for (size_t k = 0; k < n; k++)
            hosts[k] = names + targets[idx[k]].nameAt;
        probe(version, hosts.data(), (int)n, args.data(), results.data(), &s.raw4, &s.raw6);
        for (size_t k = 0; k < n; k++) {
            Target &t = targets[idx[k]];
            t.result = results[k];
            t.avg = args[k].avgMsecs;
        }
        idx.clear();
    };
    for (int version : versions) {
        for (size_t i = 0; i < targets.size(); i++) {
            if (targets[i].version != version || !targets[i].asked)
                continue;
            if (idx.empty() && stopping())
                return false;
            idx.push_back(i);
            if (idx.size() == (size_t)kChunk)
                send(version);
        }
        if (!idx.empty())
            send(version);
    }
    return true;
}

// What checkDependencies keeps of a record while it probes without the
// graph lock. The names are kept in one store per pass (offsets here), not
// a string or two per record.
struct ProbeJob {
    dependency_t *rec = nullptr;
    vertex_t *client = nullptr, *server = nullptr;
    time_t createTime = 0;
    size_t args = 0;
    size_t target = SIZE_MAX; // index into the first wave
    size_t retry = SIZE_MAX;  // index into the second wave
    int dtype = 0;
    int pov = 0;
    int version = 0;
    uint32_t nameAt = 0;      // the host probed, in the name store
    uint32_t retryAt = 0;     // tried when name does not resolve
    int result = -1;
    int avg = 0;
    bool probed = false;      // a point of view that is probed
    bool hasRetry = false;    // a name to try when name does not resolve
    bool written = false;     // its result written back
};

size_t recordHash(const dependency_t *d) { return (size_t)(uintptr_t)d; }

// What a kept copy checks of a record that never left the edge set: the
// parts of its first line that choose its target or could change in place.
bool sameFirstLine(const ProbeJob &j, const dependency_t *d) {
    return (int)d->dtype == j.dtype && d->client == j.client && d->server == j.server &&
           d->createTime == j.createTime && (int)d->pov == j.pov && d->ipVersion == j.version;
}

bool sameIdentity(const ProbeJob &j, const dependency_t *d) {
    return (int)d->dtype == j.dtype && d->client == j.client && d->server == j.server &&
           d->createTime == j.createTime && (int)d->pov == j.pov && argsHash(d) == j.args;
}

// probeTarget without copies: the names as they lie in the record.
bool probeTargetOf(const dependency_t *d, std::string_view &name, std::string_view &retry) {
    auto view = [](const char (&f)[256]) { return std::string_view(f, strnlen(f, sizeof f)); };
    switch (d->pov) {
    case dependInbound:
        name = view(d->dependClient);
        retry = view(d->originalClient);
        return true;
    case dependOutbound:
        name = view(d->dependServer);
        retry = view(d->originalServer);
        return true;
    case dependNA:
        name = d->client == myVertex ? view(d->dependServer) : view(d->dependClient);
        retry = {};
        return true;
    default:
        return false;
    }
}

// Distinct (version, name) pairs of a wave; the names are in the store.
class WaveTargets {
public:
    // table: its entries kept, its memory grown to expected entries.
    WaveTargets(FlatIndexTable &table, size_t expected, const std::string &names) : table_(table), names_(names) {
        table_.reserve(expected);
    }
    static size_t hashOf(int version, std::string_view name) {
        return std::hash<std::string_view>{}(name) ^ ((size_t)(unsigned)version * 0x9e3779b97f4a7c15ULL);
    }
    void expect(size_t h) const { table_.prefetch(h); }
    size_t index(std::vector<Target> &targets, int version, uint32_t nameAt) {
        return index(targets, version, nameAt, hashOf(version, names_.data() + nameAt));
    }
    // With the name's hash from hashOf.
    size_t index(std::vector<Target> &targets, int version, uint32_t nameAt, size_t h) {
        std::string_view n(names_.data() + nameAt);
        auto [i, fresh] = table_.findOrInsert(h, (uint32_t)targets.size(), [&](uint32_t k) {
            return targets[k].version == version && n == names_.data() + targets[k].nameAt;
        });
        if (fresh)
            targets.push_back(Target{version, nameAt});
        return i;
    }

private:
    FlatIndexTable &table_;
    const std::string &names_;
};

// The probe pass's working memory, kept from pass to pass: made afresh each
// pass, the copies of 50,000 records were faulted in page by page (partly
// under the graph lock) and handed back to the system after each pass. One
// pass at a time uses it.
//
// The last pass's copies are kept too. A record that has not left this
// host's edge set since it was copied is the very record, and its names and
// arguments are those it was made with (a record's identity in the graph's
// index; nothing rewrites them in place): the next pass takes its names and
// first-wave target from the kept copy and reads only the record's first
// line, instead of its names (two more lines, kilobytes into the record)
// and a look-up of the target. Targets found in earlier passes stay in
// wave1, unasked when no job of the pass names them; the names stay in the
// store. Both start afresh when the kept part outgrows the live one.
struct ProbeScratch {
    std::mutex m;
    // The last pass's jobs, taken over in place by the next pass's copy.
    std::vector<ProbeJob> jobs;
    std::vector<ProbeJob> extra; // copied afresh where no slot was free yet
    std::string names; // every job's names, each with a NUL behind it
    size_t namesUsed = 0;
    std::vector<Target> wave1, wave2;
    std::vector<std::string> notProbed;
    std::vector<dependency_t *> selfLoops; // records listed twice, copied once
    FlatIndexTable firstTargets, secondTargets, byRecord;
    // What the kept copies hold for: the graph and local vertex they were
    // made in; false when there are none to trust.
    bool kept = false;
    graph_t *graph = nullptr;
    vertex_t *me = nullptr;
    size_t namesAtStart = 0; // the store's size when it was last started afresh
    std::vector<const dependency_t *> left; // records that left since the copy
    FlatIndexTable leftIndex;
    std::vector<size_t> fresh; // this pass's jobs copied from their records

    // Drops the kept copies (the next pass overwrites the jobs), targets and
    // names; the targets' table is emptied by the caller (after the graph
    // lock: it is the larger part).
    void forget() {
        kept = false;
        wave1.clear();
        namesUsed = 0;
    }
    // Whether the kept part is still mostly live: false when most targets
    // or names are of records gone (then the next pass starts afresh).
    bool worthKeeping(size_t liveTargets) const {
        return wave1.size() <= 2 * liveTargets + 1024 && namesUsed <= 2 * namesAtStart + (1u << 20);
    }
    void trim(size_t used) {
        if (jobs.capacity() > 4 * used + 4096) {
            forget();
            firstTargets.clear();
            std::vector<ProbeJob>().swap(jobs);
            std::vector<ProbeJob>().swap(extra);
            std::string().swap(names);
            std::vector<Target>().swap(wave1);
            firstTargets = FlatIndexTable{};
            byRecord = FlatIndexTable{};
        }
    }
};

ProbeScratch &probeScratch() {
    static ProbeScratch *s = new ProbeScratch; // outlives workers at exit
    return *s;
}

// Follows the copy walk some cells behind a RecordPrefetch, whose records'
// first lines have arrived by then, and asks for the names the copy will
// read there (the point of view says which): they lie kilobytes into the
// record, each on a line of its own.
class NamePrefetch {
public:
    static constexpr int kAhead = 8;
    explicit NamePrefetch(linkedElement_t *head) : next_(head) {
        for (int i = 0; i < kAhead && next_; i++)
            step();
    }
    void step() {
        if (!next_)
            return;
        if (const auto *d = static_cast<const dependency_t *>(next_->data)) {
            switch (d->pov) {
            case dependInbound:
                __builtin_prefetch(d->dependClient);
                __builtin_prefetch(d->originalClient);
                break;
            case dependOutbound:
                __builtin_prefetch(d->dependServer);
                __builtin_prefetch(d->originalServer);
                break;
            default:
                __builtin_prefetch(d->dependClient);
                __builtin_prefetch(d->dependServer);
                break;
            }
        }
        next_ = next_->next;
    }

private:
    linkedElement_t *next_;
};

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
    switch (column) {
    case 1: qelSetValueInt(v, integer, r.dtype); return true;
    case 2: timeValue(v, displayString, r.lastUpdate, false); return true;
    case 3: qelSetValue(v, displayString, r.args.c_str()); return true;
    case 4:
        if (r.dsrc == 0)
            fprintf(stderr, "varDependTable: 0 depend src\n");
        qelSetValueInt(v, integer, r.dsrc);
        return true;
    case 5: qelSetValue(v, displayString, r.pov == dependInbound ? r.client.c_str() : r.server.c_str()); return true;
    case 6: qelSetValueInt(v, integer, r.pov == dependNA ? (r.clientIsMe ? 0 : 1) : r.pov); return true;
    case 7:
        qelSetValue(v, extendedBoolean, r.reachable == 1 ? "true" : r.reachable == 0 ? "false" : "unknown");
        return true;
    case 8: timeValue(v, dateTime, r.reachableTime, true); return true;
    case 9: qelSetValue(v, displayString, r.client.c_str()); return true;
    case 10: qelSetValue(v, displayString, r.server.c_str()); return true;
    case 11: timeValue(v, dateTime, r.createTime, true); return true;
    case 12: qelSetValueInt(v, integer, r.score); return true;
    case 13: qelSetValueInt(v, integer, r.numIcmp); return true;
    case 14: qelSetValueInt(v, integer, r.avg); return true;
    case 15: qelSetValueInt(v, integer, r.movAvg); return true;
    case 16: qelSetValueInt(v, integer, r.icmp); return true;
    case 17: qelSetValueInt(v, integer, r.ipVersion); return true;
    default: return false;
    }
}

// ---- peer exchange ----

constexpr const char *kPeerColumns[5] = {"dependType", "dependArgs", "dependClient", "dependReference",
                                         "dependServer"};

int decimal(std::string_view text) {
    // As atoi reads it: leading blanks, a sign, digits; anything else 0.
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n'))
        i++;
    bool neg = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        neg = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        v = v * 10 + (text[i] - '0');
        if (v > INT_MAX)
            v = (long long)INT_MAX + 1;
    }
    v = neg ? -v : v;
    return (int)std::clamp<long long>(v, INT_MIN, INT_MAX);
}

struct PeerVisit {
    std::vector<DependencyRow> rows;
    DependencyRow cur;
    unsigned at = 0;
    size_t dropped = 0;
    size_t max = kMaxPeerDependencyRows;
};

int visitPeerVariable(const qelVariable_t *v, void *ctx) {
    auto &pv = *static_cast<PeerVisit *>(ctx);
    std::string_view value = v->valueBuf ? std::string_view(v->valueBuf)
                                         : std::string_view(v->valueStr, std::min<size_t>(
                                                                             (size_t)std::max(v->valueStrLen, 0),
                                                                             strnlen(v->valueStr, sizeof v->valueStr)));
    auto cut = [&](size_t n) { return value.substr(0, std::min(value.size(), n)); };
    switch (pv.at) {
    case 0: pv.cur.dtype = decimal(value); break;
    case 1: pv.cur.args.assign(cut(2047)); break;
    case 2: pv.cur.client.assign(cut(255)); break;
    case 3: pv.cur.pov = decimal(value); break;
    default:
        pv.cur.server.assign(cut(255));
        if (pv.rows.size() < pv.max)
            pv.rows.push_back(std::move(pv.cur));
        else
            pv.dropped++;
        pv.cur = DependencyRow{};
        break;
    }
    pv.at = (pv.at + 1) % 5;
    return 1;
}

} // namespace

// ---- C++ interface ----

namespace kestrova {

void setDependencyProber(DependencyProber p) { prober.store(p, std::memory_order_release); }

long long lastProbeLockMicros() { return probeLockMicros.load(std::memory_order_relaxed); }
long long lastPruneLockMicros() { return pruneLockMicros.load(std::memory_order_relaxed); }
long long lastSelectLockMicros() { return selectLockMicros.load(std::memory_order_relaxed); }
long long lastPruneLockCpuMicros() { return pruneLockCpu.load(std::memory_order_relaxed); }
long long lastProbeLockCpuMicros() { return probeLockCpu.load(std::memory_order_relaxed); }

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

std::vector<DependencyRow> getDependencyRows() {
    std::vector<DependencyRow> rows;
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return rows;
    graphLock(g, "getDependencyRows");
    try {
        rows.reserve((size_t)std::max(myVertex->numberEdges, 0));
        for (linkedElement_t *c = myVertex->setOfEdges->head; c; c = c->next) {
            auto *d = static_cast<dependency_t *>(c->data);
            if (!d)
                continue;
            rows.push_back(DependencyRow{(int)d->dtype, (int)d->pov, d->dependClient, d->dependServer,
                                         std::string(d->args, strnlen(d->args, sizeof d->args))});
        }
    } catch (...) {
        rows.clear();
    }
    graphUnlock(g, "getDependencyRows");
    return rows;
}

int getPeerDependencyRows(qelSession_t *session, const char *target, std::vector<DependencyRow> &rows) {
    rows.clear();
    if (!session || !target || !qelIsSessionConnected(session))
        return -1;
    qelPdu_t req, reply;
    memset(&req, 0, sizeof req);
    memset(&reply, 0, sizeof reply);
    req.msgType = SelectTableRequest;
    req.messageID = (int64_t)time(nullptr);
    qelCopyField(req.tableMib, "kestrova");
    qelCopyField(req.tableName, "dependencyTable");
    qelCopyField(req.tableKey, "*");
    req.maxRows = 0;
    for (const char *col : kPeerColumns) {
        if (!qelAddVariable(&req, "kestrova", col, nullptr, nullSyntax, nullptr)) {
            qelPduCleanup(&req);
            fprintf(stderr, "getPeerDependencies: malloc failed\n");
            return -1;
        }
    }
    PeerVisit pv;
    int rc;
    try {
        rc = qelTransactionVisit(session, &req, &reply, visitPeerVariable, &pv);
    } catch (...) {
        rc = -1;
    }
    qelPduCleanup(&req);
    if (rc < 0) {
        qelPduCleanup(&reply);
        fprintf(stderr, "getPeerDependencies: query failed\n");
        return -1;
    }
    bool usable = reply.errorStatus == noError && reply.numberVariables >= 5;
    qelPduCleanup(&reply);
    if (!usable)
        return -1;
    if (pv.dropped) {
        char line[512];
        snprintf(line, sizeof line, "getPeerDependencies: %zu rows from %s dropped beyond %zu", pv.dropped, target,
                 kMaxPeerDependencyRows);
        qeldLog(line);
    }
    if (mergePeerDependencyRows(pv.rows, target) < 0)
        return -1;
    rows = std::move(pv.rows);
    return (int)rows.size();
}

size_t readPeerDependencyRows(const qelVariable_t *vars, std::vector<DependencyRow> &rows, size_t maxRows) {
    PeerVisit pv;
    pv.max = maxRows;
    for (const qelVariable_t *v = vars; v; v = v->next)
        visitPeerVariable(v, &pv);
    rows = std::move(pv.rows);
    return pv.dropped;
}

int mergePeerDependencyRows(std::vector<DependencyRow> &rows, const char *target) {
    if (!target)
        return -1;
    auto *d = static_cast<dependency_t *>(malloc(sizeof(dependency_t)));
    if (!d) {
        fprintf(stderr, "getPeerDependencies: malloc failed\n");
        return -1;
    }
    size_t kept = 0;
    for (DependencyRow &r : rows) {
        // A nameless vertex could not be exported or imported again.
        if (r.client.empty() || r.server.empty())
            continue;
        char name[kHostNameLen];
        for (std::string *s : {&r.client, &r.server}) {
            hostNameOf(namesPeerItself(s->c_str()) ? target : s->c_str(), name);
            s->assign(name);
        }
        r.pov = dependNA;
        memset(d, 0, sizeof *d);
        d->dtype = (dependencyType_t)r.dtype;
        d->pov = dependNA;
        d->dsrc = dependSrcDynamic;
        qelCopyField(d->args, r.args.c_str());
        qelCopyField(d->dependClient, r.client.c_str());
        qelCopyField(d->dependServer, r.server.c_str());
        addGeneralDependency(d);
        if (&rows[kept] != &r)
            rows[kept] = std::move(r);
        kept++;
    }
    free(d);
    rows.resize(kept);
    return (int)kept;
}

} // namespace kestrova

// ---- C interface ----

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
    graphLock(g, "pruneDependencies");
    auto t0 = Clock::now();
    long long cpu0 = threadCpuMicros();
    linkedList_t *set = local == 1 ? (myVertex ? myVertex->setOfEdges : nullptr) : g->setOfEdges;
    time_t now = time(nullptr);
    // First the records past their age are found, then taken out: the walk
    // changes nothing, so it can ask for the records ahead of it.
    RecordPrefetch ahead(set ? set->head : nullptr, 1);
    for (linkedElement_t *c = set ? set->head : nullptr; c;) {
        ahead.step();
        auto *d = static_cast<dependency_t *>(c->data);
        if (!d) {
            fprintf(stderr, "************** pruneDependencies: element with no data\n");
            c = c->next;
            continue;
        }
        c = c->next;
        if (d->dsrc == dependSrcStatic)
            continue;
        int limit = d->dsrc == dependSrcLogfile ? d->logfileDependencyAgeOut : ageOut;
        if (limit == 0) {
            printf("pruneDependencies: compareAgeOut == 0\n");
            continue;
        }
        if ((long long)now - (long long)d->lastUpdate > (long long)limit) {
            // A record listed twice in this set (client and server the
            // same host) is taken once.
            while (c && c->data == d)
                c = c->next;
            try {
                gone.push_back(d);
            } catch (...) {
                // No room to keep it for its trap: it stays for the next pass.
                break;
            }
        }
    }
    size_t kept = 0;
    for (dependency_t *d : gone)
        if (graphDisconnectEdge(g, d, 0) == 0)
            gone[kept++] = d;
    gone.resize(kept);
    noteHold(pruneLockMicros, microsSince(t0));
    noteHold(pruneLockCpu, threadCpuMicros() - cpu0);
    graphUnlock(g, "pruneDependencies");
    // The traps go out in the reverse order of removal, through the list
    // that holds the records until then.
    for (dependency_t *d : gone) {
        if (insertHead(pruneDependencyList, d) != 0) {
            sendPruneDependencyTrap(d);
            releaseDependencyRecord(d);
        }
    }
    gone.clear();
    while (auto *d = static_cast<dependency_t *>(popHead(pruneDependencyList))) {
        sendPruneDependencyTrap(d);
        try {
            gone.push_back(d);
        } catch (...) {
            releaseDependencyRecord(d);
        }
    }
    releaseDependencyRecords(gone);
    return 1;
}

static int removeBySource(dependencySrc_t src, const char *label) {
    graph_t *g = theGraph;
    if (!g)
        return 1;
    graphLock(g, label);
    for (linkedElement_t *c = g->setOfEdges->head; c;) {
        auto *d = static_cast<dependency_t *>(c->data);
        c = c->next;
        if (d && d->dsrc == src)
            graphRemoveEdge(g, d, 0);
    }
    graphUnlock(g, label);
    return 1;
}

int pruneStaticDependencies(void) { return removeBySource(dependSrcStatic, "pruneStaticDependencies"); }
int pruneLogfileDependencies(void) { return removeBySource(dependSrcLogfile, "pruneLogfileDependencies"); }

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
// waits: the records' identities and probe targets are copied under the
// lock, probed in waves (each distinct target once; names that do not
// resolve are tried again with the names discovery gave in a second wave),
// and the results written back under the lock to the records still there.
// A record that stayed in the edge set since the last pass is not copied
// again: its kept copy is checked against its first line (see ProbeScratch).
int checkDependencies(void) {
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return 1;
    ProbeScratch &sc = probeScratch();
    std::lock_guard scratchLock(sc.m);
    std::vector<ProbeJob> &jobs = sc.jobs;
    std::vector<ProbeJob> &extra = sc.extra;
    extra.clear();
    std::string &names = sc.names;
    std::vector<Target> &wave1 = sc.wave1, &wave2 = sc.wave2;
    std::vector<std::string> &notProbed = sc.notProbed;
    wave2.clear();
    notProbed.clear();
    sc.selfLoops.clear();
    long long hold = 0, holdCpu = 0, cpu0 = 0;
    // Under the lock only copies: the targets are told apart after it.
    // The copies' memory is kept from the last pass, and grown to its size
    // before the lock: a first touch costs a page fault per 4 KiB, which
    // need not happen while the lock is held.
    size_t expected = lastProbeJobs.load(std::memory_order_relaxed);
    size_t count = 0;
    size_t &namesUsed = sc.namesUsed;
    std::vector<size_t> &fresh = sc.fresh; // jobs copied from their records
    fresh.clear();
    vertex_t *me = nullptr;
    unsigned long long removals = 0;
    bool keep = false;
    size_t lastCount = jobs.size(); // the last pass's jobs, at the front
    try {
        expected += expected / 8;
        if (jobs.size() < expected)
            jobs.resize(expected);
        if (names.size() < namesUsed + expected * 48)
            names.resize(namesUsed + expected * 48);
        fresh.reserve(expected);
        graphLock(g, "checkDependencies");
        auto t0 = Clock::now();
        cpu0 = threadCpuMicros();
        me = myVertex;
        removals = graphRemovals.load(std::memory_order_relaxed);
        try {
            // The kept copies hold when the log can tell every record that
            // left an edge set since they were made.
            keep = takeEdgesLeft(sc.left) && sc.kept && sc.graph == g && sc.me == me;
            if (!keep) {
                sc.forget();
                lastCount = 0; // the jobs' room is kept
            } else {
                sc.leftIndex.clear();
                sc.leftIndex.reserve(sc.left.size());
                for (size_t i = 0; i < sc.left.size(); i++)
                    sc.leftIndex.findOrInsert(recordHash(sc.left[i]), (uint32_t)i,
                                              [&](uint32_t k) { return sc.left[k] == sc.left[i]; });
            }
            sc.kept = false; // until this pass's copies are whole
            auto hasLeft = [&sc](const dependency_t *d) {
                uint32_t k = 0;
                return !sc.left.empty() &&
                       sc.leftIndex.find(recordHash(d), [&](uint32_t x) { return sc.left[x] == d; }, k);
            };
            std::string_view name, retry;
            auto store = [&names, &namesUsed](std::string_view text) {
                size_t need = namesUsed + text.size() + 1;
                if (need > names.size())
                    names.resize(std::max(need, 2 * names.size()));
                auto at = (uint32_t)namesUsed;
                if (!text.empty())
                    memcpy(names.data() + namesUsed, text.data(), text.size());
                names[namesUsed + text.size()] = '\0';
                namesUsed = need;
                return at;
            };
            // Offset 0: the empty name (a job without a retry name).
            if (namesUsed == 0)
                store({});
            linkedElement_t *head = me ? me->setOfEdges->head : nullptr;
            // The first lines far ahead (the second and the names only when
            // the records are copied afresh), the names nearer.
            RecordPrefetch ahead(head, keep ? 1 : 2);
            NamePrefetch namesAhead(keep ? nullptr : head);
            // The kept copies are taken over in place: the pass's jobs are
            // written at count, the last pass's read at `at` (count <= at
            // while any is left); a record copied afresh where no slot is
            // free yet goes to extra, after the others.
            size_t at = 0;
            for (linkedElement_t *c = head; c; c = c->next) {
                ahead.step();
                namesAhead.step();
                auto *d = static_cast<dependency_t *>(c->data);
                if (!d)
                    continue;
                // A record with this host at both ends is listed twice:
                // copied (and answered) once.
                if (d->client == d->server) {
                    if (std::find(sc.selfLoops.begin(), sc.selfLoops.end(), d) != sc.selfLoops.end())
                        continue;
                    sc.selfLoops.push_back(d);
                }
                if (keep) {
                    while (at < lastCount && hasLeft(jobs[at].rec))
                        at++;
                    // (A record at `at` that left would have been passed.)
                    if (at < lastCount && jobs[at].rec == d) {
                        if (jobs[at].probed && sameFirstLine(jobs[at], d)) {
                            if (count != at)
                                jobs[count] = jobs[at];
                            at++;
                            ProbeJob &j = jobs[count++];
                            j.result = -1;
                            j.avg = 0;
                            j.retry = SIZE_MAX;
                            j.written = false;
                            continue;
                        }
                        at++; // changed in place: copied afresh into its slot
                    }
                }
                const bool inPlace = count < at || at >= lastCount;
                if (inPlace && count == jobs.size())
                    jobs.emplace_back();
                if (!inPlace)
                    extra.emplace_back();
                ProbeJob &j = inPlace ? jobs[count++] : extra.back();
                j = ProbeJob{};
                j.rec = d;
                j.dtype = (int)d->dtype;
                j.client = d->client;
                j.server = d->server;
                j.createTime = d->createTime;
                j.args = argsHash(d);
                j.pov = (int)d->pov;
                j.version = d->ipVersion;
                j.probed = probeTargetOf(d, name, retry);
                if (j.probed) {
                    j.nameAt = store(name);
                    if (inPlace)
                        fresh.push_back(count - 1);
                }
                if (!j.probed) {
                    char line[1024];
                    snprintf(line, sizeof line, "pingDependencyPeer: %d not pinging for %s (%d)-> %s\n", (int)d->pov,
                             d->dependClient, (int)d->dtype, d->dependServer);
                    notProbed.emplace_back(line);
                } else if (d->pov != dependNA) {
                    j.retryAt = store(retry);
                    j.hasRetry = true;
                }
            }
            if (!keep)
                sc.namesAtStart = namesUsed;
        } catch (...) {
            hold = microsSince(t0);
            graphUnlock(g, "checkDependencies");
            throw;
        }
        hold = microsSince(t0);
        holdCpu = threadCpuMicros() - cpu0;
        graphUnlock(g, "checkDependencies");
        jobs.resize(count);
        for (const ProbeJob &e : extra) {
            if (e.probed)
                fresh.push_back(jobs.size());
            jobs.push_back(e);
        }
        extra.clear();
        lastProbeJobs.store(jobs.size(), std::memory_order_relaxed);
        if (!keep)
            sc.firstTargets.clear();
        // The targets of the jobs copied afresh; the kept ones know theirs.
        WaveTargets first(sc.firstTargets, wave1.size() + fresh.size(), names);
        wave1.reserve(wave1.size() + fresh.size());
        // Each name's hash some jobs ahead, and its slot asked for: the
        // table of 50,000 targets is larger than the caches.
        constexpr size_t kAhead = 8;
        size_t ahead[kAhead];
        auto hashAt = [&](size_t i) {
            const ProbeJob &j = jobs[fresh[i]];
            ahead[i % kAhead] = WaveTargets::hashOf(j.version, names.data() + j.nameAt);
            first.expect(ahead[i % kAhead]);
        };
        for (size_t i = 0; i < fresh.size() && i < kAhead; i++)
            hashAt(i);
        for (size_t i = 0; i < fresh.size(); i++) {
            ProbeJob &j = jobs[fresh[i]];
            j.target = first.index(wave1, j.version, j.nameAt, ahead[i % kAhead]);
            if (i + kAhead < fresh.size())
                hashAt(i + kAhead);
        }
        for (Target &t : wave1) {
            t.result = -1;
            t.avg = 0;
            t.asked = 0;
        }
        size_t live = 0;
        for (const ProbeJob &j : jobs)
            if (j.target != SIZE_MAX && wave1[j.target].asked++ == 0)
                live++;
        // This pass's copies are kept for the next (which takes them over
        // as it starts; the per-pass parts are set afresh when reused).
        sc.kept = sc.worthKeeping(live);
        sc.graph = g;
        sc.me = me;
    } catch (...) {
        fprintf(stderr, "checkDependencies: out of memory\n");
        sc.forget();
        sc.firstTargets.clear();
        return 1;
    }
    for (const std::string &line : notProbed)
        fputs(line.c_str(), stdout);

    try {
        std::lock_guard lock(state().probeMutex);
        if (!probeWave(wave1, names.data()))
            return 1;
        sc.secondTargets.clear();
        WaveTargets second(sc.secondTargets, 16, names);
        for (ProbeJob &j : jobs) {
            if (j.target == SIZE_MAX)
                continue;
            const Target &t = wave1[j.target];
            j.result = t.result;
            j.avg = t.avg;
            if (t.result == -4 && j.pov != dependNA)
                j.retry = second.index(wave2, t.version, j.hasRetry ? j.retryAt : 0);
        }
        if (stopping())
            return 1;
        for (Target &t : wave2)
            t.asked = 1;
        if (!wave2.empty() && !probeWave(wave2, names.data()))
            return 1;
    } catch (...) {
        fprintf(stderr, "checkDependencies: out of memory\n");
        return 1;
    }
    for (ProbeJob &j : jobs) {
        if (j.retry != SIZE_MAX) {
            j.result = wave2[j.retry].result;
            j.avg = wave2[j.retry].avg;
        }
    }
    if (stopping())
        return 1;
    graphLock(g, "checkDependencies");
    auto t1 = Clock::now();
    long long cpu1 = threadCpuMicros();
    time_t now = time(nullptr);
    auto writeBack = [&now](const ProbeJob &j, dependency_t *d) {
        ProbeFields f = fieldsOf(d);
        applyProbeResult(f, d->pov, j.target == SIZE_MAX ? 0 : j.result, j.avg, now);
        storeFields(d, f);
    };
    if (myVertex == me && graphRemovals.load(std::memory_order_relaxed) == removals) {
        // Nothing has left the graph since the copy: every job's record is
        // alive and the very one copied, still among this host's edges in
        // the same order (records added meanwhile wait a pass). The jobs are
        // written straight back, without a walk or an identity check.
        constexpr size_t kAhead = RecordPrefetch::kAhead;
        auto ask = [&jobs](size_t i) {
            __builtin_prefetch(jobs[i].rec, 1);
            __builtin_prefetch(reinterpret_cast<const char *>(jobs[i].rec) + 64, 1);
        };
        for (size_t i = 0; i < jobs.size() && i < kAhead; i++)
            ask(i);
        for (size_t i = 0; i < jobs.size(); i++) {
            if (i + kAhead < jobs.size())
                ask(i + kAhead);
            writeBack(jobs[i], jobs[i].rec);
        }
    } else {
        // Records have left the graph meanwhile (a job's record may since be
        // another in the same memory): each record of the set is matched to
        // its job and written only when it is still the one copied. The
        // lock is let go while the matching table is built.
        graphUnlock(g, "checkDependencies");
        hold = std::max(hold, microsSince(t1));
        holdCpu = std::max(holdCpu, threadCpuMicros() - cpu1);
        FlatIndexTable &byRecord = sc.byRecord;
        try {
            byRecord.clear();
            byRecord.reserve(jobs.size());
            for (size_t i = 0; i < jobs.size(); i++)
                byRecord.findOrInsert(recordHash(jobs[i].rec), (uint32_t)i,
                                      [&](uint32_t k) { return jobs[k].rec == jobs[i].rec; });
        } catch (...) {
            fprintf(stderr, "checkDependencies: out of memory\n");
            return 1;
        }
        graphLock(g, "checkDependencies");
        t1 = Clock::now();
        cpu1 = threadCpuMicros();
        now = time(nullptr);
        linkedElement_t *head = myVertex ? myVertex->setOfEdges->head : nullptr;
        RecordPrefetch ahead(head);
        for (linkedElement_t *c = head; c; c = c->next) {
            ahead.step();
            auto *d = static_cast<dependency_t *>(c->data);
            if (!d)
                continue;
            uint32_t k = 0;
            if (!byRecord.take(recordHash(d), [&](uint32_t x) { return jobs[x].rec == d; }, k))
                continue;
            ProbeJob &j = jobs[k];
            if (j.written)
                continue;
            j.written = true;
            if (sameIdentity(j, d))
                writeBack(j, d);
        }
    }
    hold = std::max(hold, microsSince(t1));
    holdCpu = std::max(holdCpu, threadCpuMicros() - cpu1);
    graphUnlock(g, "checkDependencies");
    noteHold(probeLockMicros, hold);
    noteHold(probeLockCpu, holdCpu);
    sc.trim(jobs.size());
    return 1;
}

int getNumberDependencies(void) {
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return 0;
    graphLock(g, "getNumberDependencies");
    int n = vertexGetDegree(myVertex);
    graphUnlock(g, "getNumberDependencies");
    return n;
}

dependency_t *getDependencies(int *len) {
    if (!len)
        return nullptr;
    *len = 0;
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return nullptr;
    graphLock(g, "getDependencies");
    auto *copy = static_cast<dependency_t *>(toArrayCopy(myVertex->setOfEdges, len));
    graphUnlock(g, "getDependencies");
    return copy;
}

int traverse_dependencies(void) {
    graph_t *g = theGraph;
    if (!g)
        return 1;
    graphLock(g, "traverse_dependencies");
    traverseList(g->setOfEdges);
    graphUnlock(g, "traverse_dependencies");
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
            graphLock(g, "varDependTable");
            auto t0 = Clock::now();
            try {
                rows.reserve((size_t)std::max(0, limit > 0 ? std::min(limit, myVertex->numberEdges)
                                                           : myVertex->numberEdges));
                std::string k;
                RecordPrefetch ahead(myVertex->setOfEdges->head);
                for (linkedElement_t *c = myVertex->setOfEdges->head; c; c = c->next) {
                    ahead.step();
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
            } catch (...) {
                graphUnlock(g, "varDependTable");
                throw;
            }
            noteHold(selectLockMicros, microsSince(t0));
            graphUnlock(g, "varDependTable");
        }
    } catch (...) {
        fprintf(stderr, "var_dependTable: malloc failed\n");
        out->errorStatus = genError;
        return genError;
    }
    for (int i = 0; i < nullCells; i++) {
        fprintf(stderr, "var_dependTable: null ptr!!\n");
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

dependency_t *getPeerDependencies(qelSession_t *sptr, int *numDependencies, const char *target) {
    if (!sptr || !numDependencies || !target)
        return nullptr;
    *numDependencies = 0;
    if (!qelIsSessionConnected(sptr))
        return nullptr;
    std::vector<DependencyRow> rows;
    try {
        if (getPeerDependencyRows(sptr, target, rows) <= 0)
            return nullptr;
    } catch (...) {
        return nullptr;
    }
    auto *out = static_cast<dependency_t *>(calloc(rows.size(), sizeof(dependency_t)));
    if (!out) {
        fprintf(stderr, "getPeerDependencies: malloc failed\n");
        return nullptr;
    }
    for (size_t i = 0; i < rows.size(); i++) {
        dependency_t &d = out[i];
        d.dtype = (dependencyType_t)rows[i].dtype;
        d.pov = dependNA;
        d.dsrc = dependSrcDynamic;
        qelCopyField(d.args, rows[i].args.c_str());
        qelCopyField(d.dependClient, rows[i].client.c_str());
        qelCopyField(d.dependServer, rows[i].server.c_str());
    }
    *numDependencies = (int)rows.size();
    return out;
}

} // extern "C"
