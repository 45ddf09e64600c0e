// link: kestrova_core
// Peers: the indexed peer walk against vertexIsPeer, the pairing of a peer's
// table against the nested loop, the worker's pauses, the peer list,
// checks, pruning, traps and the peer table; and exchanges with a fake peer
// agent on 127.0.0.2 (TLS with the test CA) that answers well, badly, too
// much, or too slowly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent_testutil.h"
#include "graph.h"
#include "kestrova_test_host.h"
#include "peer.h"
#include "qel/qel_session.h"
#include "vertex.h"

using kestrova::DependencyRow;

namespace {

// ---- helpers ----

std::mutex askedMu;
std::vector<std::string> asked;

// Sessions to peers: "peer.test" is the fake agent on 127.0.0.2; any other
// name is only recorded (no packet leaves the machine).
qelSession_t *testConnector(const char *host, int ipVersion, int port, int timeout, const char *user, int totalMs) {
    {
        std::lock_guard g(askedMu);
        asked.push_back(host);
    }
    if (std::string(host) != "peer.test")
        return nullptr;
    return newQelSessionConnectHostnameWithin("127.0.0.2", ipVersion, port, timeout, user, totalMs);
}

std::vector<std::string> takeAsked() {
    std::lock_guard g(askedMu);
    auto out = asked;
    asked.clear();
    return out;
}

dependency_t *newRecord(vertex_t *c, vertex_t *s, int dtype) {
    auto *d = static_cast<dependency_t *>(calloc(1, sizeof(dependency_t)));
    d->dtype = (dependencyType_t)dtype;
    d->client = c;
    d->server = s;
    qelCopyField(d->dependClient, c->name);
    qelCopyField(d->dependServer, s->name);
    snprintf(d->args, sizeof d->args, "%p", (void *)d);
    return d;
}

void setPeers(const std::vector<std::string> &names) {
    drainLinkedList(peerList);
    for (const auto &n : names)
        insertTail(peerList, peerNew(n.c_str()));
}

std::vector<std::string> peerNames() {
    std::vector<std::string> out;
    int n = 0;
    auto *p = static_cast<peerNode_t *>(toArrayCopy(peerList, &n));
    for (int i = 0; i < n; i++)
        out.push_back(p[i].nameaddr);
    free(p);
    return out;
}

int addLocal(int dtype, int pov, const char *client, const char *server) {
    dependency_t d{};
    d.dtype = (dependencyType_t)dtype;
    d.pov = (dependencyReference_t)pov;
    d.dsrc = dependSrcDynamic;
    qelCopyField(d.dependClient, client);
    qelCopyField(d.dependServer, server);
    qelCopyField(d.originalClient, client);
    qelCopyField(d.originalServer, server);
    return addLocalDependency(&d);
}

class PeerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        init_peers();
        kestrova::setPeerConnector(testConnector);
    }
    void SetUp() override {
        testhost::reset();
        testhost::setupGraph();
        takeAsked();
        setPeers({});
        peerGroup.store(1);
        peerAgeOutInterval.store(1800);
    }
    void TearDown() override {
        kestrova::setPeerProber(nullptr);
        testhost::teardownGraph();
    }
};

// ---- worker pauses ----

TEST(PeerPause, StepsOfFifteenSecondsOrTwentyWhenTheQuotientIsZero) {
    EXPECT_EQ(kestrova::peerPauseSteps(100), 6);
    EXPECT_EQ(kestrova::peerPauseSteps(900), 60);
    EXPECT_EQ(kestrova::peerPauseSteps(10), 20);
    EXPECT_EQ(kestrova::peerPauseSteps(0), 20);
    EXPECT_EQ(kestrova::peerPauseSteps(15), 1);
    EXPECT_EQ(kestrova::peerPauseSteps(14), 20);
}

// ---- the indexed walk ----

TEST(PeerWalk, SameAnswersAsVertexIsPeerOnRandomGraphs) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; round++) {
        graph_t *g = graphNew("walk");
        int nv = 2 + (int)(rng() % 25), ne = (int)(rng() % 90);
        std::vector<vertex_t *> vs;
        for (int i = 0; i < nv; i++) {
            vs.push_back(vertexNew(("v" + std::to_string(i)).c_str()));
            graphInsertNode(g, vs.back());
        }
        vertex_t *me = vs[rng() % vs.size()];
        for (int i = 0; i < ne; i++) {
            // A small choice of vertices and types makes pairs frequent;
            // self-loops and duplicates included.
            vertex_t *c = vs[rng() % vs.size()], *s = vs[rng() % vs.size()];
            if (rng() % 3 == 0)
                c = me;
            graphInsertEdge(g, newRecord(c, s, (int)(rng() % 3)));
        }
        std::vector<kestrova::PeerMatch> expected;
        for (linkedElement_t *n = g->setOfNodes->head; n; n = n->next) {
            auto *v = static_cast<vertex_t *>(n->data);
            int t = -1;
            vertex_t *server = nullptr;
            if (v != me && vertexIsPeer(v, me, &t, &server))
                expected.push_back({v, t, server});
        }
        graphLock(g, "test");
        auto got = kestrova::peerWalkLocked(g, me);
        graphUnlock(g, "test");
        ASSERT_EQ(got.size(), expected.size()) << "round " << round;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].vertex, expected[i].vertex) << "round " << round;
            EXPECT_EQ(got[i].dtype, expected[i].dtype) << "round " << round;
            EXPECT_EQ(got[i].server, expected[i].server) << "round " << round;
        }
        testhost::teardownGraph(g);
    }
}

// ---- pairing of a peer's table ----

