// Peers: finding them (through local dependencies and ARP neighbours),
// exchanging dependency tables with their agents, checking and pruning
// them, the prune traps, and the peer table.
#include "peer.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "graph.h"
#include "graph_internal.h"
#include "kestrova_globals.h"
#include "ping.h"
#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/qel_session.h"
#include "qel/strutil.h"
#include "qelplugin.h"
#include "qelselect.h"
#include "vertex.h"

extern "C" {
linkedList_t *peerList = nullptr;
char peerDataFile[1040] = "";
}

namespace kestrova {

namespace {

constexpr int kDefaultPeerPort = 5270;
constexpr int kConnectTimeout = 3;
constexpr int kDefaultPeerTimeoutSeconds = 60;
constexpr int kStepSeconds = 15;

std::atomic<int> thePeerPort{kDefaultPeerPort};
std::atomic<int> envTimeoutMs{kDefaultPeerTimeoutSeconds * 1000};
std::atomic<int> testTimeoutMs{0};
std::atomic<PeerProber> theProber{nullptr};
std::atomic<PeerConnector> theConnector{nullptr};

// A peer's name for itself: any loopback address or a name with
// "localhost" in it.
bool namesPeerItself(const char *name) {
    if (strcmp(name, "127.0.0.1") == 0 || strstr(name, "localhost") || strcmp(name, "::1") == 0)
        return true;
    in_addr a{};
    return inet_pton(AF_INET, name, &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

constexpr const char *kPeerColumns[5] = {"dependType", "dependArgs", "dependClient", "dependReference", "dependServer"};

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
    std::string_view value =
        v->valueBuf ? std::string_view(v->valueBuf)
                    : std::string_view(v->valueStr, std::min<size_t>((size_t)std::max(v->valueStrLen, 0),
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

// Appends one displayString variable; false when no memory.
bool addVar(qelPdu_t *pdu, const char *mib, const char *obj, const char *value) {
    return qelAddVariable(pdu, mib, obj, nullptr, displayString, value) != nullptr;
}

// Lines that remote parties can cause at will (every pruned dependency of a
// host without peers) write at most kBurst a minute; those held back are
// counted in the next line written.
class LineLimiter {
public:
    static constexpr int kBurst = 20;
    static constexpr int kWindowSeconds = 60;

    // Whether to write a line now; *heldBack the lines held back before it.
    bool admit(unsigned long *heldBack) {
        std::lock_guard lock(mu_);
        double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        *heldBack = 0;
        if (windowStart_ < 0 || now - windowStart_ >= kWindowSeconds) {
            windowStart_ = now;
            written_ = 0;
        }
        if (written_ >= kBurst) {
            ++heldBack_;
            return false;
        }
        ++written_;
        *heldBack = heldBack_;
        heldBack_ = 0;
        return true;
    }

private:
    std::mutex mu_;
    double windowStart_ = -1;
    int written_ = 0;
    unsigned long heldBack_ = 0;
};

LineLimiter peerTrapLimiter, dependencyTrapLimiter;

void noPeersMessage(LineLimiter &limiter, const char *stderrLine, const char *logLine) {
    unsigned long heldBack = 0;
    if (!limiter.admit(&heldBack))
        return;
    fputs(stderrLine, stderr);
    if (heldBack == 0) {
        qeldLog(logLine);
        return;
    }
    char text[256];
    snprintf(text, sizeof text, "%s (and %lu more like it held back)", logLine, heldBack);
    qeldLog(text);
}

// Sends pdu to every current peer; false (nothing sent) when there is none.
bool sendToPeers(qelPdu_t *pdu, const char *eventType) {
    int n = 0;
    auto *peers = static_cast<peerNode_t *>(toArrayCopy(peerList, &n));
    if (!peers || n <= 0) {
        free(peers);
        return false;
    }
    char user[KESTROVA_AUTHEN_USER_LEN];
    kestrovaGetAuthenUser(user, sizeof user);
    for (int i = 0; i < n; i++)
        qelSendTrap(peers[i].nameaddr, pdu, eventType, KESTROVA_ENTERPRISE_OID, user);
    free(peers);
    return true;
}

void initTrap(qelPdu_t &pdu) {
    memset(&pdu, 0, sizeof(pdu));
    pdu.msgType = Trap;
    pdu.messageID = (int64_t)time(nullptr);
}

bool stopping() {
    return kestrova_thread_kill.load(std::memory_order_relaxed) == 1;
}

// Index of the peer rows by (server, type), each list in row order.
struct ServerTypeKey {
    std::string_view server;
    int dtype;
    bool operator==(const ServerTypeKey &o) const { return dtype == o.dtype && server == o.server; }
};
struct ServerTypeHash {
    size_t operator()(const ServerTypeKey &k) const {
        return std::hash<std::string_view>()(k.server) * 31u + (size_t)(unsigned)k.dtype;
    }
};

// Index of the local vertex's records by (server vertex, type): the first
// two distinct records of each pair, enough to tell whether one other than
// a given record exists.
struct VertexTypeKey {
    const vertex_t *server;
    int dtype;
    bool operator==(const VertexTypeKey &o) const { return server == o.server && dtype == o.dtype; }
};
struct VertexTypeHash {
    size_t operator()(const VertexTypeKey &k) const {
        return std::hash<const void *>()(k.server) ^ ((size_t)(unsigned)k.dtype * 0x9e3779b97f4a7c15ull);
    }
};
struct TwoRecords {
    const dependency_t *first = nullptr, *second = nullptr;
    bool hasOtherThan(const dependency_t *d) const { return (first && first != d) || (second && second != d); }
};

unsigned long peerHash(const void *p) {
    return (unsigned long)std::hash<std::string_view>()(static_cast<const peerNode_t *>(p)->nameaddr);
}

// The rows of the local table as querySystemForPeers reads them.
std::vector<DependencyRow> rowsOf(const dependency_t *table, int n) {
    std::vector<DependencyRow> rows;
    if (!table || n <= 0)
        return rows;
    rows.reserve((size_t)n);
    for (int i = 0; i < n; i++) {
        DependencyRow r;
        r.dtype = table[i].dtype;
        r.pov = table[i].pov;
        r.client = table[i].dependClient;
        r.server = table[i].dependServer;
        r.args = table[i].args;
        rows.push_back(std::move(r));
    }
    return rows;
}

struct AddCtx {
    const char *system;
};

void addDerived(void *ctx, const DependencyRow &local, const DependencyRow &peer, int rule) {
    const char *system = static_cast<AddCtx *>(ctx)->system;
    if (rule == 1)
        addLearnedDependency(system, local.server.c_str(), local.dtype, peer.args.c_str());
    else
        addLearnedDependency(peer.client.c_str(), system, local.dtype, peer.args.c_str());
}

// One row of the peer table, copied under the graph lock and formatted
// after it.
struct PeerRowCopy {
    std::string name, server;
    int dtype;
    time_t contactTime;
    int status;
    int reachable;
    time_t reachableTime;
};

void putTime(qelVariable_t *v, time_t when) {
    char text[32] = "";
    if (when != 0 && qelConvertTimeStr(when, text, sizeof text) < 0)
        text[0] = '\0';
    qelSetValue(v, dateTime, text);
}

} // namespace

// ---- the exchange of dependency tables ----

std::vector<DependencyRow> getDependencyRows() {
    std::vector<DependencyRow> rows;
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return rows;
    GraphLock lock(g);
    try {
        rows.reserve((size_t)std::max(myVertex->numberEdges, 0));
        for (linkedElement_t *c = myVertex->setOfEdges->head; c; c = c->next) {
            auto *d = static_cast<dependency_t *>(c->data);
            if (!d)
                continue;
            rows.push_back(DependencyRow{(int)d->dtype, (int)d->pov, d->dependClient, d->dependServer,
                                         std::string(d->args, strnlen(d->args, sizeof d->args))});
        }
    } catch (const std::bad_alloc &) {
        rows.clear();
    }
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
            qel::logError("getPeerDependencies: malloc failed\n");
            return -1;
        }
    }
    PeerVisit pv;
    int rc;
    try {
        rc = qelTransactionVisit(session, &req, &reply, visitPeerVariable, &pv);
    } catch (const std::bad_alloc &) {
        rc = -1;
    }
    qelPduCleanup(&req);
    if (rc < 0) {
        qelPduCleanup(&reply);
        qel::logError("getPeerDependencies: query failed\n");
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
        qel::logError("getPeerDependencies: malloc failed\n");
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
        addLearnedDependency(d);
        if (&rows[kept] != &r)
            rows[kept] = std::move(r);
        kept++;
    }
    free(d);
    rows.resize(kept);
    return (int)kept;
}

void setPeerPort(int port) {
    thePeerPort.store(port > 0 && port <= 65535 ? port : kDefaultPeerPort);
}
int peerPort() {
    return thePeerPort.load();
}

void setPeerTimeoutMs(int ms) {
    testTimeoutMs.store(ms > 0 ? ms : 0);
}
int peerTimeoutMs() {
    int t = testTimeoutMs.load();
    return t > 0 ? t : envTimeoutMs.load();
}

void setPeerProber(PeerProber prober) {
    theProber.store(prober);
}
void setPeerConnector(PeerConnector connector) {
    theConnector.store(connector);
}

int peerPauseSteps(int interval) {
    int steps = interval / kStepSeconds;
    return steps == 0 ? 20 : steps;
}

std::vector<PeerMatch> peerWalkLocked(graph_t *g, vertex_t *me) {
    std::vector<PeerMatch> out;
    if (!g || !me || !me->setOfEdges || !g->setOfNodes)
        return out;
    std::unordered_map<VertexTypeKey, TwoRecords, VertexTypeHash> index;
    index.reserve((size_t)numberElements(me->setOfEdges) + 1);
    for (linkedElement_t *c = me->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<const dependency_t *>(c->data);
        if (!d)
            continue;
        TwoRecords &t = index[{d->server, (int)d->dtype}];
        if (!t.first)
            t.first = d;
        else if (!t.second && d != t.first)
            t.second = d;
    }
    for (linkedElement_t *n = g->setOfNodes->head; n; n = n->next) {
        auto *v = static_cast<vertex_t *>(n->data);
        if (!v || v == me || !v->setOfEdges)
            continue;
        // The first of v's records (edge-set order) whose server and type
        // one of me's other records shares; records served by me or by v
        // itself never pair.
        for (linkedElement_t *c = v->setOfEdges->head; c; c = c->next) {
            auto *d = static_cast<const dependency_t *>(c->data);
            if (!d || d->server == me || d->server == v)
                continue;
            auto it = index.find({d->server, (int)d->dtype});
            if (it != index.end() && it->second.hasOtherThan(d)) {
                out.push_back({v, (int)d->dtype, d->server});
                break;
            }
        }
    }
    return out;
}

void pairPeerRows(const std::vector<DependencyRow> &local, const std::vector<DependencyRow> &peer, const char *system,
                  const char *localHost, PairFn fn, void *ctx) {
    if (!system || !fn || local.empty() || peer.empty())
        return;
    const char *me = localHost ? localHost : "";
    std::unordered_map<ServerTypeKey, std::vector<unsigned>, ServerTypeHash> byServer;
    byServer.reserve(peer.size());
    for (size_t i = 0; i < peer.size(); i++)
        byServer[{peer[i].server, peer[i].dtype}].push_back((unsigned)i);
    std::string_view sys(system);
    // For one local row at most one rule can hold (its server is the system
    // or it is not), so each row's adds follow the peer rows' order.
    for (const DependencyRow &l : local) {
        bool served = l.server == sys;
        if (!served && l.pov != dependOutbound)
            continue;
        auto it = byServer.find({l.server, l.dtype});
        if (it == byServer.end())
            continue;
        for (unsigned i : it->second) {
            const DependencyRow &p = peer[i];
            if (!served)
                fn(ctx, l, p, 1);
            else if (p.client != me)
                fn(ctx, l, p, 2);
        }
    }
}

int querySystemForPeers(const std::vector<DependencyRow> &myTable, const char *system, linkedList_t *visited) {
    if (myTable.empty() || !system || !*system || !visited)
        return -1;
    if (isThisMe(system))
        return 0;
    char host[256];
    qelCopyField(host, system);
    if (qelNameAddrToHostname(system, host, 255) < 0 || !host[0])
        qelCopyField(host, system);
    host[255] = '\0';
    if (isThisMe(host) || findElement(visited, host))
        return 0;
    if (peerNode_t *p = peerNew(host))
        if (insertTail(visited, p) != 0)
            freePeer(p);

    char user[KESTROVA_AUTHEN_USER_LEN];
    kestrovaGetAuthenUser(user, sizeof user);
    // The whole conversation (handshake, both checks, the table) is bounded:
    // a peer that answers slowly or not at all must not hold the worker.
    PeerConnector connect = theConnector.load();
    if (!connect)
        connect = newQelSessionConnectHostnameWithin;
    qelSession_t *s = connect(host, 0, peerPort(), kConnectTimeout, user, peerTimeoutMs());
    if (!s)
        return 0;
    char vers[128], descr[128], plugins[256];
    if (qelGetPeerVersion(s, vers, descr, 127) < 0 || qelGetPeerPluginList(s, plugins, 255) < 0) {
        destroyQelSession(s);
        return 0;
    }
    std::vector<DependencyRow> peerRows;
    if (getPeerDependencyRows(s, host, peerRows) < 0)
        peerRows.clear();
    destroyQelSession(s);

    AddCtx ctx{system};
    pairPeerRows(myTable, peerRows, system, myhostname, addDerived, &ctx);
    return 1;
}

} // namespace kestrova

using namespace kestrova;

extern "C" {

int comparePeers(void *a, void *b) {
    if (!a || !b)
        return -1;
    return strcmp(static_cast<peerNode_t *>(a)->nameaddr, static_cast<const char *>(b));
}

int printPeer(void *p) {
    fprintf(stderr, "Node %s\n", p ? static_cast<peerNode_t *>(p)->nameaddr : "");
    return 1;
}

int freePeer(void *p) {
    free(p);
    return 1;
}

peerNode_t *peerNew(const char *name) {
    auto *p = static_cast<peerNode_t *>(calloc(1, sizeof(peerNode_t)));
    if (p)
        qelCopyField(p->nameaddr, name);
    return p;
}

int init_peers(void) {
    if (!peerList)
        peerList = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "peerList", 1);
    snprintf(peerDataFile, sizeof peerDataFile, "%s/peerdata.xml", kestrovaHomeDir);
    if (const char *t = getenv("KESTROVA_PEER_TIMEOUT"); t && *t) {
        char *end = nullptr;
        long v = strtol(t, &end, 10);
        if (*end || v < 1 || v > 3600)
            fprintf(stderr, "init_peers: KESTROVA_PEER_TIMEOUT \"%s\" ignored (1-3600), using %d\n", t,
                    kDefaultPeerTimeoutSeconds);
        else
            envTimeoutMs.store((int)v * 1000);
    }
    return 0;
}

void *peer_dowork(void *) {
    fputs("peer worker starting\n", stdout);
    fflush(stdout);
    if (peerGroup.load(std::memory_order_relaxed) == 0)
        return nullptr;
    bool run = kestrovaSleep(120) != 0;
    while (run && !stopping()) {
        int interval = peerScanInterval.load(std::memory_order_relaxed);
        if (interval != 0) {
            findPeers();
            if (!stopping())
                checkPeers();
            if (!stopping())
                prunePeers();
        }
        int steps = peerPauseSteps(interval);
        for (int i = 0; i < steps && run; i++)
            run = kestrovaSleep(kStepSeconds) != 0;
    }
    fputs("peer worker returning\n", stdout);
    fflush(stdout);
    return nullptr;
}

static int findPeersImpl() {
    static linkedList_t *alreadyVisited = nullptr;
    static arpEntry_t *arpCopy = nullptr;
    static int arpCapacity = 0;
    if (!alreadyVisited) {
        alreadyVisited = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "alreadyVisited", 1);
        if (!alreadyVisited)
            return 0;
        listSetHashIndex(alreadyVisited, peerHash);
    }
    std::vector<DependencyRow> table = getDependencyRows();
    bool stopped = false;
    for (const DependencyRow &d : table) {
        if (stopping()) {
            stopped = true;
            break;
        }
        if (d.pov == dependOutbound)
            kestrova::querySystemForPeers(table, d.server.c_str(), alreadyVisited);
        else if (d.pov == dependInbound)
            kestrova::querySystemForPeers(table, d.client.c_str(), alreadyVisited);
    }

