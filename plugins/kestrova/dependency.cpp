// Dependency records: texts, identity, the add/remove/lookup families, the
// well-known connection table, the "is this the local host" test, and the
// dependency worker, which every scan interval runs the discovery modules in
// their fixed order, ages dependencies out and probes them (the modules and
// the connection-data reader are installed by init_dependencies).
#include "dependency.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "discovery.h"
#include "graph.h"
#include "graph_internal.h"
#include "kestrova_globals.h"
#include "peer.h"
#include "qel/entry_guard.h"
#include "qel/log.h"
#include "qel/strutil.h"
#include "qelplugin.h"

extern "C" {

const char *dependencyTypeStrs[33] = {
    "dependUndef(0)",   "dependOther(1)",    "dependFilesys(2)",    "dependDNS(3)",      "dependNTP(4)",
    "dependEmail(5)",   "dependDir(6)",      "dependRadius(7)",     "dependPrinter(8)",  "dependX11(9)",
    "dependLogin(10)",  "dependWeb(11)",     "dependNNTP(12)",      "dependDHCP(13)",    "dependDB(14)",
    "dependRouter(15)", "dependFTP(16)",     "dependStreaming(17)", "dependNetBIOS(18)", "dependCitrix(19)",
    "dependLotus(20)",  "dependNetware(21)", "dependMQseries(22)",  "dependP2P(23)",     "dependMiddleware(24)",
    "dependRCS(25)",    "dependRPC(26)",     "dependSIP(27)",       "dependVNC(28)",     "dependIAX(29)",
    "dependVPN(30)",    "dependVM(31)",      "dependMAX(32)"};

linkedList_t *connectionInfoList = nullptr;
// Used by the age-out pass of the dependency table; kept with the records.
linkedList_t *pruneDependencyList = nullptr;

} // extern "C"

using namespace kestrova;