struct Pair {
    size_t local, peer;
    int rule;
    bool operator==(const Pair &o) const { return local == o.local && peer == o.peer && rule == o.rule; }
};

struct PairLog {
    const std::vector<DependencyRow> *local, *peer;
    std::vector<Pair> pairs;
};

void logPair(void *ctx, const DependencyRow &l, const DependencyRow &p, int rule) {
    auto *log = static_cast<PairLog *>(ctx);
    log->pairs.push_back({(size_t)(&l - log->local->data()), (size_t)(&p - log->peer->data()), rule});
}

TEST(PeerPairing, IndexGivesTheNestedLoopsAddsInItsOrder) {
    std::mt19937 rng(777);
    const char *names[] = {"s1", "s2", "sys", "me", "c1"};
    auto row = [&] {
        DependencyRow r;
        r.dtype = (int)(rng() % 3);
        r.pov = (int)(rng() % 4);
        r.client = names[rng() % 5];
        r.server = names[rng() % 5];
        r.args = std::to_string(rng() % 100);
        return r;
    };
    size_t total = 0;
    for (int round = 0; round < 300; round++) {
        std::vector<DependencyRow> local(rng() % 40), peer(rng() % 40);
        for (auto &r : local)
            r = row();
        for (auto &r : peer)
            r = row();
        std::vector<Pair> expected;
        for (size_t i = 0; i < local.size(); i++)
            for (size_t j = 0; j < peer.size(); j++) {
                const auto &l = local[i], &p = peer[j];
                if (l.server == p.server && l.dtype == p.dtype && l.pov == dependOutbound && l.server != "sys")
                    expected.push_back({i, j, 1});
                if (p.server == "sys" && l.server == "sys" && l.dtype == p.dtype && p.client != "me")
                    expected.push_back({i, j, 2});
            }
        PairLog log{&local, &peer, {}};
        kestrova::pairPeerRows(local, peer, "sys", "me", logPair, &log);
        ASSERT_EQ(log.pairs, expected) << "round " << round;
        total += expected.size();
    }
    EXPECT_GT(total, 1000u); // both rules were exercised often
}

// ---- traps ----

TEST_F(PeerTest, PruneTrapsGoToEveryPeerWithTheirVariables) {
    setPeers({"p1.test", "p2.test"});
    peerNode_t node{};
    qelCopyField(node.nameaddr, "gone.test");
    EXPECT_EQ(sendPrunePeerTrap(&node), 1);
    dependency_t d{};
    d.dtype = dependNTP;
    d.pov = dependInbound;
    qelCopyField(d.dependClient, "cl.test");
    qelCopyField(d.dependServer, "sv.test");
    qelCopyField(d.args, "a b");
    EXPECT_EQ(sendPruneDependencyTrap(&d), 1);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 4u);
    EXPECT_EQ(traps[0].host, "p1.test");
    EXPECT_EQ(traps[1].host, "p2.test");
    EXPECT_EQ(traps[0].eventType, "kestrova.prunePeer");
    EXPECT_EQ(traps[0].sysObjectID, KESTROVA_ENTERPRISE_OID);
    EXPECT_EQ(traps[0].msgType, Trap);
    ASSERT_EQ(traps[0].vars.size(), 3u);
    EXPECT_EQ(traps[0].vars[0].obj, "trapType");
    EXPECT_EQ(traps[0].vars[0].value, "kestrova.prunePeer");
    EXPECT_EQ(traps[0].vars[1].value, KESTROVA_ENTERPRISE_OID);
    EXPECT_EQ(traps[0].vars[2].mib, "kestrova");
    EXPECT_EQ(traps[0].vars[2].obj, "peerName");
    EXPECT_EQ(traps[0].vars[2].value, "gone.test");
    EXPECT_EQ(traps[2].eventType, "kestrova.pruneDependency");
    ASSERT_EQ(traps[2].vars.size(), 6u);
    EXPECT_EQ(traps[2].vars[2].value, "dependNTP(4)/4");
    EXPECT_EQ(traps[2].vars[3].value, "inbound(1)");
    EXPECT_EQ(traps[2].vars[4].value, "cl.test");
    EXPECT_EQ(traps[2].vars[5].value, "a b");
}

TEST_F(PeerTest, WithoutPeersTrapsFailAndTheLogLineIsLimited) {
    dependency_t d{};
    d.dtype = dependDNS;
    int failures = 0;
    for (int i = 0; i < 30; i++)
        failures += sendPruneDependencyTrap(&d) == -1;
    peerNode_t node{};
    EXPECT_EQ(sendPrunePeerTrap(&node), -1);
    EXPECT_EQ(failures, 30);
    EXPECT_TRUE(testhost::sentTraps().empty());
    int depLines = 0, peerLines = 0;
    for (const auto &l : testhost::logs) {
        depLines += l == "Kestrova: could not get copy of peer list for sending prune dependency trap";
        peerLines += l == "Kestrova: could not get copy of peer list for sending prune peer trap";
    }
    EXPECT_GE(depLines, 1);
    EXPECT_LE(depLines, 20);
    EXPECT_EQ(peerLines, 1);
}

// ---- peer list, peer table ----

struct Columns {
    qelVar_t defs[10]{};
    qelVariable_t vars[10]{};
    // Request variables for the given column numbers, linked in order.
    qelVariable_t *make(const std::vector<unsigned> &cols) {
        for (size_t i = 0; i < cols.size(); i++) {
            defs[i].hint = cols[i];
            qelCopyField(vars[i].varName.mibName, "kestrova");
            snprintf(vars[i].varName.objName, sizeof vars[i].varName.objName, "col%u", cols[i]);
            vars[i].entryPtr = &defs[i];
            vars[i].next = i + 1 < cols.size() ? &vars[i + 1] : nullptr;
        }
        return vars;
    }
};