    typedef int (*numberArps_t)(void);
    typedef int (*arpTable_t)(arpEntry_t *, int);
    auto numberArps = stopped ? nullptr : reinterpret_cast<numberArps_t>(qelGetSymbolValue("mib2GetNumberArps"));
    auto arpTable = stopped ? nullptr : reinterpret_cast<arpTable_t>(qelGetSymbolValue("mib2GetArpTable"));
    if (!stopped && (!numberArps || !arpTable)) {
        fputs("findPeers: couldnt find symbol(s)\n", stderr);
        qeldLog("Kestrova: failed to get arp symbols for peer search");
    } else if (!stopped) {
        int n = numberArps();
        if (n > 0) {
            if (arpCapacity < n) {
                void *p = realloc(arpCopy, sizeof(arpEntry_t) * (size_t)(n + 5));
                if (!p) {
                    arpCapacity = 0;
                    qeldLog("Kestrova: realloc arpTable failed");
                } else {
                    arpCopy = static_cast<arpEntry_t *>(p);
                    arpCapacity = n + 5;
                }
            }
            int got = arpCapacity > 0 ? arpTable(arpCopy, arpCapacity) : 0;
            if (got > arpCapacity)
                got = arpCapacity;
            for (int i = 0; i < got; i++) {
                if (stopping()) {
                    stopped = true;
                    break;
                }
                // A neighbour that never answered ARP (incomplete or failed)
                // has no hardware address: nobody to ask.
                if (arpCopy[i].hwaddrlen <= 0)
                    continue;
                char text[64];
                struct in_addr a;
                a.s_addr = arpCopy[i].ipv4addr;
                if (!inet_ntop(AF_INET, &a, text, sizeof text))
                    continue;
                if (isThisMe(text) || strcmp(text, "224.0.0.0") == 0)
                    continue;
                kestrova::querySystemForPeers(table, text, alreadyVisited);
            }
        }
    }
    // Emptied on a stop too, so a later pass asks every system again.
    drainLinkedList(alreadyVisited);
    return stopped ? 0 : 1;
}

// The C entry points: no exception (out of memory) leaves them.
int findPeers(void) {
    try {
        return findPeersImpl();
    } catch (...) {
        return 0;
    }
}

int querySystemForPeers(dependency_t *myTable, int numDependencies, const char *system, linkedList_t *alreadyVisited) {
    if (!myTable || numDependencies <= 0)
        return -1;
    try {
        return kestrova::querySystemForPeers(rowsOf(myTable, numDependencies), system, alreadyVisited);
    } catch (...) {
        return 0;
    }
}

int getPeers(void) {
    if (!peerList)
        return 1;
    // Built aside and swapped in, so that a trap sent meanwhile still finds
    // the previous peers.
    linkedList_t *fresh = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "peerList", 0);
    if (!fresh)
        return 1;
    std::vector<std::string> names;
    try {
        if (theGraph) {
            GraphLock lock(theGraph);
            for (const PeerMatch &m : peerWalkLocked(theGraph, myVertex))
                names.emplace_back(m.vertex->name);
        }
    } catch (const std::bad_alloc &) {
        destroyLinkedList(fresh);
        return 1;
    }
    for (const std::string &n : names)
        if (peerNode_t *p = peerNew(n.c_str()))
            if (insertTail(fresh, p) != 0)
                freePeer(p);
    // peerList has no hash index: its cells can change hands as they are.
    listLock(peerList);
    std::swap(peerList->head, fresh->head);
    std::swap(peerList->tail, fresh->tail);
    listUnlock(peerList);
    destroyLinkedList(fresh);
    return 1;
}

