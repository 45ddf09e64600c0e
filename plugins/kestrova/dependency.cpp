// Dependency records: texts, identity, the add/remove/lookup families, the
// well-known connection table and the "is this the local host" test.
#include "dependency.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <unordered_map>

#include "dependency_add.h"
#include "flat_index.h"
#include "graph.h"
#include "graph_internal.h"
#include "kestrova_globals.h"
#include "peer.h"
#include "qel/namelease.h"
#include "qel/strutil.h"
#include "qelplugin.h"

// The agent provides the leased look-ups; test programs with host calls of
// their own may not, and then every add takes the full path.
extern "C" int qelIpAddrToHostnameLeased(const char *, char *, int, qelNameLease_t *) __attribute__((weak));
extern "C" int qelNameAddrToHostnameLeased(const char *, char *, int, qelNameLease_t *) __attribute__((weak));
extern "C" int qelRenewNameLeases(const qelNameLease_t *, int) __attribute__((weak));

extern "C" {

const char *dependencyTypeStrs[33] = {
    "dependUndef(0)",      "dependOther(1)",      "dependFilesys(2)",    "dependDNS(3)",
    "dependNTP(4)",        "dependEmail(5)",      "dependDir(6)",        "dependRadius(7)",
    "dependPrinter(8)",    "dependX11(9)",        "dependLogin(10)",     "dependWeb(11)",
    "dependNNTP(12)",      "dependDHCP(13)",      "dependDB(14)",        "dependRouter(15)",
    "dependFTP(16)",       "dependStreaming(17)", "dependNetBIOS(18)",   "dependCitrix(19)",
    "dependLotus(20)",     "dependNetware(21)",   "dependMQseries(22)",  "dependP2P(23)",
    "dependMiddleware(24)", "dependRCS(25)",      "dependRPC(26)",       "dependSIP(27)",
    "dependVNC(28)",       "dependIAX(29)",       "dependVPN(30)",       "dependVM(31)",
    "dependMAX(32)"};

linkedList_t *connectionInfoList = nullptr;
// Used by the age-out pass of the dependency table; kept with the records.
linkedList_t *pruneDependencyList = nullptr;

} // extern "C"

using namespace kestrova;