std::vector<std::string> values(const qelPdu_t &out) {
    std::vector<std::string> v;
    for (qelVariable_t *p = out.varList; p; p = p->next)
        v.push_back(p->valueBuf ? p->valueBuf : p->valueStr);
    return v;
}

// me and a.test both use s.test for DNS (a.test is a peer); b.test uses it
// for NTP (not a peer); c.test depends on me (never a peer through me).
void sharedServerGraph() {
    addGeneralDependencyByArgs("myhost.example.com", "s.test", dependDNS, "", dependSrcDynamic);
    addGeneralDependencyByArgs("a.test", "s.test", dependDNS, "", dependSrcDynamic);
    addGeneralDependencyByArgs("b.test", "s.test", dependNTP, "", dependSrcDynamic);
    addGeneralDependencyByArgs("c.test", "myhost.example.com", dependDNS, "", dependSrcDynamic);
}

TEST_F(PeerTest, GetPeersAndThePeerTable) {
    sharedServerGraph();
    EXPECT_EQ(getPeers(), 1);
    EXPECT_EQ(peerNames(), std::vector<std::string>{"a.test"});
    EXPECT_EQ(getNumberPeers(), 1);
    graphUpdateVertexReachable(theGraph, "a.test", 1, 1000);
    graphUpdateVertexContact(theGraph, "a.test", 2000);

    Columns c;
    qelPdu_t out{};
    char all[] = "*";
    ASSERT_EQ(var_peerTable(all, c.make({1, 2, 3, 4, 5, 6, 7, 8}), &out), noError);
    char t1[32], t2[32];
    qelConvertTimeStr(2000, t1, sizeof t1);
    qelConvertTimeStr(1000, t2, sizeof t2);
    EXPECT_EQ(values(out), (std::vector<std::string>{"a.test", "s.test", "0", "3", t1, "0", "true", t2}));
    EXPECT_STREQ(out.varList->varName.key, "a.test.3");
    EXPECT_EQ(out.varList->next->next->next->next->varSyntax, dateTime);
    EXPECT_EQ(out.varListTail->varSyntax, dateTime);
    qelPduCleanup(&out);

    char exact[] = "a.test.3", none[] = "a.test.4";
    out = {};
    ASSERT_EQ(var_peerTable(exact, c.make({7}), &out), noError);
    EXPECT_EQ(values(out), std::vector<std::string>{"true"});
    EXPECT_EQ(out.varList->varSyntax, extendedBoolean);
    qelPduCleanup(&out);
    out = {};
    ASSERT_EQ(var_peerTable(none, c.make({1}), &out), noError);
    EXPECT_EQ(out.numberVariables, 0);
    qelPduCleanup(&out);

    // Not yet probed, or any other value: "unknown", as the dependency
    // table writes it; a bad column after a good one.
    for (int reachable : {2, 7}) {
        graphUpdateVertexReachable(theGraph, "a.test", reachable, 0);
        out = {};
        ASSERT_EQ(var_peerTable(all, c.make({7, 8}), &out), noError);
        EXPECT_EQ(values(out), (std::vector<std::string>{"unknown", ""})) << reachable;
        qelPduCleanup(&out);
    }
    out = {};
    EXPECT_EQ(var_peerTable(all, c.make({1, 9}), &out), noSuchName);
    EXPECT_EQ(out.errorIndex, 1u);
    qelPduCleanup(&out);

    EXPECT_EQ(var_peerTable(nullptr, c.make({1}), &out), genError);
    peerGroup.store(0);
    out = {};
    EXPECT_EQ(var_peerTable(all, c.make({1}), &out), noSuchName);
    qelPduCleanup(&out);
}