int getNumberPeers(void) {
    return peerList ? numberElements(peerList) : 0;
}

static int checkPeersImpl() {
    static int raw4 = 0, raw6 = 0;
    getPeers();
    time_t now = time(nullptr);
    // Probes and contacts run on a copy: the list lock is not held while
    // peers are slow to answer (this worker is the list's only writer).
    int n = 0;
    auto *peers = static_cast<peerNode_t *>(toArrayCopy(peerList, &n));
    if (!peers || n <= 0) {
        free(peers);
        return 1;
    }
    std::vector<const char *> hosts((size_t)n);
    std::vector<int> results((size_t)n, 0);
    for (int i = 0; i < n; i++)
        hosts[(size_t)i] = peers[i].nameaddr;
    PeerProber prober = theProber.load();
    if (!prober)
        prober = pingHostMany;
    prober(0, hosts.data(), n, nullptr, results.data(), &raw4, &raw6);
    for (int i = 0; i < n; i++) {
        if (results[(size_t)i] > 0)
            graphUpdateVertexReachable(theGraph, peers[i].nameaddr, 1, now);
        else
            graphUpdateVertexReachable(theGraph, peers[i].nameaddr, 0, 0);
    }
    for (int i = 0; i < n && !stopping(); i++)
        if (qelCheckPeerModules(peers[i].nameaddr) > 0)
            graphUpdateVertexContact(theGraph, peers[i].nameaddr, now);
    free(peers);
    return 1;
}