namespace {

using HostName = char[kHostNameLen];

bool validLocalType(int t) { return t >= 1 && t <= 31; }

// The checks an add or a transit removal makes before it touches the graph;
// each failure is reported under the caller's name.
bool acceptable(const dependency_t *d, const char *who) {
    if (!d->dependServer[0] || !d->dependClient[0]) {
        fprintf(stderr, "%s: 0 client or server\n", who);
        return false;
    }
    if (strcmp(d->dependServer, "255.255.255.255") == 0) {
        fprintf(stderr, "%s: dont add broadcast depend\n", who);
        return false;
    }
    if (!validLocalType(d->dtype)) {
        fprintf(stderr, "%s: invalid dtype\n", who);
        return false;
    }
    return true;
}

// Local address list as lent by mib2 ("a,b,c,"), loaded on first need.
std::mutex addrListMutex;
std::atomic<bool> addrListLoaded{false};
char localAddrList[1024];
typedef int (*mib2GetAddressList_t)(char *addrlist, int maxlen);

bool loadAddressListOnce();

bool loadAddressList() {
    if (addrListLoaded.load(std::memory_order_acquire))
        return true;
    return loadAddressListOnce();
}

bool loadAddressListOnce() {
    std::lock_guard<std::mutex> guard(addrListMutex);
    if (addrListLoaded.load(std::memory_order_relaxed))
        return true;
    auto fn = reinterpret_cast<mib2GetAddressList_t>(qelGetSymbolValue("mib2GetAddressList"));
    if (!fn)
        return false;
    char buf[sizeof(localAddrList)] = {0};
    if (fn(buf, (int)sizeof(buf) - 1) <= 0)
        return false;
    buf[sizeof(buf) - 1] = '\0';
    memcpy(localAddrList, buf, sizeof(buf));
    printf("kestrova: my local addresses are '%s'\n", localAddrList);
    addrListLoaded.store(true, std::memory_order_release);
    return true;
}

// The probe "addr," must start an entry of the list, not end inside one.
bool addressListHolds(const char *probe) {
    size_t plen = strlen(probe);
    for (const char *p = strstr(localAddrList, probe); p; p = strstr(p + 1, probe)) {
        if (p == localAddrList || p[-1] == ',')
            return true;
        if (!p[plen - 1])
            break;
    }
    return false;
}

// Every 127.0.0.0/8 address (a local stub resolver's 127.0.0.53, an NTP
// reference clock's 127.127.T.U) and the IPv6 loopback are this host.
bool isLoopbackAddress(const char *text) {
    // A dotted quad of 127/8 starts "127." (inet_pton takes no leading
    // zeros) and every IPv6 text holds a colon: anything else is settled
    // without parsing it.
    if (strncmp(text, "127.", 4) != 0 && !strchr(text, ':'))
        return false;
    in_addr a4{};
    if (inet_pton(AF_INET, text, &a4) == 1)
        return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    return inet_pton(AF_INET6, text, &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

// A name is the local host's when it is the same name, or the same up to a
// following "." on either side (a short name against the full one): "web1"
// is "web1.example.test" but not "web10".
bool sameHost(const char *name, const char *mine) {
    size_t n = strlen(name), m = strlen(mine);
    if (n == m)
        return memcmp(name, mine, n) == 0;
    if (n > m)
        return memcmp(name, mine, m) == 0 && name[m] == '.';
    return memcmp(name, mine, n) == 0 && mine[n] == '.';
}

// What a chain of local-host tests depended on besides the text: whether
// it consulted the local address list, and whether the list was loaded
// each time (-1: never consulted, 0 / 1: not loaded / loaded, 2: both).
struct LocalTestUse {
    int list = -1;
    void saw(bool loaded) {
        int now = loaded ? 1 : 0;
        list = list < 0 || list == now ? now : 2;
    }
};

int thisMe(const char *nameaddr, LocalTestUse *use);

// The normalising look-ups of one add, through the agent's leased calls
// when it has them: the leases say later how long the names stand.
constexpr int kMaxLeases = 6;
struct Normaliser {
    bool leased = false;
    bool complete = true; // every answer came with a lease
    int count = 0;
    qelNameLease_t leases[kMaxLeases];

    explicit Normaliser(bool useLeases) : leased(useLeases) {}

    void hostName(const char *in, HostName &out) {
        if (leased)
            normalise(qelNameAddrToHostnameLeased, in, out);
        else
            hostNameOf(in, out);
    }
    void ipHostName(const char *in, HostName &out) {
        if (leased)
            normalise(qelIpAddrToHostnameLeased, in, out);
        else
            ipHostNameOf(in, out);
    }

private:
    // As the graph's own normalising: the given text stands when the call
    // fails or leaves nothing.
    void normalise(int (*call)(const char *, char *, int, qelNameLease_t *), const char *in, HostName &out) {
        qelCopyField(out, in);
        char buf[kHostNameLen];
        qelCopyField(buf, in);
        qelNameLease_t lease{nullptr, 0, 0};
        if (call(in, buf, (int)sizeof(buf), &lease) >= 0) {
            buf[sizeof(buf) - 1] = '\0';
            if (buf[0])
                qelCopyField(out, buf);
        }
        if (lease.entry && count < kMaxLeases)
            leases[count++] = lease;
        else
            complete = false;
    }
};

// Normalised name, replaced by the local host name when it denotes this host.
// Answers whether the normalised name is the given text unchanged.
bool localName(const char *given, HostName &out, Normaliser &names, LocalTestUse *use) {
    names.hostName(given, out);
    bool same = strcmp(out, given) == 0;
    // The given text needs its own test only when normalising changed it.
    if (thisMe(out, use) || (!same && thisMe(given, use))) {
        qelCopyField(out, myhostname);
        return false;
    }
    return same;
}

bool localName(const char *given, HostName &out, LocalTestUse &use) {
    Normaliser plain(false);
    return localName(given, out, plain, &use);
}

// Finds the vertex named `name` (already normalised), creating and inserting
// it when missing. Host look-ups are made before the caller takes the lock.
struct NodeKey {
    HostName ip;     // as the graph's node lookup normalises
    HostName vname;  // as a new vertex would be named
    const char *raw;
};

void makeKey(NodeKey &k, const char *name) {
    ipHostNameOf(name, k.ip);
    hostNameOf(name, k.vname);
    k.raw = name;
}

// As makeKey through the add's look-ups; normal: normalising has just left
// the name unchanged, so its normal form is itself and the second look-up
// is saved.
void makeKey(NodeKey &k, const char *name, bool normal, Normaliser &names) {
    names.ipHostName(name, k.ip);
    if (normal)
        qelCopyField(k.vname, name);
    else
        names.hostName(name, k.vname);
    k.raw = name;
}

vertex_t *nodeLocked(graph_t *g, const NodeKey &k) {
    vertex_t *v = findNodeLocked(g, k.ip, k.raw);
    if (v)
        return v;
    if ((v = findNodeLocked(g, k.vname, nullptr)))
        return v;
    v = vertexNewNamed(k.vname);
    if (v && insertNodeLocked(g, v) != 0) {
        vertexFree(v);
        v = nullptr;
    }
    return v;
}

// Stores angle brackets of the arguments as square ones ('<'->'[', '>'->']'),
// in one pass over the text (the bytes past its terminator are never read).
void bracketArgs(char *buf, size_t len) {
    char *end = buf + strnlen(buf, len);
    for (char *p = buf; p < end; p++) {
        if (*p == '<')
            *p = '[';
        else if (*p == '>')
            *p = ']';
    }
}

void typeText(int dtype, char *buf, int len) { dependencyTypeToStr(dtype, buf, len); }

dependency_t *newGraphRecord(const dependency_t *d, vertex_t *cv, vertex_t *sv, time_t now) {
    // From the record pool: zero-filled, packed on huge pages.
    dependency_t *rec = allocDependencyRecord();
    if (!rec)
        return nullptr;
    rec->pov = d->pov;
    rec->dtype = d->dtype;
    rec->dsrc = d->dsrc;
    qelCopyField(rec->args, d->args);
    qelCopyField(rec->dependClient, cv->name);
    qelCopyField(rec->dependServer, sv->name);
    rec->client = cv;
    rec->server = sv;
    rec->createTime = rec->lastUpdate = now;
    rec->reachable = 2;
    rec->reachableTime = 0;
    char tt[64];
    typeText(d->dtype, tt, sizeof(tt));
    snprintf(rec->name, sizeof(rec->name), "type='%s' args='%s'", tt, rec->args);
    return rec;
}

linkedElement_t *firstMatch(linkedList_t *list, const std::function<bool(dependency_t *)> &pred) {
    for (linkedElement_t *c = list ? list->head : nullptr; c; c = c->next)
        if (c->data && pred(static_cast<dependency_t *>(c->data)))
            return c;
    return nullptr;
}

dependency_t *lookup(linkedList_t *(*which)(), const std::function<bool(dependency_t *)> &pred) {
    graph_t *g = theGraph;
    if (!g)
        return nullptr;
    graphLock(g, "lookup");
    linkedElement_t *c = firstMatch(which(), pred);
    graphUnlock(g, "lookup");
    return c ? static_cast<dependency_t *>(c->data) : nullptr;
}

linkedList_t *allEdges() { return theGraph->setOfEdges; }
linkedList_t *localEdges() { return myVertex ? myVertex->setOfEdges : nullptr; }

bool transitMatch(dependency_t *d, int dtype, const char *client, const char *server, const char *args) {
    return (int)d->dtype == dtype && d->pov == dependTransit && strcmp(d->dependClient, client) == 0 &&
           strcmp(d->dependServer, server) == 0 && (!args || strcmp(d->args, args) == 0);
}

// Releases a record that has left the graph.
void releaseRecord(dependency_t *d) { releaseDependencyRecord(d); }

} // namespace

extern "C" {

int dependencyStringToInt(const char *dstr) {
    if (!dstr)
        return -1;
    for (int i = 0; i < dependMAX; i++)
        if (strcasecmp(dependencyTypeStrs[i], dstr) == 0 || strstr(dependencyTypeStrs[i], dstr))
            return i;
    return 0;
}

int dependencyTypeToStr(int dtype, char *str, int maxlen) {
    if (!str || maxlen < 20)
        return -1;
    str[0] = '\0';
    if (dtype >= 0 && dtype <= dependMAX) {
        qelCopyStr(str, (size_t)maxlen, dependencyTypeStrs[dtype]);
        return 1;
    }
    snprintf(str, (size_t)maxlen, "undef(%d)", dtype);
    return -1;
}

int dependencyPrint(dependency_t *d) {
    if (!d)
        return 0;
    printf("Dependency: src:%d client:%s/%lx dtype:%d server:%s/%lx pov:%d args:'%s'\n", (int)d->dsrc,
           d->client ? d->client->name : d->dependClient, (unsigned long)d->client, (int)d->dtype,
           d->server ? d->server->name : d->dependServer, (unsigned long)d->server, (int)d->pov, d->args);
    return 0;
}

int dependencySetClient(dependency_t *d, struct vertex *v) {
    if (!d || !v) {
        fprintf(stderr, "dependencySetClient: bogus\n");
        return -1;
    }
    d->client = v;
    return 0;
}

int dependencySetServer(dependency_t *d, struct vertex *v) {
    if (!d || !v) {
        fprintf(stderr, "dependencySetServer: bogus\n");
        return -1;
    }
    d->server = v;
    return 0;
}

struct vertex *dependencyGetClient(dependency_t *d) { return d ? d->client : nullptr; }
struct vertex *dependencyGetServer(dependency_t *d) { return d ? d->server : nullptr; }

int dependencyCompare(void *a, void *b) {
    auto *x = static_cast<dependency_t *>(a);
    auto *y = static_cast<dependency_t *>(b);
    if (!x || !y)
        return -1;
    if (x->dtype == y->dtype && x->client == y->client && x->server == y->server &&
        strncmp(x->args, y->args, sizeof(x->args)) == 0)
        return 0;
    return -1;
}

int dependencyCompareNoArgs(void *a, void *b) {
    auto *x = static_cast<dependency_t *>(a);
    auto *y = static_cast<dependency_t *>(b);
    if (!x || !y)
        return -1;
    return (x->dtype == y->dtype && x->client == y->client && x->server == y->server) ? 0 : -1;
}

unsigned long dependencyHash(const void *p) {
    const auto *d = static_cast<const dependency_t *>(p);
    size_t h = std::hash<std::string_view>{}(std::string_view(d->args, strnlen(d->args, sizeof(d->args))));
    auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix((size_t)d->dtype);
    mix(std::hash<const void *>{}(d->client));
    mix(std::hash<const void *>{}(d->server));
    return h;
}

int connectionInfoCompare(void *a, void *b) {
    auto *x = static_cast<connInfo_t *>(a);
    auto *y = static_cast<connInfo_t *>(b);
    if (!x || !y)
        return -1;
    return (x->port == y->port && strncmp(x->proto, y->proto, sizeof(x->proto)) == 0) ? 0 : -1;
}

int connectionInfoPrint(void *p) {
    auto *c = static_cast<connInfo_t *>(p);
    if (!c)
        return 0;
    printf("ConnectionInfo: proto:%s port:%d dtype:%d args:'%s'\n", c->proto, (int)c->port, (int)c->dtype,
           c->args);
    return 0;
}

int freeConnectionInfo(void *c) {
    free(c);
    return 1;
}

connInfo_t *findConnectionInfo(const char *proto, int port) {
    if (!proto || port == 0)
        return nullptr;
    connInfo_t probe;
    memset(&probe, 0, sizeof(probe));
    qelCopyField(probe.proto, proto);
    probe.port = (uint16_t)port;
    linkedElement_t *c = findElement(connectionInfoList, &probe);
    return c ? static_cast<connInfo_t *>(c->data) : nullptr;
}

int isThisMe(const char *nameaddr) { return thisMe(nameaddr, nullptr); }

} // extern "C"

namespace {

int thisMe(const char *nameaddr, LocalTestUse *use) {
    if (!nameaddr)
        return 0;
    static const char *const localTexts[] = {"",
                                             "0",
                                             "127.0.0.1",
                                             "0.0.0.0",
                                             "127.127.1.0",
                                             "::1",
                                             "0000:0000:0000:0000:0000:0000:0000:0000",
                                             "0000:0000:0000:0000:0000:0000:0000:0001"};
    // The first character settles most texts without a full comparison.
    for (const char *t : localTexts)
        if (nameaddr[0] == t[0] && strcmp(nameaddr, t) == 0)
            return 1;
    if (strstr(nameaddr, "localhost") || isLoopbackAddress(nameaddr))
        return 1;
    // Within one add or removal a failed load (mib2 not loaded, or no list
    // yet) is not repeated: each tests several texts, and the symbol look-up
    // takes the agent's lock. The next add tries again.
    bool loaded = use && use->list == 0 ? false : loadAddressList();
    if (use)
        use->saw(loaded);
    // An empty host name (before init) would match every text.
    if (myhostname[0] && sameHost(nameaddr, myhostname))
        return 1;
    if (!loaded)
        return 0;
    // A text longer than the whole list is in no entry of it.
    char probe[sizeof(localAddrList) + 1];
    size_t n = strnlen(nameaddr, sizeof(localAddrList));
    if (n >= sizeof(localAddrList))
        return 0;
    memcpy(probe, nameaddr, n);
    probe[n] = ',';
    probe[n + 1] = '\0';
    return addressListHolds(probe) ? 1 : 0;
}

} // namespace

extern "C" {

int amIClient(int dtype) {
    graph_t *g = theGraph;
    if (!g || !myVertex)
        return 0;
    graphLock(g, "amIClient");
    linkedElement_t *c = firstMatch(myVertex->setOfEdges, [dtype](dependency_t *d) {
        return d->client == myVertex && (int)d->dtype == dtype;
    });
    graphUnlock(g, "amIClient");
    return c ? 1 : 0;
}

dependency_t *findDependency(dependency_t *match) {
    graph_t *g = theGraph;
    if (!g || !match)
        return nullptr;
    graphLock(g, "findDependency");
    linkedElement_t *c = findElement(g->setOfEdges, match);
    graphUnlock(g, "findDependency");
    return c ? static_cast<dependency_t *>(c->data) : nullptr;
}

dependency_t *findLocalDependency(dependency_t *match) {
    graph_t *g = theGraph;
    if (!g || !match)
        return nullptr;
    graphLock(g, "findLocalDependency");
    linkedElement_t *c = myVertex ? findElement(myVertex->setOfEdges, match) : nullptr;
    graphUnlock(g, "findLocalDependency");
    return c ? static_cast<dependency_t *>(c->data) : nullptr;
}

dependency_t *findLocalDependencyNoArgs(int dtype, const char *dpeer, int pov) {
    if (!dpeer || !theGraph)
        return nullptr;
    HostName peer;
    hostNameOf(dpeer, peer);
    return lookup(localEdges, [&](dependency_t *d) {
        if ((int)d->dtype != dtype || (int)d->pov != pov)
            return false;
        if (pov == dependOutbound)
            return strcmp(d->dependServer, peer) == 0;
        if (pov == dependInbound)
            return strcmp(d->dependClient, peer) == 0;
        return false;
    });
}

dependency_t *findTransitDependency(int dtype, const char *client, const char *server, const char *args) {
    if (!client || !server || !theGraph)
        return nullptr;
    HostName c, s;
    hostNameOf(client, c);
    hostNameOf(server, s);
    const char *a = args ? args : "";
    return lookup(allEdges, [&](dependency_t *d) { return transitMatch(d, dtype, c, s, a); });
}

dependency_t *findTransitDependencyNoArgs(int dtype, const char *client, const char *server) {
    if (!client || !server || !theGraph)
        return nullptr;
    HostName c, s;
    hostNameOf(client, c);
    hostNameOf(server, s);
    return lookup(allEdges, [&](dependency_t *d) { return transitMatch(d, dtype, c, s, nullptr); });
}

dependency_t *findDependencyByType(int dtype, const char *client, const char *server) {
    if (!client || !server || !theGraph)
        return nullptr;
    HostName c, s;
    hostNameOf(client, c);
    hostNameOf(server, s);
    return lookup(allEdges, [&](dependency_t *d) {
        return (int)d->dtype == dtype && strcmp(d->dependClient, c) == 0 && strcmp(d->dependServer, s) == 0;
    });
}

dependency_t *findDependencyByName(const char *name, const char *client, const char *server) {
    if (!name || !client || !server || !theGraph)
        return nullptr;
    HostName c, s;
    hostNameOf(client, c);
    hostNameOf(server, s);
    return lookup(allEdges, [&](dependency_t *d) {
        return strcmp(d->name, name) == 0 && strcmp(d->dependClient, c) == 0 && strcmp(d->dependServer, s) == 0;
    });
}

} // extern "C"

namespace {

// ---- remembered adds ----
//
// A log rule adds the same few dependencies over and over; each add costs
// four or more name look-ups, local-host tests and two vertex look-ups
// before it finds the record to refresh. The cache remembers, per given
// add (type, client and server as given, arguments), the record and
// vertices it led to, and the next add of the same text refreshes them
// directly while all of these hold:
//  - the name cache's answers that normalised the names (their leases);
//  - the local host name and address list the local-host tests read;
//  - no record or vertex left the graph since (graphRemovals): the record
//    and vertices are alive and still the first match of their look-ups;
//  - no vertex entered it, unless each vertex was found by its first
//    look-up (its name is the address look-up's answer, which a newcomer
//    cannot take, vertex names being unique).
// Any other case takes the full path, whose result is then remembered.

// Arguments kept beside the remembered add up to this length (longer ones
// are compared with the record's), so that a refresh reads only the
// record's first line and the memory kept per add stays small.
constexpr size_t kKeptArgs = 47;

// One remembered add. The given texts it is compared with sit in the
// cache's text store, in the order remembered: a pass over tens of
// thousands reads some three lines of entry per add and the texts beside
// them, in order, instead of an entry of five lines and a server name of
// its own on the heap (scattered wherever the allocator found room).
struct Remembered {
    uint64_t key = 0; // AddKey::hash
    // What a refresh checks first, together.
    unsigned long long removals = 0, insertions = 0;
    dependency_t *rec = nullptr;
    vertex_t *cv = nullptr, *sv = nullptr;
    int dtype = 0;
    // The given texts (client, server, and the arguments when kept), one
    // after the other at textAt in RefreshCache::texts.
    uint32_t textAt = 0;
    uint16_t clientLen = 0, serverLen = 0, argsLen = 0;
    bool shadowable = false; // a vertex not found by its first look-up
    bool argsKept = false;   // the arguments are among the texts
    signed char list = -1;   // LocalTestUse::list of the full path
    signed char leaseCount = 0;
    qelNameLease_t leases[kMaxLeases];
};

struct RefreshCache {
    std::mutex m;
    bool enabled = true;
    graph_t *graph = nullptr;
    vertex_t *me = nullptr;
    std::string hostName;
    // Kept in the order first added, found through a flat index: discovery
    // adds in much the same order every pass, so that a pass reads the
    // entries front to back instead of chasing a node per add (at 50,000
    // dependencies each add missed the cache twice in a node map).
    std::vector<Remembered> entries;
    // The entries' given texts, appended as they are remembered (so in the
    // order a pass reads them). A text remembered again where its old one
    // does not fit is appended anew; the space left behind is counted and
    // the whole cache forgotten when it outweighs the texts in use.
    std::vector<char> texts;
    size_t textsUsed = 0, textsDropped = 0;
    kestrova::FlatIndexTable index;
    size_t limit = kestrova::kRefreshCacheEntries;
    kestrova::RefreshCacheStats stats;

    // The entry found last: the next add is most often the one after it.
    size_t cursor = SIZE_MAX;

    // How far ahead of the cursor a refresh asks for the next entries'
    // targets, and for those entries themselves: a refresh takes a few
    // hundred nanoseconds, and at tens of thousands of dependencies each
    // target is a trip to memory that may take longer on a busy host.
    static constexpr size_t kTargetsAhead = 2, kEntriesAhead = 4;

    Remembered *find(uint64_t key) {
        size_t next = cursor + 1;
        if (next < entries.size() && entries[next].key == key) {
            cursor = next;
            return &entries[next];
        }
        uint32_t at = 0;
        if (!index.find((size_t)key, [&](uint32_t k) { return entries[k].key == key; }, at))
            return nullptr;
        cursor = at;
        return &entries[at];
    }
    const char *textOf(const Remembered &r) const { return texts.data() + r.textAt; }
    // Whether r was remembered for the given texts (its hash matched);
    // arguments not kept are compared with the record's.
    bool sameTexts(const Remembered &r, std::string_view client, std::string_view server, std::string_view args,
                   const dependency_t *d) const {
        if (r.clientLen != client.size() || r.serverLen != server.size())
            return false;
        const char *t = textOf(r);
        if (memcmp(t, client.data(), client.size()) != 0 || memcmp(t + client.size(), server.data(), server.size()) != 0)
            return false;
        if (!r.argsKept)
            return strncmp(r.rec->args, d->args, sizeof(d->args)) == 0;
        return r.argsLen == args.size() && memcmp(t + client.size() + server.size(), args.data(), args.size()) == 0;
    }
    // Asks for what a refresh of an entry ahead of the cursor writes and
    // reads (record, server vertex, its texts, the name cache's entries):
    // the adds that follow, most often those, then find them at hand
    // instead of waiting on each in turn. A stale pointer is only a wasted
    // hint. Always inlined: as a call of its own it has no effect g++ 12's
    // side-effect analysis counts (it only asks ahead), so the call was
    // dropped and no refresh asked for anything (at 50,000 dependencies a
    // refresh then waited on the name cache's entries, some 90 ns more).
    __attribute__((always_inline)) void expectNext() const {
        size_t ahead = cursor + kEntriesAhead;
        if (ahead < entries.size()) {
            const char *e = reinterpret_cast<const char *>(&entries[ahead]);
            for (size_t b = 0; b < sizeof(Remembered); b += 64)
                __builtin_prefetch(e + b);
            __builtin_prefetch(e + sizeof(Remembered) - 1);
        }
        size_t next = cursor + kTargetsAhead;
        if (next >= entries.size())
            return;
        const Remembered &n = entries[next];
        __builtin_prefetch(n.rec, 1);
        __builtin_prefetch(&n.sv->lastUpdate, 1); // the name, before it, is not read
        __builtin_prefetch(textOf(n));
        for (int i = 0; i < n.leaseCount; i++) {
            __builtin_prefetch(n.leases[i].entry, 1);
            __builtin_prefetch(static_cast<const char *>(n.leases[i].entry) + 64, 1);
        }
    }
    // Stores the given texts of r (may throw bad_alloc).
    void keepTexts(Remembered &r, std::string_view client, std::string_view server, std::string_view args) {
        r.argsKept = args.size() <= kKeptArgs;
        if (!r.argsKept)
            args = {};
        size_t need = client.size() + server.size() + args.size();
        size_t had = (size_t)r.clientLen + r.serverLen + r.argsLen;
        size_t at = r.textAt;
        if (need > had || had == 0) {
            if (textsUsed + need > UINT32_MAX)
                throw std::bad_alloc();
            if (textsUsed + need > texts.size())
                texts.resize(std::max(textsUsed + need, 2 * texts.size() + 4096));
            textsDropped += had;
            at = textsUsed;
            textsUsed += need;
        } else {
            textsDropped += had - need;
        }
        char *t = texts.data() + at;
        if (!client.empty())
            memcpy(t, client.data(), client.size());
        if (!server.empty())
            memcpy(t + client.size(), server.data(), server.size());
        if (!args.empty())
            memcpy(t + client.size() + server.size(), args.data(), args.size());
        r.textAt = (uint32_t)at;
        r.clientLen = (uint16_t)client.size();
        r.serverLen = (uint16_t)server.size();
        r.argsLen = (uint16_t)args.size();
    }
    // The entry of key, added when missing (may throw bad_alloc).
    Remembered &slot(uint64_t key) {
        auto [at, fresh] = index.findOrInsert((size_t)key, (uint32_t)entries.size(),
                                              [&](uint32_t k) { return entries[k].key == key; });
        if (fresh) {
            try {
                entries.emplace_back();
            } catch (...) {
                clear();
                throw;
            }
            entries.back().key = key;
        }
        cursor = at;
        return entries[at];
    }
    void clear() {
        entries.clear();
        index.clear();
        textsUsed = textsDropped = 0;
        cursor = SIZE_MAX;
    }

    // The caller holds m. Forgets everything remembered for another graph,
    // local vertex or host name.
    void settle(graph_t *g) {
        if (graph != g || me != myVertex || strcmp(hostName.c_str(), myhostname) != 0) {
            clear();
            graph = g;
            me = myVertex;
            hostName.assign(myhostname);
        }
    }
};

RefreshCache &refreshCache() {
    static RefreshCache *c = new RefreshCache; // outlives workers at exit
    return *c;
}

bool leasedLookups() { return qelIpAddrToHostnameLeased && qelNameAddrToHostnameLeased && qelRenewNameLeases; }

// The given texts of one add, cut as the record keeps them, and their hash.
struct AddKey {
    std::string_view client, server, args;
    int dtype = 0;
    uint64_t hash = 0;

    explicit AddKey(const dependency_t *d)
        : client(d->dependClient, strnlen(d->dependClient, kHostNameLen - 1)),
          server(d->dependServer, strnlen(d->dependServer, kHostNameLen - 1)),
          args(d->args, strnlen(d->args, sizeof(d->args))), dtype((int)d->dtype) {
        // One short pass, eight bytes a step: these texts are a few dozen
        // bytes, and the add is made once per matched log line.
        uint64_t x = mixText(0x243f6a8885a308d3ULL ^ (uint64_t)(unsigned)dtype, client);
        x = mixText(x, server);
        hash = mixText(x, args);
    }

    static uint64_t mixText(uint64_t h, std::string_view t) {
        constexpr uint64_t kMul = 0x9e3779b97f4a7c15ULL;
        const char *p = t.data();
        size_t n = t.size();
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t w;
            memcpy(&w, p, 8);
            h = (h ^ w) * kMul;
            h ^= h >> 29;
        }
        uint64_t w = 0;
        memcpy(&w, p, n);
        // The length ends each text: ("ab", "c") differs from ("a", "bc").
        h = (h ^ w ^ ((uint64_t)t.size() << 56)) * kMul;
        return h ^ (h >> 32);
    }
};

// Refreshes the remembered add of k, as the full path would: the caller
// holds the graph lock. False when there is none or it no longer holds.
// inOrder: adds that come in the order they were first made (discovery's
// passes), so that the next entry is worth asking for ahead.
bool refreshRemembered(graph_t *g, dependency_t *d, const AddKey &k, bool inOrder) {
    RefreshCache &c = refreshCache();
    std::lock_guard<std::mutex> guard(c.m);
    if (!c.enabled)
        return false;
    c.settle(g);
    Remembered *found = c.find(k.hash);
    if (!found)
        return false;
    Remembered &r = *found;
    if (r.removals != graphRemovals.load(std::memory_order_relaxed) ||
        (r.shadowable && r.insertions != graphNodeInsertions.load(std::memory_order_relaxed)))
        return false;
    // The record is alive: nothing left the graph since it was found.
    if (r.dtype != k.dtype || !c.sameTexts(r, k.client, k.server, k.args, d))
        return false;
    if (r.list >= 0) {
        // The full path asks for the list here too (a mib2 loaded later).
        if (r.list != (loadAddressList() ? 1 : 0))
            return false;
    }
    if (!qelRenewNameLeases(r.leases, r.leaseCount))
        return false;
    time_t now = time(nullptr);
    r.cv->lastUpdate = r.sv->lastUpdate = now;
    d->client = r.cv;
    d->server = r.sv;
    r.rec->lastUpdate = now;
    ++c.stats.refreshed;
    if (inOrder)
        c.expectNext();
    return true;
}

bool refreshRememberedLocked(graph_t *g, dependency_t *d, const AddKey &k, bool inOrder) {
    graphLock(g, "addLocalDependency");
    bool done = refreshRemembered(g, d, k, inOrder);
    graphUnlock(g, "addLocalDependency");
    return done;
}

// Remembers what the full path of k found (rec, refreshed or inserted
// into myVertex's edges); the caller holds the graph lock.
void rememberAdd(graph_t *g, const AddKey &k, dependency_t *rec, vertex_t *cv, vertex_t *sv, const NodeKey &ck,
                 const NodeKey &sk, const Normaliser &names, const LocalTestUse &use, const char *hostName) {
    if (!names.leased || !names.complete || use.list == 2 || strcmp(hostName, myhostname) != 0)
        return;
    RefreshCache &c = refreshCache();
    std::lock_guard<std::mutex> guard(c.m);
    if (!c.enabled)
        return;
    c.settle(g);
    // Texts left behind by entries remembered again with longer ones.
    if (c.textsDropped > 65536 && c.textsDropped > c.textsUsed / 2)
        c.clear();
    if (c.entries.size() >= c.limit && !c.find(k.hash)) {
        // Room for every local dependency twice over: a host with more
        // distinct dependencies than the floor would otherwise forget them
        // all in turn and never refresh one the short way. Counted only
        // when full, so the walk is paid once per limit's worth of adds.
        size_t local = myVertex ? (size_t)numberElements(myVertex->setOfEdges) : 0;
        c.limit = std::min(kestrova::kRefreshCacheMostEntries, std::max(kestrova::kRefreshCacheEntries, 2 * local));
        if (c.entries.size() >= c.limit)
            c.clear();
    }
    Remembered *slot = nullptr;
    try {
        slot = &c.slot(k.hash);
    } catch (...) {
        return; // not remembered: the next add takes the full path again
    }
    Remembered &r = *slot;
    try {
        c.keepTexts(r, k.client, k.server, k.args);
    } catch (...) {
        c.clear(); // forgotten: the next add takes the full path again
        return;
    }
    r.rec = rec;
    r.dtype = (int)rec->dtype;
    r.cv = cv;
    r.sv = sv;
    r.removals = graphRemovals.load(std::memory_order_relaxed);
    r.insertions = graphNodeInsertions.load(std::memory_order_relaxed);
    r.shadowable = strcmp(cv->name, ck.ip) != 0 || strcmp(sv->name, sk.ip) != 0;
    r.list = (signed char)use.list;
    r.leaseCount = (signed char)names.count;
    memcpy(r.leases, names.leases, sizeof(qelNameLease_t) * (size_t)names.count);
    ++c.stats.remembered;
}

} // namespace

namespace kestrova {

RefreshCacheStats refreshCacheStats() {
    RefreshCache &c = refreshCache();
    std::lock_guard<std::mutex> guard(c.m);
    RefreshCacheStats s = c.stats;
    s.entries = c.entries.size();
    return s;
}

void setRefreshCacheEnabled(bool on) {
    RefreshCache &c = refreshCache();
    std::lock_guard<std::mutex> guard(c.m);
    c.enabled = on;
    c.clear();
    c.stats = RefreshCacheStats{};
}

} // namespace kestrova

extern "C" {

// The lookup, the refresh and the insertion of one add happen under one hold
// of the graph lock: a found record cannot be released by a concurrent
// removal before it is refreshed, and two adds of the same dependency cannot
// both insert it.
// Other plug-ins reach this and removeLocalDependency by name.
__attribute__((visibility("default"))) int addLocalDependency(dependency_t *d) {
    if (!d)
        return -1;
    if (!acceptable(d, "addLocalDependency"))
        return -1;
    graph_t *g = theGraph;
    if (!g) {
        fprintf(stderr, "addLocalDependency: no graph\n");
        return -1;
    }
    bracketArgs(d->args, sizeof(d->args));
    const bool leased = leasedLookups();
    const AddKey key(d);
    // A remembered add has this host at one end: the full path's "is this
    // really local?" never applies to it.
    if (leased && refreshRememberedLocked(g, d, key, true))
        return 0;

    HostName origClient, origServer, client, server, hostName;
    qelCopyField(origClient, d->dependClient);
    qelCopyField(origServer, d->dependServer);
    // The local-host tests read the host name: remembered only if it holds.
    qelCopyField(hostName, myhostname);
    Normaliser names(leased);
    LocalTestUse use;
    bool clientNormal = localName(origClient, client, names, &use);
    bool serverNormal = localName(origServer, server, names, &use);
    NodeKey ck, sk;
    makeKey(ck, client, clientNormal, names);
    makeKey(sk, server, serverNormal, names);

    graphLock(g, "addLocalDependency");
    time_t now = time(nullptr);
    vertex_t *cv = nodeLocked(g, ck);
    vertex_t *sv = nodeLocked(g, sk);
    if (!cv || !sv) {
        graphUnlock(g, "addLocalDependency");
        fprintf(stderr, "addLocalDependency: no vertex\n");
        return -1;
    }
    cv->lastUpdate = sv->lastUpdate = now;
    d->client = cv;
    d->server = sv;
    const bool local = cv == myVertex || sv == myVertex;
    if (!local)
        printf("addLocalDependency: is this really local? %s %s %s\n", cv->name, sv->name,
               myVertex ? myVertex->name : "");
    // A record between two other hosts is not among this host's edges: it
    // is found in the graph's, or every add of it would insert another
    // copy (which its vertices refuse, so that dropping one of them would
    // leave the copies pointing at a released vertex).
    linkedElement_t *found = local ? findElement(myVertex->setOfEdges, d) : findElement(g->setOfEdges, d);
    if (found) {
        auto *rec = static_cast<dependency_t *>(found->data);
        rec->lastUpdate = now;
        if (leased && local)
            rememberAdd(g, key, rec, cv, sv, ck, sk, names, use, hostName);
        graphUnlock(g, "addLocalDependency");
        return 0;
    }
    dependency_t *rec = newGraphRecord(d, cv, sv, now);
    if (!rec) {
        graphUnlock(g, "addLocalDependency");
        qeldLog("addLocalDependency: malloc failed");
        return -1;
    }
    rec->ipVersion = d->ipVersion;
    rec->logfileDependencyAgeOut = d->logfileDependencyAgeOut;
    qelCopyField(rec->originalClient, origClient);
    qelCopyField(rec->originalServer, origServer);
    insertEdgeLocked(g, rec);
    // Remembered when the next add finds it among this host's edges (one
    // end is this host and the insertion put it there).
    if (leased && local) {
        linkedElement_t *mine = findElement(myVertex->setOfEdges, d);
        if (mine && mine->data == rec)
            rememberAdd(g, key, rec, cv, sv, ck, sk, names, use, hostName);
    }
    graphUnlock(g, "addLocalDependency");
    return 1;
}

} // extern "C"

namespace kestrova {

// Only local adds are remembered, and a remembered add stands only while
// the host name, the local vertex and the address list that its local-host
// tests read are unchanged: an add found here is local, as those tests
// would say again, so the caller can skip them.
bool refreshRememberedAdd(dependency_t *d) {
    graph_t *g = theGraph;
    if (!d || !g || !leasedLookups())
        return false;
    // The add brackets angle brackets in the arguments itself and a transit
    // add keeps them: such arguments take the usual way.
    if (strpbrk(d->args, "<>"))
        return false;
    // A log's lines name their dependencies in no set order: asking ahead
    // for the entry after this one only fills the cache with what the next
    // line seldom needs (at 10,000 dependencies that cost more than the
    // refresh itself).
    return refreshRememberedLocked(g, d, AddKey(d), false);
}

} // namespace kestrova

extern "C" {

int addTransitDependency(dependency_t *d) {
    if (!d || d->pov != dependTransit)
        return -1;
    if (!acceptable(d, "addTransitDependency"))
        return -1;
    graph_t *g = theGraph;
    if (!g)
        return -1;
    HostName client, server;
    hostNameOf(d->dependClient, client);
    hostNameOf(d->dependServer, server);
    LocalTestUse use;
    bool clientIsMe = thisMe(client, &use), serverIsMe = thisMe(server, &use);
    NodeKey ck, sk;
    makeKey(ck, client);
    makeKey(sk, server);

    graphLock(g, "addTransitDependency");
    time_t now = time(nullptr);
    linkedElement_t *found = firstMatch(
        g->setOfEdges, [&](dependency_t *x) { return transitMatch(x, d->dtype, client, server, d->args); });
    // A record already in the graph is refreshed, not added again.
    auto refreshFound = [&](linkedElement_t *cell) {
        auto *rec = static_cast<dependency_t *>(cell->data);
        printf("addTransitDependency: updating entry: ");
        dependencyPrint(rec);
        rec->lastUpdate = now;
        graphUnlock(g, "addTransitDependency");
        return 0;
    };
    if (found)
        return refreshFound(found);
    if (clientIsMe || serverIsMe) {
        graphUnlock(g, "addTransitDependency");
        fprintf(stderr, clientIsMe ? "addTransitDependency: I cant be client if transit\n"
                                   : "addTransitDependency: I cant be server if transit\n");
        return -1;
    }
    vertex_t *cv = nodeLocked(g, ck);
    vertex_t *sv = nodeLocked(g, sk);
    if (!cv || !sv) {
        graphUnlock(g, "addTransitDependency");
        fprintf(stderr, "addTransitDependency: no vertex\n");
        return -1;
    }
    cv->lastUpdate = sv->lastUpdate = now;
    d->client = cv;
    d->server = sv;
    // The same two hosts, type and arguments may already be a record that
    // is not a transit one (made local while one end was this host, before
    // the host name changed): it is refreshed, not copied. The vertices
    // refuse a copy, so dropping one of them would leave the copy pointing
    // at a released vertex.
    if (linkedElement_t *same = findElement(g->setOfEdges, d))
        return refreshFound(same);
    dependency_t *rec = newGraphRecord(d, cv, sv, now);
    if (!rec) {
        graphUnlock(g, "addTransitDependency");
        qeldLog("addTransitDependency: malloc failed");
        return -1;
    }
    rec->ipVersion = d->ipVersion;
    rec->logfileDependencyAgeOut = d->logfileDependencyAgeOut;
    printf("addTransitDependency: %x %s/%x ->%d/%d (%s) ->%s/%x\n", (unsigned)(uintptr_t)rec, cv->name,
           (unsigned)(uintptr_t)cv, (int)rec->dtype, (int)rec->pov, rec->args, sv->name, (unsigned)(uintptr_t)sv);
    insertEdgeLocked(g, rec);
    graphUnlock(g, "addTransitDependency");
    return 1;
}

int addGeneralDependency(dependency_t *d) {
    graph_t *g = theGraph;
    if (!d || !g)
        return -1;
    HostName client, server;
    hostNameOf(d->dependClient, client);
    hostNameOf(d->dependServer, server);
    qelCopyField(d->dependClient, client);
    qelCopyField(d->dependServer, server);
    NodeKey ck, sk;
    makeKey(ck, client);
    makeKey(sk, server);

    graphLock(g, "addGeneralDependency");
    time_t now = time(nullptr);
    vertex_t *cv = nodeLocked(g, ck);
    vertex_t *sv = nodeLocked(g, sk);
    if (!cv || !sv) {
        graphUnlock(g, "addGeneralDependency");
        fprintf(stderr, "addGeneralDependency: no vertex\n");
        return -1;
    }
    cv->lastUpdate = sv->lastUpdate = now;
    d->client = cv;
    d->server = sv;
    linkedElement_t *found = findElement(g->setOfEdges, d);
    if (found) {
        static_cast<dependency_t *>(found->data)->lastUpdate = now;
        graphUnlock(g, "addGeneralDependency");
        return 0;
    }
    dependency_t *rec = newGraphRecord(d, cv, sv, now);
    if (!rec) {
        graphUnlock(g, "addGeneralDependency");
        qeldLog("addGeneralDependency: malloc failed");
        return -1;
    }
    insertEdgeLocked(g, rec);
    graphUnlock(g, "addGeneralDependency");
    return 1;
}

int addGeneralDependencyByArgs(const char *client, const char *server, int dtype, const char *args, int dsrc) {
    if (!client || !server || dtype == 0) {
        fprintf(stderr, "addGeneralDependencyByArgs: invalid info\n");
        return -1;
    }
    auto *d = static_cast<dependency_t *>(calloc(1, sizeof(dependency_t)));
    if (!d) {
        qeldLog("addGeneralDependencyByArgs: malloc failed");
        return -1;
    }
    d->dtype = (dependencyType_t)dtype;
    d->dsrc = (dependencySrc_t)dsrc;
    d->pov = dependNA;
    d->ipVersion = 0;
    qelCopyField(d->dependClient, client);
    qelCopyField(d->dependServer, server);
    if (args)
        qelCopyField(d->args, args);
    int rc = addGeneralDependency(d);
    free(d);
    return rc;
}

__attribute__((visibility("default"))) int removeLocalDependency(dependency_t *d) {
    if (!d)
        return -1;
    if (!d->dependClient[0] || !d->dependServer[0]) {
        fprintf(stderr, "removeLocalDependency: 0 client or server\n");
        return -1;
    }
    graph_t *g = theGraph;
    if (!g)
        return -1;
    HostName client, server;
    LocalTestUse use;
    localName(d->dependClient, client, use);
    localName(d->dependServer, server, use);
    HostName cip, sip;
    ipHostNameOf(client, cip);
    ipHostNameOf(server, sip);
    // The same mapping addLocalDependency stored the arguments with, or a
    // record made from a line holding angle brackets is never found.
    bracketArgs(d->args, sizeof(d->args));

    graphLock(g, "removeLocalDependency");
    vertex_t *cv = findNodeLocked(g, cip, client);
    vertex_t *sv = findNodeLocked(g, sip, server);
    if (!cv || !sv) {
        graphUnlock(g, "removeLocalDependency");
        return -1;
    }
    d->client = cv;
    d->server = sv;
    linkedElement_t *c = myVertex ? findElement(myVertex->setOfEdges, d) : nullptr;
    auto *found = c ? static_cast<dependency_t *>(c->data) : nullptr;
    if (found)
        graphDisconnectEdge(g, found, 0);
    graphUnlock(g, "removeLocalDependency");
    if (!found)
        return 0;
    sendPruneDependencyTrap(d);
    releaseRecord(found);
    return 1;
}

int removeTransitDependency(dependency_t *d) {
    if (!d || d->pov != dependTransit)
        return -1;
    if (!acceptable(d, "removeTransitDependency"))
        return -1;
    graph_t *g = theGraph;
    if (!g)
        return -1;
    HostName client, server;
    hostNameOf(d->dependClient, client);
    hostNameOf(d->dependServer, server);
    graphLock(g, "removeTransitDependency");
    linkedElement_t *c = firstMatch(
        g->setOfEdges, [&](dependency_t *x) { return transitMatch(x, d->dtype, client, server, d->args); });
    auto *found = c ? static_cast<dependency_t *>(c->data) : nullptr;
    if (found)
        graphDisconnectEdge(g, found, 0);
    graphUnlock(g, "removeTransitDependency");
    if (found) {
        sendPruneDependencyTrap(d);
        releaseRecord(found);
    }
    return 0;
}

} // extern "C"