// A peer's copy of one of this host's own dependencies neither refreshes
// it nor brings it back once aged out; copies of dependencies on this host
// and between other hosts are learned and refreshed by each report.
TEST_F(PeerTest, PeerRowsNeverConfirmThisHostsOwnDependencies) {
    ASSERT_EQ(addLocal(dependNTP, dependOutbound, "myhost.example.com", "peer.test"), 1);
    dependency_t *own = findDependencyByType(dependNTP, "myhost.example.com", "peer.test");
    ASSERT_NE(own, nullptr);
    own->lastUpdate = 1;
    // Seen by this host's own discovery as a client of it.
    ASSERT_EQ(addLocal(dependLogin, dependInbound, "peer.test", "myhost.example.com"), 1);
    dependency_t *inbound = findDependencyByType(dependLogin, "peer.test", "myhost.example.com");
    ASSERT_NE(inbound, nullptr);
    inbound->lastUpdate = 1;
    auto report = [] {
        std::vector<DependencyRow> rows = {{dependNTP, dependInbound, "myhost.example.com", "peer.test", ""},
                                           {dependLogin, dependOutbound, "localhost", "myhost.example.com", ""},
                                           {dependDNS, dependOutbound, "localhost", "myhost.example.com", ""},
                                           {dependDNS, dependOutbound, "localhost", "dns.test", ""}};
        return kestrova::mergePeerDependencyRows(rows, "peer.test");
    };
    EXPECT_EQ(report(), 4);
    EXPECT_EQ(own->lastUpdate, 1);
    EXPECT_EQ(own->pov, dependOutbound);
    EXPECT_EQ(inbound->lastUpdate, 1);
    EXPECT_EQ(inbound->pov, dependInbound);
    dependency_t *onMe = findDependencyByType(dependDNS, "peer.test", "myhost.example.com");
    dependency_t *third = findDependencyByType(dependDNS, "peer.test", "dns.test");
    ASSERT_NE(onMe, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(onMe->pov, dependNA);

    // The own record ages out and stays out; the learned ones are
    // refreshed by the report.
    pruneDependencies(1, 5);
    EXPECT_EQ(findDependencyByType(dependNTP, "myhost.example.com", "peer.test"), nullptr);
    ASSERT_EQ(findDependencyByType(dependDNS, "peer.test", "myhost.example.com"), onMe);
    onMe->lastUpdate = third->lastUpdate = 1;
    EXPECT_EQ(report(), 4);
    EXPECT_EQ(findDependencyByType(dependNTP, "myhost.example.com", "peer.test"), nullptr);
    EXPECT_GT(onMe->lastUpdate, 1);
    EXPECT_GT(third->lastUpdate, 1);

    // The derived rows follow the same rule: this host as client is dropped.
    std::vector<DependencyRow> local = {{dependDNS, dependOutbound, "myhost.example.com", "peer.test", ""}};
    std::vector<DependencyRow> peer = {{dependDNS, dependNA, "127.0.0.1", "peer.test", "x"},
                                       {dependDNS, dependNA, "other.test", "peer.test", "y"}};
    struct Ctx {
        int added = 0;
    } ctx;
    kestrova::pairPeerRows(
        local, peer, "peer.test", "not-my-name",
        [](void *c, const DependencyRow &, const DependencyRow &p, int) {
            static_cast<Ctx *>(c)->added +=
                kestrova::addLearnedDependency(p.client.c_str(), "peer.test", dependDNS, p.args.c_str()) == 1;
        },
        &ctx);
    EXPECT_EQ(ctx.added, 1);
    EXPECT_EQ(findDependencyByType(dependDNS, "myhost.example.com", "peer.test"), nullptr);
    EXPECT_NE(findDependencyByType(dependDNS, "other.test", "peer.test"), nullptr);
}

TEST_F(PeerTest, GetPeersReplacesTheListAndEmptiesIt) {
    setPeers({"old1.test", "old2.test"});
    sharedServerGraph();
    getPeers();
    EXPECT_EQ(peerNames(), std::vector<std::string>{"a.test"});
    testhost::teardownGraph();
    testhost::setupGraph();
    getPeers();
    EXPECT_TRUE(peerNames().empty());
}

TEST_F(PeerTest, TrapsSentWhileThePeerListIsRebuiltFindThePeers) {
    sharedServerGraph();
    getPeers();
    std::atomic<bool> done{false};
    std::atomic<int> rebuilds{0};
    std::thread rebuild([&] {
        while (!done.load()) {
            getPeers();
            rebuilds++;
        }
    });
    while (rebuilds.load() == 0)
        std::this_thread::yield();
    dependency_t d{};
    d.dtype = dependDNS;
    int failures = 0;
    for (int i = 0; i < 3000; i++)
        failures += sendPruneDependencyTrap(&d) != 1;
    done = true;
    rebuild.join();
    EXPECT_GT(rebuilds.load(), 1);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(peerNames(), std::vector<std::string>{"a.test"});
}

// ---- checks ----

std::vector<std::vector<std::string>> proberCalls;
int scriptedProber(int, const char *const *hosts, int count, kestrovaPingArgs_t *, int *results, int *, int *) {
    std::vector<std::string> names;
    int answered = 0;
    for (int i = 0; i < count; i++) {
        names.push_back(hosts[i]);
        results[i] = std::string(hosts[i]) == "a.test" ? 1 : (std::string(hosts[i]) == "d.test" ? -4 : 0);
        answered += results[i] > 0;
    }
    proberCalls.push_back(names);
    return answered;
}

TEST_F(PeerTest, CheckPeersProbesOnceAndRecordsContacts) {
    sharedServerGraph();
    addGeneralDependencyByArgs("d.test", "s.test", dependDNS, "", dependSrcDynamic);
    addGeneralDependencyByArgs("e.test", "s.test", dependDNS, "", dependSrcDynamic);
    graphUpdateVertexReachable(theGraph, "d.test", 1, 55);
    testhost::peerModules["a.test"] = 1;
    testhost::peerModules["e.test"] = 1;
    proberCalls.clear();
    kestrova::setPeerProber(scriptedProber);
    time_t before = time(nullptr);
    checkPeers();
    ASSERT_EQ(proberCalls.size(), 1u); // one wave for every peer
    EXPECT_EQ(proberCalls[0], (std::vector<std::string>{"a.test", "d.test", "e.test"}));
    EXPECT_EQ(testhost::peerModulesAsked, (std::vector<std::string>{"a.test", "d.test", "e.test"}));
    vertex_t *a = graphGetNodeByName(theGraph, "a.test");
    vertex_t *d = graphGetNodeByName(theGraph, "d.test");
    vertex_t *e = graphGetNodeByName(theGraph, "e.test");
    ASSERT_TRUE(a && d && e);
    EXPECT_EQ(a->reachable, 1);
    EXPECT_GE(a->reachableTime, before);
    EXPECT_GE(a->contactTime, before);
    EXPECT_EQ(d->reachable, 0); // an error counts as no answer
    EXPECT_EQ(d->reachableTime, 0);
    EXPECT_EQ(d->contactTime, 0);
    EXPECT_EQ(e->reachable, 0);
    EXPECT_GE(e->contactTime, before);
}

// ---- pruning ----

TEST_F(PeerTest, PruneRemovesOldVerticesApartFromMeAndTellsThePeers) {
    addGeneralDependencyByArgs("myhost.example.com", "adj.test", dependDNS, "", dependSrcDynamic);
    addGeneralDependencyByArgs("old.test", "far.test", dependNTP, "", dependSrcDynamic);
    addGeneralDependencyByArgs("fresh.test", "far2.test", dependNTP, "", dependSrcDynamic);
    time_t now = time(nullptr);
    graphLock(theGraph, "test");
    for (linkedElement_t *n = theGraph->setOfNodes->head; n; n = n->next) {
        auto *v = static_cast<vertex_t *>(n->data);
        std::string name = v->name;
        v->lastUpdate = name == "fresh.test" || name == "far2.test" ? now : now - 1801;
    }
    myVertex->lastUpdate = now - 5000;
    graphUnlock(theGraph, "test");
    setPeers({"p.test"});
    int edgesBefore = getSizeOfGraph(theGraph);
    EXPECT_EQ(prunePeers(), 0);
    EXPECT_NE(graphGetNodeByName(theGraph, "myhost.example.com"), nullptr);
    EXPECT_NE(graphGetNodeByName(theGraph, "adj.test"), nullptr); // adjacent: never pruned
    EXPECT_NE(graphGetNodeByName(theGraph, "fresh.test"), nullptr);
    EXPECT_EQ(graphGetNodeByName(theGraph, "old.test"), nullptr);
    EXPECT_EQ(graphGetNodeByName(theGraph, "far.test"), nullptr);
    EXPECT_EQ(getSizeOfGraph(theGraph), edgesBefore - 1);
    std::vector<std::string> pruned;
    for (const auto &t : testhost::sentTraps()) {
        EXPECT_EQ(t.host, "p.test");
        EXPECT_EQ(t.eventType, "kestrova.prunePeer");
        pruned.push_back(t.vars.at(2).value);
    }
    EXPECT_EQ(pruned, (std::vector<std::string>{"old.test", "far.test"}));
}

// ---- the search ----

std::vector<arpEntry_t> arps;
int fakeNumberArps() {
    return (int)arps.size();
}
int fakeArpTable(arpEntry_t *copy, int max) {
    int n = std::min(max, (int)arps.size());
    for (int i = 0; i < n; i++)
        copy[i] = arps[(size_t)i];
    return n;
}
arpEntry_t arp(const char *addr, int hwlen) {
    arpEntry_t e{};
    inet_pton(AF_INET, addr, &e.ipv4addr);
    e.hwaddrlen = hwlen;
    qelCopyField(e.ifname, "eth0");
    return e;
}

TEST_F(PeerTest, FindPeersAsksDependencyPeersThenAnsweringNeighbours) {
    arps = {arp("192.0.2.10", 6), arp("192.0.2.11", 0), arp("224.0.0.0", 6),
            arp("127.0.0.53", 6), arp("192.0.2.10", 6), arp("192.0.2.12", 6)};
    // No local dependency: nobody is asked, not even neighbours.
    testhost::symbols["mib2GetNumberArps"] = reinterpret_cast<void *>(fakeNumberArps);
    testhost::symbols["mib2GetArpTable"] = reinterpret_cast<void *>(fakeArpTable);
    EXPECT_EQ(findPeers(), 1);
    EXPECT_TRUE(takeAsked().empty());

    ASSERT_GE(addLocal(dependDNS, dependOutbound, "myhost.example.com", "dns1.test"), 0);
    ASSERT_GE(addLocal(dependLogin, dependInbound, "client1.test", "myhost.example.com"), 0);
    ASSERT_GE(addLocal(dependWeb, dependOutbound, "myhost.example.com", "localhost"), 0);
    testhost::addHost("192.0.2.12", "dns1.test"); // a name already asked
    EXPECT_EQ(findPeers(), 1);
    auto first = takeAsked();
    EXPECT_EQ(first, (std::vector<std::string>{"dns1.test", "client1.test", "192.0.2.10"}));
    // The visited names are forgotten after each pass.
    EXPECT_EQ(findPeers(), 1);
    EXPECT_EQ(takeAsked(), first);

    testhost::symbols.clear();
    EXPECT_EQ(findPeers(), 1);
    EXPECT_EQ(takeAsked(), (std::vector<std::string>{"dns1.test", "client1.test"}));
    bool logged = false;
    for (const auto &l : testhost::logs)
        logged |= l == "Kestrova: failed to get arp symbols for peer search";
    EXPECT_TRUE(logged);
}

TEST_F(PeerTest, QueryRefusesBadArgumentsAndThisHost) {
    std::vector<DependencyRow> rows(1);
    linkedList_t *visited = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "v", 1);
    EXPECT_EQ(kestrova::querySystemForPeers({}, "x.test", visited), -1);
    EXPECT_EQ(kestrova::querySystemForPeers(rows, "", visited), -1);
    EXPECT_EQ(kestrova::querySystemForPeers(rows, nullptr, visited), -1);
    EXPECT_EQ(kestrova::querySystemForPeers(rows, "x.test", nullptr), -1);
    EXPECT_EQ(querySystemForPeers(nullptr, 1, "x.test", visited), -1);
    EXPECT_EQ(kestrova::querySystemForPeers(rows, "myhost.example.com", visited), 0);
    EXPECT_EQ(kestrova::querySystemForPeers(rows, "myhost", visited), 0);
    EXPECT_EQ(kestrova::querySystemForPeers(rows, "127.0.0.1", visited), 0);
    EXPECT_TRUE(takeAsked().empty());
    EXPECT_EQ(kestrova::querySystemForPeers(rows, "x.test", visited), 0); // asked, no session
    EXPECT_EQ(kestrova::querySystemForPeers(rows, "x.test", visited), 0); // already visited
    EXPECT_EQ(takeAsked(), std::vector<std::string>{"x.test"});
    destroyLinkedList(visited);
}