int checkPeers(void) {
    try {
        return checkPeersImpl();
    } catch (...) {
        return 1;
    }
}

int prunePeers(void) {
    static linkedList_t *prunePeerList = nullptr;
    if (!prunePeerList && !(prunePeerList = newLinkedList(256, nullptr, nullptr, nullptr, "prunePeerList", 1)))
        return 0;
    if (!theGraph || !myVertex)
        return 0;
    auto old = [](vertex_t *v, time_t now) {
        return v != myVertex && !vertexIsAdjacent(v, myVertex) &&
               now - v->lastUpdate > (time_t)peerAgeOutInterval.load(std::memory_order_relaxed);
    };
    {
        GraphLock lock(theGraph);
        time_t now = time(nullptr);
        for (linkedElement_t *c = theGraph->setOfNodes->head; c; c = c->next) {
            auto *v = static_cast<vertex_t *>(c->data);
            if (v && old(v, now))
                if (peerNode_t *p = peerNew(v->name))
                    if (insertTail(prunePeerList, p) != 0)
                        freePeer(p);
        }
    }

    while (auto *p = static_cast<peerNode_t *>(popHead(prunePeerList))) {
        // Between the walk and now discovery may have refreshed the vertex
        // or attached a dependency to it: it is removed (and its records
        // released) only when it is still old and apart.
        bool removed = false;
        {
            GraphLock lock(theGraph);
            vertex_t *v = findNodeLocked(theGraph, p->nameaddr, nullptr);
            if (v && old(v, time(nullptr)))
                removed = graphRemoveNodeLocked(theGraph, v) == 0;
        }
        if (removed)
            sendPrunePeerTrap(p);
        freePeer(p);
    }
    return 0;
}