namespace {

using HostName = char[kHostNameLen];

bool validLocalType(int t) {
    return t >= 1 && t <= 31;
}

// The checks an add or a transit removal makes before it touches the graph;
// each failure is reported under the caller's name.
bool acceptable(const dependency_t *d, const char *who) {
    if (!d->dependServer[0] || !d->dependClient[0]) {
        qel::logError("%s: 0 client or server\n", who);
        return false;
    }
    if (strcmp(d->dependServer, "255.255.255.255") == 0) {
        qel::logError("%s: dont add broadcast depend\n", who);
        return false;
    }
    if (!validLocalType(d->dtype)) {
        qel::logError("%s: invalid dtype\n", who);
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

// Within one add or removal a failed load of the local address list is not
// repeated (each tests several texts, and the symbol look-up takes the
// agent's lock); the next add tries again.
struct LocalTestUse {
    bool listFailed = false;
};

int thisMe(const char *nameaddr, LocalTestUse *use);

// Normalised name, replaced by the local host name when it denotes this host.
// Answers whether the normalised name is the given text unchanged.
bool localName(const char *given, HostName &out, LocalTestUse &use) {
    hostNameOf(given, out);
    bool same = strcmp(out, given) == 0;
    // The given text needs its own test only when normalising changed it.
    if (thisMe(out, &use) || (!same && thisMe(given, &use))) {
        qelCopyField(out, myhostname);
        return false;
    }
    return same;
}

// Finds the vertex named `name` (already normalised), creating and inserting
// it when missing. Host look-ups are made before the caller takes the lock.
struct NodeKey {
    HostName ip;    // as the graph's node lookup normalises
    HostName vname; // as a new vertex would be named
    const char *raw;
};

void makeKey(NodeKey &k, const char *name) {
    ipHostNameOf(name, k.ip);
    hostNameOf(name, k.vname);
    k.raw = name;
}

// As makeKey, when normalising has just left the name unchanged: its
// normal form is itself and the second look-up is saved.
void makeKey(NodeKey &k, const char *name, bool normal) {
    ipHostNameOf(name, k.ip);
    if (normal)
        qelCopyField(k.vname, name);
    else
        hostNameOf(name, k.vname);
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

void typeText(int dtype, char *buf, int len) {
    dependencyTypeToStr(dtype, buf, len);
}

dependency_t *newGraphRecord(const dependency_t *d, vertex_t *cv, vertex_t *sv, time_t now) {
    auto *rec = static_cast<dependency_t *>(calloc(1, sizeof(dependency_t)));
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
    GraphLock lock(g);
    linkedElement_t *c = firstMatch(which(), pred);
    return c ? static_cast<dependency_t *>(c->data) : nullptr;
}

linkedList_t *allEdges() {
    return theGraph->setOfEdges;
}
linkedList_t *localEdges() {
    return myVertex ? myVertex->setOfEdges : nullptr;
}

bool transitMatch(dependency_t *d, int dtype, const char *client, const char *server, const char *args) {
    return (int)d->dtype == dtype && d->pov == dependTransit && strcmp(d->dependClient, client) == 0 &&
           strcmp(d->dependServer, server) == 0 && (!args || strcmp(d->args, args) == 0);
}

// Releases a record that has left the graph.
void releaseRecord(dependency_t *d) {
    free(d);
}

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
        qel::logError("dependencySetClient: bogus\n");
        return -1;
    }
    d->client = v;
    return 0;
}

int dependencySetServer(dependency_t *d, struct vertex *v) {
    if (!d || !v) {
        qel::logError("dependencySetServer: bogus\n");
        return -1;
    }
    d->server = v;
    return 0;
}

struct vertex *dependencyGetClient(dependency_t *d) {
    return d ? d->client : nullptr;
}
struct vertex *dependencyGetServer(dependency_t *d) {
    return d ? d->server : nullptr;
}

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
    printf("ConnectionInfo: proto:%s port:%d dtype:%d args:'%s'\n", c->proto, (int)c->port, (int)c->dtype, c->args);
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

int isThisMe(const char *nameaddr) {
    return thisMe(nameaddr, nullptr);
}

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
    bool loaded = !(use && use->listFailed) && loadAddressList();
    if (use && !loaded)
        use->listFailed = true;
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
    GraphLock lock(g);
    linkedElement_t *c = firstMatch(
        myVertex->setOfEdges, [dtype](dependency_t *d) { return d->client == myVertex && (int)d->dtype == dtype; });
    return c ? 1 : 0;
}

dependency_t *findDependency(dependency_t *match) {
    graph_t *g = theGraph;
    if (!g || !match)
        return nullptr;
    GraphLock lock(g);
    linkedElement_t *c = findElement(g->setOfEdges, match);
    return c ? static_cast<dependency_t *>(c->data) : nullptr;
}

dependency_t *findLocalDependency(dependency_t *match) {
    graph_t *g = theGraph;
    if (!g || !match)
        return nullptr;
    GraphLock lock(g);
    linkedElement_t *c = myVertex ? findElement(myVertex->setOfEdges, match) : nullptr;
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

extern "C" {

// The lookup, the refresh and the insertion of one add happen under one hold
// of the graph lock: a found record cannot be released by a concurrent
// removal before it is refreshed, and two adds of the same dependency cannot
// both insert it. Host look-ups are made before the lock is taken.
// Other plug-ins reach this and removeLocalDependency by name.
__attribute__((visibility("default"))) int addLocalDependency(dependency_t *d) {
    if (!d)
        return -1;
    if (!acceptable(d, "addLocalDependency"))
        return -1;
    graph_t *g = theGraph;
    if (!g) {
        qel::logError("addLocalDependency: no graph\n");
        return -1;
    }
    bracketArgs(d->args, sizeof(d->args));
    HostName origClient, origServer, client, server;
    qelCopyField(origClient, d->dependClient);
    qelCopyField(origServer, d->dependServer);
    LocalTestUse use;
    bool clientNormal = localName(origClient, client, use);
    bool serverNormal = localName(origServer, server, use);
    NodeKey ck, sk;
    makeKey(ck, client, clientNormal);
    makeKey(sk, server, serverNormal);

    GraphLock lock(g);
    time_t now = time(nullptr);
    vertex_t *cv = nodeLocked(g, ck);
    vertex_t *sv = nodeLocked(g, sk);
    if (!cv || !sv) {
        qel::logError("addLocalDependency: no vertex\n");
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
    if (linkedElement_t *found = findElement(local ? myVertex->setOfEdges : g->setOfEdges, d)) {
        static_cast<dependency_t *>(found->data)->lastUpdate = now;
        return 0;
    }
    dependency_t *rec = newGraphRecord(d, cv, sv, now);
    if (!rec) {
        qeldLog("addLocalDependency: malloc failed");
        return -1;
    }
    rec->ipVersion = d->ipVersion;
    rec->logfileDependencyAgeOut = d->logfileDependencyAgeOut;
    qelCopyField(rec->originalClient, origClient);
    qelCopyField(rec->originalServer, origServer);
    insertEdgeLocked(g, rec);
    return 1;
}

} // extern "C"

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

    GraphLock lock(g);
    time_t now = time(nullptr);
    linkedElement_t *found =
        firstMatch(g->setOfEdges, [&](dependency_t *x) { return transitMatch(x, d->dtype, client, server, d->args); });
    // A record already in the graph is refreshed, not added again.
    auto refreshFound = [&](linkedElement_t *cell) {
        auto *rec = static_cast<dependency_t *>(cell->data);
        printf("addTransitDependency: updating entry: ");
        dependencyPrint(rec);
        rec->lastUpdate = now;
        return 0;
    };
    if (found)
        return refreshFound(found);
    if (clientIsMe || serverIsMe) {
        qel::logError(clientIsMe ? "addTransitDependency: I cant be client if transit\n"
                                 : "addTransitDependency: I cant be server if transit\n");
        return -1;
    }
    vertex_t *cv = nodeLocked(g, ck);
    vertex_t *sv = nodeLocked(g, sk);
    if (!cv || !sv) {
        qel::logError("addTransitDependency: no vertex\n");
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
        qeldLog("addTransitDependency: malloc failed");
        return -1;
    }
    rec->ipVersion = d->ipVersion;
    rec->logfileDependencyAgeOut = d->logfileDependencyAgeOut;
    printf("addTransitDependency: %x %s/%x ->%d/%d (%s) ->%s/%x\n", (unsigned)(uintptr_t)rec, cv->name,
           (unsigned)(uintptr_t)cv, (int)rec->dtype, (int)rec->pov, rec->args, sv->name, (unsigned)(uintptr_t)sv);
    insertEdgeLocked(g, rec);
    return 1;
}

int addGeneralDependency(dependency_t *d) {
    graph_t *g = theGraph;
    if (!d || !g)
        return -1;
    // A name or address of this host stands for this host.
    HostName client, server;
    LocalTestUse use;
    bool clientNormal = localName(d->dependClient, client, use);
    bool serverNormal = localName(d->dependServer, server, use);
    qelCopyField(d->dependClient, client);
    qelCopyField(d->dependServer, server);
    NodeKey ck, sk;
    makeKey(ck, client, clientNormal);
    makeKey(sk, server, serverNormal);

    GraphLock lock(g);
    time_t now = time(nullptr);
    vertex_t *cv = nodeLocked(g, ck);
    vertex_t *sv = nodeLocked(g, sk);
    if (!cv || !sv) {
        qel::logError("addGeneralDependency: no vertex\n");
        return -1;
    }
    cv->lastUpdate = sv->lastUpdate = now;
    d->client = cv;
    d->server = sv;
    linkedElement_t *found = findElement(g->setOfEdges, d);
    if (found) {
        static_cast<dependency_t *>(found->data)->lastUpdate = now;
        return 0;
    }
    dependency_t *rec = newGraphRecord(d, cv, sv, now);
    if (!rec) {
        qeldLog("addGeneralDependency: malloc failed");
        return -1;
    }
    insertEdgeLocked(g, rec);
    return 1;
}

} // extern "C"

namespace kestrova {

int addLearnedDependency(dependency_t *d) {
    graph_t *g = theGraph;
    if (!d || !g || !d->dependClient[0] || !d->dependServer[0])
        return -1;
    HostName client, server;
    LocalTestUse use;
    bool clientNormal = localName(d->dependClient, client, use);
    // This host's own dependencies: its own sources alone confirm them.
    if (!clientNormal && strcmp(client, myhostname) == 0)
        return 0;
    bool serverNormal = localName(d->dependServer, server, use);
    qelCopyField(d->dependClient, client);
    qelCopyField(d->dependServer, server);
    NodeKey ck, sk;
    makeKey(ck, client, clientNormal);
    makeKey(sk, server, serverNormal);

    GraphLock lock(g);
    vertex_t *cv = nodeLocked(g, ck);
    if (!cv)
        return -1;
    if (cv == myVertex)
        return 0;
    vertex_t *sv = nodeLocked(g, sk);
    if (!sv) {
        qel::logError("addLearnedDependency: no vertex\n");
        return -1;
    }
    time_t now = time(nullptr);
    d->client = cv;
    d->server = sv;
    if (linkedElement_t *found = findElement(g->setOfEdges, d)) {
        // A record this host made itself (a point of view of its own) is
        // not refreshed by a copy of it: two agents holding each other's
        // copies would otherwise keep it alive for ever.
        auto *rec = static_cast<dependency_t *>(found->data);
        if (rec->pov == dependNA) {
            rec->lastUpdate = now;
            cv->lastUpdate = sv->lastUpdate = now;
        }
        return 0;
    }
    cv->lastUpdate = sv->lastUpdate = now;
    dependency_t *rec = newGraphRecord(d, cv, sv, now);
    if (!rec) {
        qeldLog("addLearnedDependency: malloc failed");
        return -1;
    }
    insertEdgeLocked(g, rec);
    return 1;
}

int addLearnedDependency(const char *client, const char *server, int dtype, const char *args) {
    if (!client || !server || dtype == 0)
        return -1;
    auto d = std::make_unique<dependency_t>();
    d->dtype = (dependencyType_t)dtype;
    d->dsrc = dependSrcDynamic;
    d->pov = dependNA;
    qelCopyField(d->dependClient, client);
    qelCopyField(d->dependServer, server);
    if (args)
        qelCopyField(d->args, args);
    return addLearnedDependency(d.get());
}

} // namespace kestrova

extern "C" {

int addGeneralDependencyByArgs(const char *client, const char *server, int dtype, const char *args, int dsrc) {
    if (!client || !server || dtype == 0) {
        qel::logError("addGeneralDependencyByArgs: invalid info\n");
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
        qel::logError("removeLocalDependency: 0 client or server\n");
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

    dependency_t *found = nullptr;
    {
        GraphLock lock(g);
        vertex_t *cv = findNodeLocked(g, cip, client);
        vertex_t *sv = findNodeLocked(g, sip, server);
        if (!cv || !sv)
            return -1;
        d->client = cv;
        d->server = sv;
        linkedElement_t *c = myVertex ? findElement(myVertex->setOfEdges, d) : nullptr;
        found = c ? static_cast<dependency_t *>(c->data) : nullptr;
        if (found)
            graphDisconnectEdge(g, found, 0);
    }
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
    dependency_t *found = nullptr;
    {
        GraphLock lock(g);
        linkedElement_t *c = firstMatch(
            g->setOfEdges, [&](dependency_t *x) { return transitMatch(x, d->dtype, client, server, d->args); });
        found = c ? static_cast<dependency_t *>(c->data) : nullptr;
        if (found)
            graphDisconnectEdge(g, found, 0);
    }
    if (found) {
        sendPruneDependencyTrap(d);
        releaseRecord(found);
    }
    return 0;
}

} // extern "C"

// ---- the dependency worker ----

namespace {

// No discovery until init_dependencies installs the modules.
std::atomic<const discoveryEntry_t *> discoveryTable{nullptr};
std::atomic<int> discoveryCount{0};
std::atomic<int (*)(const char *, linkedList_t *)> connectionDataReader{nullptr};

bool workerStopping() {
    return kestrova_thread_kill.load(std::memory_order_relaxed) != 0;
}

} // namespace

extern "C" {

char kestrovaConnDataFile[KESTROVA_PATH_LEN] = "";

void kestrovaSetDiscoveryTable(const discoveryEntry_t *table, int count) {
    if (!table || count <= 0) {
        table = nullptr;
        count = 0;
    }
    // Count 0 first: a reader never pairs the new table with an old count.
    discoveryCount.store(0, std::memory_order_release);
    discoveryTable.store(table, std::memory_order_release);
    discoveryCount.store(count, std::memory_order_release);
}

void kestrovaSetConnectionDataReader(int (*reader)(const char *path, linkedList_t *list)) {
    connectionDataReader.store(reader, std::memory_order_release);
}

// One pass of the worker; 0 when the stop flag ended it.
int kestrovaDependencyPass(void) {
    auto reader = connectionDataReader.load(std::memory_order_acquire);
    if (reader && connectionInfoList && kestrovaConnDataFile[0])
        reader(kestrovaConnDataFile, connectionInfoList);
    int n = discoveryCount.load(std::memory_order_acquire);
    const discoveryEntry_t *table = discoveryTable.load(std::memory_order_acquire);
    if (!table)
        n = 0;
    for (int i = 0; i < n; i++) {
        if (table[i].fn)
            table[i].fn();
        if ((i + 1 == n || table[i + 1].group != table[i].group) && workerStopping())
            return 0;
    }
    pruneDependencies(1, dependencyAgeOutInterval.load(std::memory_order_relaxed));
    if (workerStopping())
        return 0;
    pruneDependencies(0, peerAgeOutInterval.load(std::memory_order_relaxed));
    if (workerStopping())
        return 0;
    checkDependencies();
    if (workerStopping())
        return 0;
    return 1;
}

void *dependency_dowork(void *) {
    qel::logInfo("dependency_dowork starting\n");
    qel::guardedVoid("dependency_dowork", [] {
        while (!workerStopping()) {
            // The parameter file refuses intervals below 4; a 0-second
            // quarter would spin.
            int quarter = std::max(1, dependencyScanInterval.load(std::memory_order_relaxed) / 4);
            bool slept = true;
            for (int i = 0; i < 4 && slept; i++)
                slept = kestrovaSleep(quarter) != 0;
            // Woken by the stop flag: no discovery run after it.
            if (slept && !kestrovaDependencyPass())
                return;
        }
    });
    printf("dependency worker returning\n");
    fflush(stdout);
    return nullptr;
}

} // extern "C"