// ---- the worker ----

TEST_F(PeerTest, WorkerEndsAtOnceWithPeersSwitchedOff) {
    peerGroup.store(0);
    EXPECT_EQ(peer_dowork(nullptr), nullptr);
    EXPECT_TRUE(takeAsked().empty());
}

TEST_F(PeerTest, WorkerSearchesChecksAndStopsAtTheFlag) {
    ASSERT_EQ(kestrovaSetTimeDivisor("60"), 1); // 2 s before the first pass, 0.25 s pauses
    peerScanInterval.store(15);
    ASSERT_GE(addLocal(dependDNS, dependOutbound, "myhost.example.com", "dns1.test"), 0);
    addGeneralDependencyByArgs("a.test", "dns1.test", dependDNS, "", dependSrcDynamic);
    proberCalls.clear();
    kestrova::setPeerProber(scriptedProber);
    ASSERT_EQ(kestrovaStartWorker(peer_dowork), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool searched = false, checked = false;
    while (std::chrono::steady_clock::now() < deadline && !(searched && checked)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const auto &h : takeAsked())
            searched |= h == "dns1.test";
        graphLock(theGraph, "test");
        vertex_t *a = getNodeByName(theGraph, "a.test");
        checked = a && a->reachable == 1;
        graphUnlock(theGraph, "test");
    }
    EXPECT_EQ(kestrovaStopWorkers(5000), 1);
    kestrova_thread_kill.store(0);
    kestrovaSetTimeDivisor("1");
    peerScanInterval.store(KESTROVA_DEFAULT_PEER_SCAN);
    EXPECT_TRUE(searched);
    EXPECT_TRUE(checked);
    EXPECT_EQ(peerNames(), std::vector<std::string>{"a.test"});
}