int sendPrunePeerTrap(peerNode_t *node) {
    if (!node)
        return -1;
    qelPdu_t pdu;
    initTrap(pdu);
    bool ok = addVar(&pdu, "core", "trapType", "kestrova.prunePeer") &&
              addVar(&pdu, "core", "sysObjectID", KESTROVA_ENTERPRISE_OID) &&
              addVar(&pdu, "kestrova", "peerName", node->nameaddr);
    bool sent = ok && sendToPeers(&pdu, "kestrova.prunePeer");
    qelPduCleanup(&pdu);
    if (!sent) {
        noPeersMessage(peerTrapLimiter, "sendPrunePeerTrap: cant get copy of peer list\n",
                       "Kestrova: could not get copy of peer list for sending prune peer trap");
        return -1;
    }
    return 1;
}

int sendPruneDependencyTrap(dependency_t *d) {
    if (!d)
        return -1;
    qelPdu_t pdu;
    initTrap(pdu);

    char typeBuf[160], typeName[128];
    if (d->dtype > 0 && d->dtype < dependMAX) {
        dependencyTypeToStr(d->dtype, typeName, 127);
        snprintf(typeBuf, sizeof(typeBuf), "%s/%d", typeName, (int)d->dtype);
    } else {
        snprintf(typeBuf, sizeof(typeBuf), "%d", (int)d->dtype);
    }
    char refBuf[32];
    switch (d->pov) {
    case dependOutbound: qelCopyField(refBuf, "outbound(0)"); break;
    case dependInbound: qelCopyField(refBuf, "inbound(1)"); break;
    case dependTransit: qelCopyField(refBuf, "transit(2)"); break;
    default: snprintf(refBuf, sizeof(refBuf), "%d", (int)d->pov); break;
    }
    const char *peer = d->pov == dependOutbound ? d->dependServer : d->pov == dependInbound ? d->dependClient : "";
    bool ok = addVar(&pdu, "core", "trapType", "kestrova.pruneDependency") &&
              addVar(&pdu, "core", "sysObjectID", KESTROVA_ENTERPRISE_OID) &&
              addVar(&pdu, "kestrova", "dependType", typeBuf) && addVar(&pdu, "kestrova", "dependReference", refBuf) &&
              addVar(&pdu, "kestrova", "dependPeer", peer) && addVar(&pdu, "kestrova", "dependArgs", d->args);
    bool sent = ok && sendToPeers(&pdu, "kestrova.pruneDependency");
    qelPduCleanup(&pdu);
    if (!sent) {
        noPeersMessage(dependencyTrapLimiter, "sendPruneDependencyTrap: cant get copy of peer list\n",
                       "Kestrova: could not get copy of peer list for sending prune dependency trap");
        return -1;
    }
    return 1;
}