// ---- a fake peer agent ----

struct TableRow {
    std::string type, args, client, ref, server;
};

std::string buildReply(int64_t id, qelErrorStatus_t status, const std::vector<std::string> &vals) {
    static const char *cols[] = {"dependType", "dependArgs", "dependClient", "dependReference", "dependServer"};
    qelPdu_t rsp{};
    rsp.msgType = Response;
    rsp.messageID = id;
    rsp.errorStatus = status;
    for (size_t i = 0; i < vals.size(); i++)
        qelAddVariable(&rsp, "kestrova", cols[i % 5], "k", displayString, vals[i].c_str());
    int needed = 0;
    std::string buf(1 << 16, '\0');
    int len = buildQelMessage(&rsp, buf.data(), (int)buf.size(), &needed);
    if (len < 0 && needed > 0) {
        buf.resize((size_t)needed + 2);
        len = buildQelMessage(&rsp, buf.data(), (int)buf.size(), nullptr);
    }
    qelPduCleanup(&rsp);
    buf.resize(len > 0 ? (size_t)len : 0);
    return buf;
}

std::vector<std::string> flatten(const std::vector<TableRow> &rows) {
    std::vector<std::string> v;
    for (const auto &r : rows)
        for (const auto *f : {&r.type, &r.args, &r.client, &r.ref, &r.server})
            v.push_back(*f);
    return v;
}

class FakePeer {
public:
    enum Mode { Answer, VersionOnly, Announce64M, Trickle, AcceptHang };
    // Set before the first connection: the serving threads read them.
    const Mode mode;
    const std::string table; // the body answering the dependency table request
    std::atomic<int> connections{0}, tableAsks{0};

    explicit FakePeer(Mode m, std::string body = {}) : mode(m), table(std::move(body)) {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
        ok_ = bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(lfd_, 8) == 0;
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~FakePeer() {
        stop_ = true;
        acceptor_.join();
        for (auto &t : served_)
            t.join();
        close(lfd_);
    }
    bool ok() const { return ok_; }
    int port() const { return port_; }

private:
    void acceptLoop() {
        while (!stop_) {
            pollfd p{lfd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            connections++;
            served_.emplace_back([this, fd] { serve(fd); });
        }
    }
    void idle() {
        while (!stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    static void respond(qelSession_t *s, const qelPdu_t &req, const std::vector<std::string> &vals) {
        qelPdu_t rsp{};
        rsp.msgType = Response;
        rsp.messageID = req.messageID;
        size_t i = 0;
        for (qelVariable_t *v = req.varList; v; v = v->next, i++)
            qelAddVariable(&rsp, v->varName.mibName, v->varName.objName, nullptr, displayString,
                           i < vals.size() ? vals[i].c_str() : "");
        char buf[8192];
        int len = buildQelMessage(&rsp, buf, sizeof buf, nullptr);
        qelSendMessage(s, buf, len);
        qelPduCleanup(&rsp);
    }
    static void writeRaw(qelSession_t *s, const void *p, int n) {
        auto *ssl = static_cast<SSL *>(s->ssl);
        SSL_write(ssl, p, n);
        BIO_flush(SSL_get_wbio(ssl));
    }
    void serve(int fd) {
        if (mode == AcceptHang) {
            idle();
            close(fd);
            return;
        }
        qelSession_t *s = qelAcceptSession(fd, 5);
        if (!s)
            return;
        qelSessionSetIoTimeout(s, 5);
        while (!stop_) {
            int n = qelRecvMessage(s);
            if (n < 0)
                break;
            qelPdu_t req{};
            if (parseQelMessage(reinterpret_cast<char *>(s->recvBuf), n, &req) != 1)
                break;
            bool more = true;
            if (req.msgType == GetRequest) {
                respond(s, req, {"fake peer", "1.0"});
            } else if (std::string(req.tableName) == "pluginTable") {
                if (mode == VersionOnly)
                    more = false;
                else
                    respond(s, req, {"kestrova"});
            } else {
                tableAsks++;
                unsigned char hdr[QEL_WIREHDR_LEN];
                if (mode == Answer) {
                    qelSendMessage(s, table.data(), (int)table.size());
                } else if (mode == Announce64M) {
                    qelEncodeWireHdr(hdr, 1, "qeld");
                    char len[12];
                    snprintf(len, sizeof len, "%d", QEL_MAX_MESSAGE_LEN + 1);
                    memset(hdr + 4, 0, 12);
                    memcpy(hdr + 4, len, strlen(len));
                    writeRaw(s, hdr, sizeof hdr);
                    idle();
                    more = false;
                } else if (mode == Trickle) {
                    std::string body = buildReply(req.messageID, noError, {"3", "", "a", "0", "b"});
                    qelEncodeWireHdr(hdr, (int)body.size(), "qeld");
                    writeRaw(s, hdr, sizeof hdr);
                    for (size_t i = 0; i < body.size() && !stop_; i++) {
                        writeRaw(s, &body[i], 1);
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                    more = false;
                }
            }
            qelPduCleanup(&req);
            if (!more)
                break;
        }
        destroyQelSession(s);
    }

    int lfd_ = -1;
    int port_ = 0;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> served_;
};

class FakePeerTest : public PeerTest {
protected:
    static void SetUpTestSuite() {
        PeerTest::SetUpTestSuite();
        agenttest::caDir(); // the test CA; this process enrolled with it
    }
    void SetUp() override {
        PeerTest::SetUp();
        kestrova::setPeerTimeoutMs(1500);
        // The local table: DNS from dns1.test, NTP from the peer itself.
        local.push_back({dependDNS, dependOutbound, "myhost.example.com", "dns1.test", ""});
        local.push_back({dependNTP, dependOutbound, "myhost.example.com", "peer.test", ""});
        visited = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "v", 1);
    }
    void TearDown() override {
        destroyLinkedList(visited);
        kestrova::setPeerTimeoutMs(0);
        PeerTest::TearDown();
    }
    // Runs one query against the fake peer; its result, and the seconds it took.
    int ask(FakePeer &peer, double *seconds = nullptr) {
        kestrova::setPeerPort(peer.port());
        auto t0 = std::chrono::steady_clock::now();
        int r = kestrova::querySystemForPeers(local, "peer.test", visited);
        if (seconds)
            *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        drainLinkedList(visited);
        return r;
    }
    static bool has(int dtype, const char *client, const char *server) {
        return findDependencyByType(dtype, client, server) != nullptr;
    }
    std::vector<DependencyRow> local;
    linkedList_t *visited = nullptr;
};

TEST_F(FakePeerTest, WellFormedReplyAddsThePeersDependenciesAndDerivedOnes) {
    FakePeer peer(FakePeer::Answer, buildReply(1, noError,
                                               flatten({{"3", "dnsargs", "other.test", "0", "dns1.test"},
                                                        {"4", "ntpargs", "third.test", "1", "peer.test"},
                                                        {"4", "", "myhost.example.com", "1", "peer.test"},
                                                        {"11", "web", "localhost", "0", "web.test"},
                                                        {"12", "news", "127.0.0.53", "0", "news.test"},
                                                        {"13", "", "", "0", "empty.test"},
                                                        {"14", "", std::string(300, 'x'), "0", "long.test"}})));
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(ask(peer), 1);
    EXPECT_EQ(peer.tableAsks.load(), 1);
    EXPECT_TRUE(has(dependDNS, "other.test", "dns1.test"));
    // Rule 1: the peer uses our DNS server for the same service.
    EXPECT_TRUE(has(dependDNS, "peer.test", "dns1.test"));
    // Rule 2: the peer serves NTP to a third client as it serves us.
    EXPECT_TRUE(has(dependNTP, "third.test", "peer.test"));
    // The peer's own names stand for the peer.
    EXPECT_TRUE(has(dependWeb, "peer.test", "web.test"));
    EXPECT_TRUE(has(dependNNTP, "peer.test", "news.test"));
    EXPECT_FALSE(has(dependWeb, "localhost", "web.test"));
    // A row without a client never enters the graph; a long name is cut.
    EXPECT_EQ(graphGetNodeByName(theGraph, "empty.test"), nullptr);
    EXPECT_TRUE(has(dependDB, std::string(255, 'x').c_str(), "long.test"));
    graphLock(theGraph, "test");
    for (linkedElement_t *n = theGraph->setOfNodes->head; n; n = n->next)
        EXPECT_NE(static_cast<vertex_t *>(n->data)->name[0], '\0');
    graphUnlock(theGraph, "test");
}

TEST_F(FakePeerTest, SurplusVariablesAreIgnored) {
    auto vals = flatten({{"3", "", "other.test", "0", "dns1.test"}});
    vals.insert(vals.end(), {"5", "", "surplus.test"});
    FakePeer peer(FakePeer::Answer, buildReply(1, noError, vals));
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(ask(peer), 1);
    EXPECT_TRUE(has(dependDNS, "other.test", "dns1.test"));
    EXPECT_EQ(graphGetNodeByName(theGraph, "surplus.test"), nullptr);
}

TEST_F(FakePeerTest, BadRepliesAddNothing) {
    int nodes = getOrderOfGraph(theGraph);
    for (const std::string &body : {buildReply(1, genError, flatten({{"3", "", "e.test", "0", "dns1.test"}})),
                                    std::string("<qel><broken"), buildReply(1, noError, {"3", "", "few.test"})}) {
        FakePeer peer(FakePeer::Answer, body);
        ASSERT_TRUE(peer.ok());
        EXPECT_EQ(ask(peer), 1);
        EXPECT_EQ(peer.tableAsks.load(), 1);
    }
    EXPECT_EQ(getOrderOfGraph(theGraph), nodes);
}

TEST_F(FakePeerTest, TypesOutOfRangeDoNotHarm) {
    FakePeer peer(FakePeer::Answer, buildReply(1, noError,
                                               flatten({{"abc", "", "t1.test", "0", "dns1.test"},
                                                        {"-5", "", "t2.test", "0", "dns1.test"},
                                                        {"3", "", "t3.test", "0", "dns1.test"}})));
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(ask(peer), 1);
    EXPECT_TRUE(has(dependDNS, "t3.test", "dns1.test"));
    EXPECT_EQ(getSizeOfGraph(theGraph) >= 1, true);
}

TEST_F(FakePeerTest, VersionButNoPluginListYieldsNothing) {
    FakePeer peer(FakePeer::VersionOnly, buildReply(1, noError, flatten({{"3", "", "other.test", "0", "dns1.test"}})));
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(ask(peer), 0);
    EXPECT_EQ(peer.tableAsks.load(), 0);
    EXPECT_FALSE(has(dependDNS, "other.test", "dns1.test"));
}

TEST_F(FakePeerTest, SlowOrHugeRepliesEndWithinTheBound) {
    for (auto mode : {FakePeer::AcceptHang, FakePeer::Trickle, FakePeer::Announce64M}) {
        FakePeer peer(mode);
        ASSERT_TRUE(peer.ok());
        double seconds = 0;
        int r = ask(peer, &seconds);
        // A hung handshake learns nothing; a table that never arrives still
        // counts as a peer asked.
        EXPECT_EQ(r, mode == FakePeer::AcceptHang ? 0 : 1) << mode;
        EXPECT_EQ(peer.connections.load(), 1) << mode;
        EXPECT_LT(seconds, 4.5) << mode; // bound 1.5 s; per-read time-outs would wait 60 s
        if (mode != FakePeer::AcceptHang) {
            EXPECT_EQ(peer.tableAsks.load(), 1) << mode;
        }
    }
}

// The resident-set figures of this process: current and peak (kB).
long statusKb(const char *field) {
    std::string text = testutil::readFile("/proc/self/status");
    size_t at = text.find(field);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + strlen(field));
}

// A reply of 60 MB holding one row again and again: read into compact rows,
// at most the bound of them, the rest counted and logged; the process grows
// by less than twice the reply (as qelVariable records it would take
// several GB).
TEST_F(FakePeerTest, SixtyMegabytesOfOneRowStayWithinTwiceTheReply) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "resident-set figures of a sanitizer build are the sanitizer's, not the program's";
#endif
    std::string one = buildReply(1, noError, flatten({{"3", "repeated", "rep.test", "0", "dns1.test"}}));
    size_t first = one.find("<variable>"), last = one.rfind("</variable>");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    last += strlen("</variable>");
    std::string row = one.substr(first, last - first);
    const size_t target = 60u * 1000 * 1000;
    size_t copies = (target - (one.size() - row.size())) / row.size() + 1;
    std::string body;
    body.reserve(one.size() + copies * row.size());
    body.append(one, 0, first);
    for (size_t i = 0; i < copies; i++)
        body += row;
    body.append(one, last, std::string::npos);
    ASSERT_GE(body.size(), target);
    ASSERT_LT(body.size(), (size_t)QEL_MAX_MESSAGE_LEN);
    FakePeer peer(FakePeer::Answer, std::move(body));
    ASSERT_TRUE(peer.ok());
    size_t replyBytes = peer.table.size();
    kestrova::setPeerTimeoutMs(30000);

    // The peak from here on: the reply text already sits in this process.
    testutil::writeFile("/proc/self/clear_refs", "5");
    long before = statusKb("VmRSS:");
    long peakBefore = statusKb("VmHWM:");
    ASSERT_GT(before, 0);
    ASSERT_LE(peakBefore, before + 1024) << "the peak could not be reset";
    ASSERT_EQ(ask(peer), 1);
    long grown = statusKb("VmHWM:") - before;
    RecordProperty("replyBytes", std::to_string(replyBytes));
    RecordProperty("peakGrowthKb", std::to_string(grown));
    EXPECT_EQ(peer.tableAsks.load(), 1);
    EXPECT_LT(grown, (long)(2 * replyBytes / 1024))
        << "grew " << grown << " kB for a reply of " << replyBytes << " bytes";
    EXPECT_TRUE(has(dependDNS, "rep.test", "dns1.test"));
    EXPECT_TRUE(has(dependDNS, "peer.test", "dns1.test"));
    std::string dropped = "getPeerDependencies: " + std::to_string(copies - kestrova::kMaxPeerDependencyRows) +
                          " rows from peer.test dropped beyond " + std::to_string(kestrova::kMaxPeerDependencyRows);
    std::lock_guard g(testhost::mu);
    EXPECT_NE(std::find(testhost::logs.begin(), testhost::logs.end(), dropped), testhost::logs.end()) << dropped;
}

} // namespace