static qelErrorStatus_t peerTableImpl(char *key, qelVariable_t *columns, qelPdu_t *out) {
    QelSelect sel("var_peerTable", key, columns, out);
    if (!sel.valid())
        return genError;
    if (peerGroup.load(std::memory_order_relaxed) == 0)
        return noSuchName;
    const int debug = debugLevel.load(std::memory_order_relaxed);
    if (debug)
        fputs("var_peerTable: starting\n", stderr);
    // Rows are copied under the graph lock and formatted after it.
    std::vector<PeerRowCopy> rows;
    try {
        if (theGraph) {
            GraphLock lock(theGraph);
            for (const PeerMatch &m : peerWalkLocked(theGraph, myVertex)) {
                const vertex_t *v = m.vertex;
                rows.push_back({v->name, m.server ? m.server->name : "", m.dtype, v->contactTime, v->status,
                                v->reachable, v->reachableTime});
            }
        }
    } catch (const std::bad_alloc &) {
        perror("var_peerTable: malloc failed");
        return genError;
    }
    std::string rowKey;
    for (const PeerRowCopy &r : rows) {
        rowKey = r.name;
        rowKey += '.';
        rowKey += std::to_string(r.dtype);
        if (rowKey.size() > 2047)
            rowKey.resize(2047);
        if (!sel.selects(rowKey.c_str()))
            continue;
        bool ok = sel.addRow(rowKey.c_str(), [&](unsigned column, qelVariable_t *v) {
            using C = kestrova::PeerColumn;
            switch (static_cast<C>(column)) {
            case C::peerName: qelSetValue(v, displayString, r.name.c_str()); return true;
            case C::peerServer: qelSetValue(v, displayString, r.server.c_str()); return true;
            case C::peerFlags: qelSetValueInt(v, integer, 0); return true;
            case C::peerDependType: qelSetValueInt(v, integer, r.dtype); return true;
            case C::peerContactTime: putTime(v, r.contactTime); return true;
            case C::peerStatus: qelSetValueInt(v, integer, r.status); return true;
            case C::peerReachable:
                if (r.reachable == 1)
                    qelSetValue(v, extendedBoolean, "true");
                else if (r.reachable == 0)
                    qelSetValue(v, extendedBoolean, "false");
                else
                    qelSetValue(v, extendedBoolean, "unknown");
                return true;
            case C::peerReachableTime: putTime(v, r.reachableTime); return true;
            default: return false;
            }
        });
        if (!ok)
            return sel.status();
    }
    qelErrorStatus_t rc = sel.finish("var_peerTable", 0);
    if (debug)
        fprintf(stderr, "var_peerTable: %d variables, finished\n", (int)sel.added());
    return rc;
}

qelErrorStatus_t var_peerTable(char *key, qelVariable_t *columns, qelPdu_t *out) {
    try {
        return peerTableImpl(key, columns, out);
    } catch (...) {
        perror("var_peerTable: malloc failed");
        return genError;
    }
}

} // extern "C"

extern "C" {

dependency_t *getPeerDependencies(qelSession_t *sptr, int *numDependencies, const char *target) {
    if (!sptr || !numDependencies || !target)
        return nullptr;
    *numDependencies = 0;
    if (!qelIsSessionConnected(sptr))
        return nullptr;
    std::vector<DependencyRow> rows;
    if (qel::guarded("getPeerDependencies", -1, [&] { return getPeerDependencyRows(sptr, target, rows); }) <= 0)
        return nullptr;
    auto *out = static_cast<dependency_t *>(calloc(rows.size(), sizeof(dependency_t)));
    if (!out) {
        qel::logError("getPeerDependencies: malloc failed\n");
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
