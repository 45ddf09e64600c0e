// link: kestrova_frame kestrova_core
// The dependency table: age-out passes and their traps, probe arithmetic and
// the probing pass with a scripted prober, the select handler, the worker's
// order and stop checks.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestrova_test_host.h"
#include "dependency.h"
#include "discovery.h"
#include "graph.h"
#include "peer.h"
#include "qelselect.h"
#include "select_testutil.h"

using namespace std::chrono_literals;

// The worker's discovery table brings the data-file reader and the log
// tailer along; no test here reaches the two host calls they make.
extern "C" int qelAddModule(const char *, const char *, const char *, const char *, int) {
    return -1;
}
extern "C" char *qelBase64Encode(const unsigned char *, int, int *outlen) {
    if (outlen)
        *outlen = 0;
    return nullptr;
}

namespace {

dependency_t makeDep(const char *client, const char *server, int dtype, const char *args,
                     dependencyReference_t pov = dependOutbound, dependencySrc_t src = dependSrcDynamic) {
    dependency_t d;
    memset(&d, 0, sizeof(d));
    qelCopyField(d.dependClient, client);
    qelCopyField(d.dependServer, server);
    qelCopyField(d.args, args);
    d.dtype = (dependencyType_t)dtype;
    d.pov = pov;
    d.dsrc = src;
    return d;
}

// ---- the scripted prober ----

struct ProbeCall {
    int version;
    std::vector<std::string> hosts;
};

struct Script {
    std::mutex mu;
    std::map<std::string, std::pair<int, int>> answers; // host -> result, avgMsecs
    std::vector<ProbeCall> calls;
    std::function<void(int callIndex)> during; // runs inside a call
    // Whether a call checks that the graph lock is free (not where other
    // threads take it meanwhile).
    bool checkLockFree = true;
};
Script script;

int scriptedProber(int version, const char *const *hosts, int count, kestrovaPingArgs_t *args, int *results, int *raw4,
                   int *raw6) {
    EXPECT_NE(raw4, nullptr);
    EXPECT_NE(raw6, nullptr);
    int index;
    std::function<void(int)> during;
    bool checkLock;
    {
        std::lock_guard g(script.mu);
        ProbeCall call{version, {}};
        for (int i = 0; i < count; i++)
            call.hosts.emplace_back(hosts[i]);
        script.calls.push_back(call);
        index = (int)script.calls.size() - 1;
        during = script.during;
        checkLock = script.checkLockFree;
    }
    // The graph lock is free while the probes wait.
    if (theGraph && checkLock) {
        EXPECT_EQ(pthread_mutex_trylock(&theGraph->lock), 0) << "graph lock held during a probe";
        pthread_mutex_unlock(&theGraph->lock);
    }
    if (during)
        during(index);
    int answered = 0;
    std::lock_guard g(script.mu);
    for (int i = 0; i < count; i++) {
        auto it = script.answers.find(hosts[i]);
        auto [r, avg] = it == script.answers.end() ? std::pair{0, 5000} : it->second;
        results[i] = r;
        if (args) {
            args[i].avgMsecs = r >= 0 ? avg : 0;
            args[i].numPackets = 3;
            args[i].numAnswers = r == 1 ? 3 : 0;
        }
        answered += r == 1;
    }
    return answered;
}

std::vector<ProbeCall> probeCalls() {
    std::lock_guard g(script.mu);
    return script.calls;
}

void answer(const std::string &host, int result, int avg = 5000) {
    std::lock_guard g(script.mu);
    script.answers[host] = {result, avg};
}

class DependencyTable : public testing::Test {
protected:
    void SetUp() override {
        testhost::reset();
        testhost::addHost("10.0.0.1", "host1.example.com");
        testhost::addHost("10.0.0.2", "host2.example.com");
        testhost::addHost("10.0.0.5", "srv5.example.com");
        testhost::setupGraph("myhost.example.com");
        peerList = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "peerList", 1);
        insertTail(peerList, peerNew("peer1.example.com"));
        {
            std::lock_guard g(script.mu);
            script.answers.clear();
            script.calls.clear();
            script.during = nullptr;
            script.checkLockFree = true;
        }
        kestrova::setDependencyProber(scriptedProber);
        kestrova_thread_kill = 0;
    }
    void TearDown() override {
        kestrova::setDependencyProber(nullptr);
        kestrovaSetDiscoveryTable(nullptr, 0);
        kestrova_thread_kill = 0;
        testhost::teardownGraph();
        destroyLinkedList(peerList);
        peerList = nullptr;
    }
    // A local dependency, aged by `age` seconds.
    dependency_t *addAged(dependency_t d, long age, int logfileAgeOut = 0) {
        d.logfileDependencyAgeOut = logfileAgeOut;
        EXPECT_GE(addLocalDependency(&d), 0);
        dependency_t *rec = findLocalDependency(&d);
        EXPECT_NE(rec, nullptr);
        if (rec) {
            graphLock(theGraph, "test");
            rec->lastUpdate = time(nullptr) - age;
            graphUnlock(theGraph, "test");
        }
        return rec;
    }
};

std::string varOf(const testhost::SentTrap &t, const char *obj) {
    for (const auto &v : t.vars)
        if (v.obj == obj)
            return v.value;
    return "<missing>";
}

// ---- age-out ----

TEST_F(DependencyTable, AgeOutKeepsStaticAndFreshRemovesStaleWithOneTrap) {
    dependency_t *stat =
        addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53", dependOutbound, dependSrcStatic), 1000000);
    addAged(makeDep("myhost", "10.0.0.2", dependNTP, "123"), 599);
    addAged(makeDep("myhost", "10.0.0.5", dependEmail, "25"), 601);
    ASSERT_EQ(getNumberDependencies(), 3);
    EXPECT_EQ(pruneDependencies(1, 600), 1);
    EXPECT_EQ(getNumberDependencies(), 2);
    EXPECT_EQ(findLocalDependencyNoArgs(dependDNS, "10.0.0.1", dependOutbound), stat);
    EXPECT_NE(findLocalDependencyNoArgs(dependNTP, "10.0.0.2", dependOutbound), nullptr);
    EXPECT_EQ(findLocalDependencyNoArgs(dependEmail, "10.0.0.5", dependOutbound), nullptr);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(traps[0].host, "peer1.example.com");
    EXPECT_EQ(traps[0].eventType, "kestrova.pruneDependency");
    EXPECT_EQ(varOf(traps[0], "dependType"), "dependEmail(5)/5");
    EXPECT_EQ(varOf(traps[0], "dependReference"), "outbound(0)");
    EXPECT_EQ(varOf(traps[0], "dependPeer"), "srv5.example.com");
    EXPECT_EQ(varOf(traps[0], "dependArgs"), "25");
    // A second pass finds nothing more; the list of pruned records is empty.
    EXPECT_EQ(pruneDependencies(1, 600), 1);
    EXPECT_EQ(testhost::sentTraps().size(), 1u);
    EXPECT_EQ(numberElements(pruneDependencyList), 0);
}

TEST_F(DependencyTable, LogfileDependenciesUseTheirOwnAgeOut) {
    addAged(makeDep("myhost", "10.0.0.1", dependWeb, "80", dependOutbound, dependSrcLogfile), 100000, 0);
    addAged(makeDep("myhost", "10.0.0.2", dependWeb, "80", dependOutbound, dependSrcLogfile), 31, 30);
    addAged(makeDep("myhost", "10.0.0.5", dependWeb, "80", dependOutbound, dependSrcLogfile), 29, 30);
    testing::internal::CaptureStderr();
    pruneDependencies(1, 1000000);
    EXPECT_EQ(getNumberDependencies(), 2);
    EXPECT_EQ(findLocalDependencyNoArgs(dependWeb, "10.0.0.2", dependOutbound), nullptr);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("pruneDependencies: compareAgeOut == 0\n"), std::string::npos) << out;
    // Printed again on every pass; the record stays.
    testing::internal::CaptureStderr();
    pruneDependencies(1, 1);
    out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("pruneDependencies: compareAgeOut == 0\n"), std::string::npos);
    EXPECT_NE(findLocalDependencyNoArgs(dependWeb, "10.0.0.1", dependOutbound), nullptr);
    // The limit of 1 s applies to dynamic records only; 10.0.0.5's own 30 s holds.
    EXPECT_NE(findLocalDependencyNoArgs(dependWeb, "10.0.0.5", dependOutbound), nullptr);
}

TEST_F(DependencyTable, TrapsGoOutInReverseOrderOfRemoval) {
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "a"), 700);
    addAged(makeDep("myhost", "10.0.0.2", dependDNS, "b"), 700);
    addAged(makeDep("10.0.0.5", "myhost", dependLogin, "c", dependInbound), 700);
    pruneDependencies(1, 600);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 3u);
    EXPECT_EQ(varOf(traps[0], "dependArgs"), "c");
    EXPECT_EQ(varOf(traps[0], "dependReference"), "inbound(1)");
    EXPECT_EQ(varOf(traps[0], "dependPeer"), "srv5.example.com");
    EXPECT_EQ(varOf(traps[1], "dependArgs"), "b");
    EXPECT_EQ(varOf(traps[2], "dependArgs"), "a");
    EXPECT_EQ(getNumberDependencies(), 0);
}

// Every local record whose args start with prefix, aged by age seconds.
void ageLocal(const char *prefix, long age) {
    graphLock(theGraph, "test");
    for (linkedElement_t *c = myVertex->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        if (strncmp(d->args, prefix, strlen(prefix)) == 0)
            d->lastUpdate = time(nullptr) - age;
    }
    graphUnlock(theGraph, "test");
}

// Records taken out under the lock and released after it: the traps keep the
// reverse order of removal and the fresh ones stay in their order.
TEST_F(DependencyTable, PruneOfManyKeepsTheOrderAndReleasesTheRecords) {
    for (int i = 0; i < 700; i++) {
        std::string srv = "s" + std::to_string(i) + ".test";
        std::string args = (i % 7 == 3 ? "fresh" : "old") + std::to_string(i);
        dependency_t d = makeDep("myhost", srv.c_str(), dependWeb, args.c_str());
        ASSERT_EQ(addLocalDependency(&d), 1);
    }
    EXPECT_EQ(getNumberDependencies(), 700);
    ageLocal("old", 700);
    pruneDependencies(1, 600);
    auto traps = testhost::sentTraps();
    std::vector<std::string> expect;
    for (int i = 699; i >= 0; i--)
        if (i % 7 != 3)
            expect.push_back("old" + std::to_string(i));
    ASSERT_EQ(traps.size(), expect.size());
    for (size_t k = 0; k < traps.size(); k++)
        ASSERT_EQ(varOf(traps[k], "dependArgs"), expect[k]) << "trap " << k;
    EXPECT_EQ(numberElements(pruneDependencyList), 0);
    EXPECT_EQ(getNumberDependencies(), 100);
    auto rows = kestrova::getDependencyRows();
    ASSERT_EQ(rows.size(), 100u);
    for (size_t k = 0; k < rows.size(); k++)
        EXPECT_EQ(rows[k].args, "fresh" + std::to_string(7 * k + 3));
}

// Adds that run while a large prune takes records out and releases them
// (whose memory the adds may take again) are neither lost nor pruned.
TEST_F(DependencyTable, AddsDuringAPruneStay) {
    for (int i = 0; i < 3000; i++) {
        std::string srv = "old" + std::to_string(i) + ".test";
        dependency_t d = makeDep("myhost", srv.c_str(), dependWeb, "old");
        ASSERT_EQ(addLocalDependency(&d), 1);
    }
    ageLocal("old", 700);
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    std::thread adder([&] {
        do {
            for (int i = 0; i < 200; i++) {
                std::string srv = "new" + std::to_string(i) + ".test";
                dependency_t d = makeDep("myhost", srv.c_str(), dependDB, "new");
                addLocalDependency(&d);
            }
            rounds++;
        } while (!done);
    });
    while (rounds == 0)
        std::this_thread::yield();
    pruneDependencies(1, 600);
    done = true;
    adder.join();
    EXPECT_EQ(testhost::sentTraps().size(), 3000u);
    auto rows = kestrova::getDependencyRows();
    ASSERT_EQ(rows.size(), 200u);
    for (const auto &r : rows)
        EXPECT_EQ(r.args, "new");
}

TEST_F(DependencyTable, GraphWidePassRemovesOtherHostsDependencies) {
    ASSERT_EQ(addGeneralDependencyByArgs("10.0.0.1", "10.0.0.2", dependDNS, "x", dependSrcDynamic), 1);
    ASSERT_EQ(addGeneralDependencyByArgs("10.0.0.1", "10.0.0.5", 40, "odd", dependSrcDynamic), 1);
    ASSERT_EQ(addGeneralDependencyByArgs("10.0.0.2", "10.0.0.5", dependNTP, "fresh", dependSrcDynamic), 1);
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "mine"), 1000);
    graphLock(theGraph, "test");
    for (linkedElement_t *c = theGraph->setOfEdges->head; c; c = c->next) {
        auto *d = static_cast<dependency_t *>(c->data);
        if (strcmp(d->args, "fresh") != 0)
            d->lastUpdate = time(nullptr) - 2000;
    }
    graphUnlock(theGraph, "test");
    // The local pass leaves other hosts' records alone.
    pruneDependencies(1, 5000);
    EXPECT_EQ(getSizeOfGraph(theGraph), 4);
    pruneDependencies(0, 1800);
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 3u);
    // Edge-set order x, odd, mine; traps reversed. A general record has no
    // peer text and its point of view as a number; a type out of range as a
    // number alone.
    EXPECT_EQ(varOf(traps[0], "dependArgs"), "mine");
    EXPECT_EQ(varOf(traps[1], "dependArgs"), "odd");
    EXPECT_EQ(varOf(traps[1], "dependType"), "40");
    EXPECT_EQ(varOf(traps[1], "dependReference"), "3");
    EXPECT_EQ(varOf(traps[1], "dependPeer"), "");
    EXPECT_EQ(varOf(traps[2], "dependType"), "dependDNS(3)/3");
}

TEST_F(DependencyTable, TransitDependencyAgesOutGraphWide) {
    dependency_t t = makeDep("10.0.0.1", "10.0.0.2", dependSIP, "5060", dependTransit);
    ASSERT_EQ(addTransitDependency(&t), 1);
    dependency_t *rec = findTransitDependency(dependSIP, "10.0.0.1", "10.0.0.2", "5060");
    ASSERT_NE(rec, nullptr);
    graphLock(theGraph, "test");
    rec->lastUpdate = time(nullptr) - 1801;
    graphUnlock(theGraph, "test");
    pruneDependencies(1, 1);
    EXPECT_NE(findTransitDependency(dependSIP, "10.0.0.1", "10.0.0.2", "5060"), nullptr) << "not local";
    pruneDependencies(0, 1800);
    EXPECT_EQ(findTransitDependency(dependSIP, "10.0.0.1", "10.0.0.2", "5060"), nullptr);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(varOf(traps[0], "dependType"), "dependSIP(27)/27");
    EXPECT_EQ(varOf(traps[0], "dependReference"), "transit(2)");
    EXPECT_EQ(varOf(traps[0], "dependPeer"), "");
    EXPECT_EQ(varOf(traps[0], "dependArgs"), "5060");
}

TEST_F(DependencyTable, PruneWithoutPeersStillRemoves) {
    drainLinkedList(peerList);
    testing::internal::CaptureStderr();
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 700);
    pruneDependencies(1, 600);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(getNumberDependencies(), 0);
    EXPECT_TRUE(testhost::sentTraps().empty());
    EXPECT_NE(err.find("sendPruneDependencyTrap: cant get copy of peer list\n"), std::string::npos);
}

TEST_F(DependencyTable, StaticAndLogfileRemovalsTakeOnlyTheirSource) {
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53", dependOutbound, dependSrcStatic), 0);
    addAged(makeDep("myhost", "10.0.0.2", dependDNS, "53", dependOutbound, dependSrcLogfile), 0, 60);
    addAged(makeDep("myhost", "10.0.0.5", dependDNS, "53"), 0);
    EXPECT_EQ(pruneStaticDependencies(), 1);
    EXPECT_EQ(getNumberDependencies(), 2);
    EXPECT_EQ(findLocalDependencyNoArgs(dependDNS, "10.0.0.1", dependOutbound), nullptr);
    EXPECT_EQ(pruneLogfileDependencies(), 1);
    EXPECT_EQ(getNumberDependencies(), 1);
    EXPECT_NE(findLocalDependencyNoArgs(dependDNS, "10.0.0.5", dependOutbound), nullptr);
    EXPECT_TRUE(testhost::sentTraps().empty()) << "these removals send no trap";
}

// ---- probe arithmetic ----

TEST(ProbeArithmetic, AnsweredAndSilentOutboundAndInbound) {
    for (int pov : {dependOutbound, dependInbound}) {
        kestrova::ProbeFields f;
        kestrova::applyProbeResult(f, pov, 1, 3, 1000);
        EXPECT_EQ(f.reachable, 1);
        EXPECT_EQ(f.reachableTime, 1000);
        EXPECT_EQ(f.numIcmp, 1);
        EXPECT_EQ(f.icmpRespTime, 3);
        EXPECT_EQ(f.avgIcmpRespTime, 3);
        EXPECT_EQ(f.movAvgIcmpRespTime, 3);
        kestrova::applyProbeResult(f, pov, 0, 5000, 2000);
        EXPECT_EQ(f.reachable, 0);
        EXPECT_EQ(f.reachableTime, 0);
        EXPECT_EQ(f.numIcmp, 2);
        EXPECT_EQ(f.icmpRespTime, 5000);
        EXPECT_EQ(f.movAvgIcmpRespTime, (3 + 5000) / 2);
        EXPECT_EQ(f.avgIcmpRespTime, f.movAvgIcmpRespTime);
    }
}

TEST(ProbeArithmetic, AProbeThatCouldNotRunIsNoSample) {
    kestrova::ProbeFields f;
    kestrova::applyProbeResult(f, dependOutbound, 1, 10, 1000);
    for (int r : {-1, -3, -4}) {
        kestrova::applyProbeResult(f, dependOutbound, r, 0, 2000);
        EXPECT_EQ(f.reachable, r);
        EXPECT_EQ(f.reachableTime, 0);
        EXPECT_EQ(f.numIcmp, 1);
        EXPECT_EQ(f.icmpRespTime, 10);
        EXPECT_EQ(f.movAvgIcmpRespTime, 10) << "an unresolvable host does not look fast";
    }
}

TEST(ProbeArithmetic, GeneralDependenciesCountOnlyAnswers) {
    kestrova::ProbeFields f;
    kestrova::applyProbeResult(f, dependNA, 1, 8, 500);
    kestrova::applyProbeResult(f, dependNA, 1, 4, 600);
    EXPECT_EQ(f.numIcmp, 2);
    EXPECT_EQ(f.movAvgIcmpRespTime, 6);
    // No answer: reachable 0, the time of the last answer kept, no sample,
    // the average does not drift toward the last sample.
    for (int i = 0; i < 5; i++)
        kestrova::applyProbeResult(f, dependNA, 0, 5000, 700);
    EXPECT_EQ(f.reachable, 0);
    EXPECT_EQ(f.reachableTime, 600);
    EXPECT_EQ(f.numIcmp, 2);
    EXPECT_EQ(f.icmpRespTime, 4);
    EXPECT_EQ(f.movAvgIcmpRespTime, 6);
}

TEST(ProbeArithmetic, OtherPointsOfViewAreNotProbed) {
    kestrova::ProbeFields f;
    f.numIcmp = 4;
    f.icmpRespTime = 9;
    f.movAvgIcmpRespTime = f.avgIcmpRespTime = 7;
    f.reachable = 1;
    kestrova::applyProbeResult(f, dependTransit, 1, 3, 100);
    EXPECT_EQ(f.icmpRespTime, 0);
    EXPECT_EQ(f.numIcmp, 4);
    EXPECT_EQ(f.movAvgIcmpRespTime, 7);
    EXPECT_EQ(f.reachable, 1);
}

TEST(ProbeArithmetic, LongRunsDoNotOverflow) {
    kestrova::ProbeFields f;
    for (int i = 0; i < 500000; i++)
        kestrova::applyProbeResult(f, dependOutbound, 0, 5000, 0);
    EXPECT_EQ(f.numIcmp, 500000);
    EXPECT_EQ(f.movAvgIcmpRespTime, 5000);
    kestrova::applyProbeResult(f, dependOutbound, 1, 3, 10);
    EXPECT_EQ(f.movAvgIcmpRespTime, (int)((499999LL * 5000 + 5000 + 3) / 500001));
    EXPECT_EQ(f.avgIcmpRespTime, 4999);
}

// ---- the probing pass ----

TEST_F(DependencyTable, ProbePassByPointOfView) {
    dependency_t *out = addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    dependency_t *in = addAged(makeDep("10.0.0.2", "myhost", dependLogin, "22", dependInbound), 0);
    dependency_t *retried = addAged(makeDep("myhost", "10.0.0.5", dependNTP, "123"), 0);
    ASSERT_EQ(addGeneralDependencyByArgs("myhost.example.com", "gen-server", dependWeb, "80", dependSrcDynamic), 1);
    ASSERT_EQ(addGeneralDependencyByArgs("gen-client", "myhost.example.com", dependWeb, "80", dependSrcDynamic), 1);
    answer("host1.example.com", 1, 2);
    answer("host2.example.com", 0, 5000);
    answer("srv5.example.com", -4, 0); // the normalised name does not resolve
    answer("10.0.0.5", 1, 7);          // the name discovery gave does
    answer("gen-server", 1, 4);
    answer("gen-client", 0, 5000);
    time_t before = time(nullptr);
    const int mine = myVertex->reachable;
    EXPECT_EQ(checkDependencies(), 1);
    auto calls = probeCalls();
    ASSERT_EQ(calls.size(), 2u) << "one wave and one wave of retries";
    std::vector<std::string> first = calls[0].hosts;
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (std::vector<std::string>{"gen-client", "gen-server", "host1.example.com", "host2.example.com",
                                               "srv5.example.com"}));
    EXPECT_EQ(calls[1].hosts, std::vector<std::string>{"10.0.0.5"});

    EXPECT_EQ(out->reachable, 1);
    EXPECT_GE(out->reachableTime, before);
    EXPECT_EQ(out->numIcmp, 1);
    EXPECT_EQ(out->icmpRespTime, 2);
    EXPECT_EQ(in->reachable, 0);
    EXPECT_EQ(in->reachableTime, 0);
    EXPECT_EQ(in->numIcmp, 1);
    EXPECT_EQ(in->movAvgIcmpRespTime, 5000);
    EXPECT_EQ(retried->reachable, 1);
    EXPECT_EQ(retried->icmpRespTime, 7);
    dependency_t *genOut = findDependencyByType(dependWeb, "myhost.example.com", "gen-server");
    dependency_t *genIn = findDependencyByType(dependWeb, "gen-client", "myhost.example.com");
    ASSERT_TRUE(genOut && genIn);
    EXPECT_EQ(genOut->reachable, 1);
    EXPECT_EQ(genOut->numIcmp, 1);
    EXPECT_EQ(genIn->reachable, 0);
    EXPECT_EQ(genIn->numIcmp, 0);
    EXPECT_EQ(genIn->reachableTime, 0);
    // Each probed host's vertex holds the outcome too.
    EXPECT_EQ(out->server->reachable, 1);
    EXPECT_GE(out->server->reachableTime, before);
    EXPECT_EQ(in->client->reachable, 0);
    EXPECT_EQ(in->client->reachableTime, 0);
    EXPECT_EQ(retried->server->reachable, 1);
    EXPECT_EQ(genOut->server->reachable, 1);
    EXPECT_EQ(genIn->client->reachable, 0);
    EXPECT_EQ(myVertex->reachable, mine);
}

TEST_F(DependencyTable, RetryThatFailsTooLeavesTheStatistics) {
    dependency_t *d = addAged(makeDep("myhost", "10.0.0.5", dependNTP, "123"), 0);
    answer("srv5.example.com", 1, 12);
    checkDependencies();
    ASSERT_EQ(d->numIcmp, 1);
    answer("srv5.example.com", -4, 0);
    answer("10.0.0.5", -4, 0);
    checkDependencies();
    EXPECT_EQ(d->reachable, -4);
    EXPECT_EQ(d->reachableTime, 0);
    EXPECT_EQ(d->numIcmp, 1);
    EXPECT_EQ(d->movAvgIcmpRespTime, 12);
}

TEST_F(DependencyTable, EachTargetOncePerWaveAndVersionsApart) {
    dependency_t a = makeDep("myhost", "10.0.0.1", dependDNS, "53");
    dependency_t b = makeDep("myhost", "10.0.0.1", dependNTP, "123");
    dependency_t c = makeDep("myhost", "10.0.0.1", dependWeb, "80");
    c.ipVersion = 6;
    addAged(a, 0);
    addAged(b, 0);
    addAged(c, 0);
    answer("host1.example.com", 1, 5);
    checkDependencies();
    auto calls = probeCalls();
    ASSERT_EQ(calls.size(), 2u);
    int v0 = calls[0].version == 0 ? 0 : 1;
    EXPECT_EQ(calls[v0].version, 0);
    EXPECT_EQ(calls[v0].hosts, std::vector<std::string>{"host1.example.com"});
    EXPECT_EQ(calls[1 - v0].version, 6);
    for (int t : {dependDNS, dependNTP, dependWeb}) {
        dependency_t *d = findLocalDependencyNoArgs(t, "10.0.0.1", dependOutbound);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->reachable, 1);
        EXPECT_EQ(d->numIcmp, 1);
    }
}

TEST_F(DependencyTable, ChangesDuringTheProbesAreRespected) {
    dependency_t gone = makeDep("myhost", "10.0.0.1", dependDNS, "53");
    dependency_t kept = makeDep("myhost", "10.0.0.2", dependDNS, "53");
    dependency_t late = makeDep("myhost", "10.0.0.5", dependDNS, "53");
    addAged(gone, 0);
    dependency_t *keptRec = addAged(kept, 0);
    answer("host1.example.com", 1, 1);
    answer("host2.example.com", 1, 1);
    answer("srv5.example.com", 1, 1);
    {
        std::lock_guard g(script.mu);
        script.during = [&](int) {
            dependency_t r = gone;
            EXPECT_EQ(removeLocalDependency(&r), 1);
            dependency_t l = late;
            EXPECT_EQ(addLocalDependency(&l), 1);
        };
    }
    checkDependencies();
    EXPECT_EQ(keptRec->reachable, 1);
    dependency_t *lateRec = findLocalDependencyNoArgs(dependDNS, "10.0.0.5", dependOutbound);
    ASSERT_NE(lateRec, nullptr);
    EXPECT_EQ(lateRec->reachable, 2) << "added during the probes: probed next pass";
    EXPECT_EQ(lateRec->numIcmp, 0);
}

// A record whose identity changed during the probes (as one made where a
// released record was) is not written with the old record's result.
TEST_F(DependencyTable, ARecordChangedDuringTheProbesIsNotWritten) {
    dependency_t *a = addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    dependency_t *b = addAged(makeDep("myhost", "10.0.0.2", dependDNS, "53"), 0);
    dependency_t *c = addAged(makeDep("myhost", "10.0.0.5", dependDNS, "53"), 0);
    ASSERT_TRUE(a && b && c);
    answer("host1.example.com", 1, 3);
    answer("host2.example.com", 1, 4);
    answer("srv5.example.com", 1, 5);
    {
        std::lock_guard g(script.mu);
        script.during = [&](int) {
            graphLock(theGraph, "test");
            a->createTime -= 10;
            graphUnlock(theGraph, "test");
            // The same memory listed again under other arguments.
            ASSERT_EQ(graphDisconnectEdge(theGraph, c, 1), 0);
            qelCopyField(c->args, "54");
            ASSERT_EQ(graphInsertEdge(theGraph, c), 0);
        };
    }
    checkDependencies();
    EXPECT_EQ(a->reachable, 2);
    EXPECT_EQ(a->numIcmp, 0);
    EXPECT_EQ(c->reachable, 2);
    EXPECT_EQ(c->numIcmp, 0);
    EXPECT_EQ(b->reachable, 1);
    EXPECT_EQ(b->icmpRespTime, 4);
}

// More targets than the prober takes at once: chunks of 1,024, each target
// once, every record answered.
TEST_F(DependencyTable, ManyTargetsGoInChunksOfTheProbersLimit) {
    const int n = 2500;
    std::vector<dependency_t *> recs;
    for (int i = 0; i < n; i++)
        recs.push_back(addAged(makeDep("myhost", ("t" + std::to_string(i) + ".test").c_str(), dependWeb, "80"), 0));
    answer("t0.test", 1, 1);
    answer("t1024.test", 1, 2);
    answer("t2499.test", 1, 3);
    checkDependencies();
    auto calls = probeCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].hosts.size(), 1024u);
    EXPECT_EQ(calls[1].hosts.size(), 1024u);
    EXPECT_EQ(calls[2].hosts.size(), 452u);
    std::set<std::string> asked;
    for (const ProbeCall &c : calls)
        asked.insert(c.hosts.begin(), c.hosts.end());
    EXPECT_EQ(asked.size(), (size_t)n);
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(recs[i]->numIcmp, 1) << i;
        EXPECT_EQ(recs[i]->reachable, i == 0 || i == 1024 || i == 2499 ? 1 : 0) << i;
    }
    EXPECT_EQ(recs[1024]->icmpRespTime, 2);
    EXPECT_EQ(recs[2499]->icmpRespTime, 3);
}

TEST_F(DependencyTable, StopBetweenWavesWritesNothing) {
    dependency_t *d = addAged(makeDep("myhost", "10.0.0.5", dependNTP, "123"), 0);
    dependency_t *e = addAged(makeDep("myhost", "10.0.0.1", dependNTP, "123"), 0);
    answer("srv5.example.com", -4, 0);
    answer("host1.example.com", 1, 1);
    {
        std::lock_guard g(script.mu);
        script.during = [](int) { kestrova_thread_kill = 1; };
    }
    checkDependencies();
    EXPECT_EQ(probeCalls().size(), 1u) << "no retry wave after the stop";
    EXPECT_EQ(d->reachable, 2);
    EXPECT_EQ(e->reachable, 2);
}

TEST_F(DependencyTable, PingDependencyPeerOnOneRecord) {
    EXPECT_EQ(pingDependencyPeer(nullptr), -1);
    dependency_t d = makeDep("myhost.example.com", "srv5.example.com", dependNTP, "123");
    qelCopyField(d.originalServer, "10.0.0.5");
    answer("srv5.example.com", -4, 0);
    answer("10.0.0.5", 1, 9);
    EXPECT_EQ(pingDependencyPeer(&d), 1);
    EXPECT_EQ(d.reachable, 1);
    EXPECT_EQ(d.icmpRespTime, 9);
    auto calls = probeCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].hosts, std::vector<std::string>{"10.0.0.5"});
    d.pov = dependTransit;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pingDependencyPeer(&d), 1);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.icmpRespTime, 0);
    EXPECT_EQ(out, "pingDependencyPeer: 2 not pinging for myhost.example.com (4)-> srv5.example.com\n");
}

// ---- the select handler ----

using selecttest::Columns;
using selecttest::Reply;

qelErrorStatus_t select(const char *key, Columns &cols, Reply &r) {
    std::string k = key;
    return var_dependTable(k.data(), cols.list(), &r.pdu);
}

TEST_F(DependencyTable, SelectKeysAndLimits) {
    for (const char *srv : {"10.0.0.1", "10.0.0.2", "10.0.0.5", "a.test", "b.test"})
        addAged(makeDep("myhost", srv, dependDNS, "53"), 0);
    Columns cols({1, 10});
    {
        Reply r;
        EXPECT_EQ(select("*", cols, r), noError);
        EXPECT_EQ(r.pdu.errorStatus, noError);
        EXPECT_EQ(r.pdu.numberVariables, 10u);
        EXPECT_EQ(r.values()[1], "host1.example.com");
        EXPECT_EQ(r.keys()[0], "3.host1.example.com.53");
        EXPECT_EQ(r.keys()[1], "3.host1.example.com.53");
    }
    {
        Reply r;
        EXPECT_EQ(select("", cols, r), noError);
        EXPECT_EQ(r.pdu.numberVariables, 10u);
    }
    {
        Reply r;
        EXPECT_EQ(select("3.srv5.example.com.53", cols, r), noError);
        EXPECT_EQ(r.values(), (std::vector<std::string>{"3", "srv5.example.com"}));
        EXPECT_EQ(r.pdu.errorStatus, noError);
    }
    {
        Reply r;
        EXPECT_EQ(select("3.SRV5.example.com.53", cols, r), noError);
        EXPECT_EQ(r.pdu.numberVariables, 0u);
        // No rows selected and no limit: the count equals maxRows (0).
        EXPECT_EQ(r.pdu.errorStatus, noErrorMoreData);
        Reply limited(3);
        EXPECT_EQ(select("3.SRV5.example.com.53", cols, limited), noError);
        EXPECT_EQ(limited.pdu.numberVariables, 0u);
        EXPECT_EQ(limited.pdu.errorStatus, noError);
    }
    {
        Reply r(2);
        EXPECT_EQ(select("*", cols, r), noError);
        EXPECT_EQ(r.pdu.numberVariables, 4u);
        EXPECT_EQ(r.pdu.errorStatus, noError) << "five rows selected, two returned";
    }
    {
        Reply r(5);
        EXPECT_EQ(select("*", cols, r), noError);
        EXPECT_EQ(r.pdu.numberVariables, 10u);
        EXPECT_EQ(r.pdu.errorStatus, noErrorMoreData);
    }
}

TEST_F(DependencyTable, SelectTwoRowsWithLimitTwoSaysMoreData) {
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    addAged(makeDep("myhost", "10.0.0.2", dependDNS, "53"), 0);
    Columns cols({3});
    Reply r(2);
    EXPECT_EQ(select("*", cols, r), noError);
    EXPECT_EQ(r.pdu.numberVariables, 2u);
    EXPECT_EQ(r.pdu.errorStatus, noErrorMoreData);
}

TEST_F(DependencyTable, SelectEmptyTable) {
    Columns cols({1});
    Reply r;
    EXPECT_EQ(select("*", cols, r), noError);
    EXPECT_EQ(r.pdu.numberVariables, 0u);
    EXPECT_EQ(r.pdu.errorStatus, noErrorMoreData);
    EXPECT_EQ(var_dependTable(nullptr, cols.list(), &r.pdu), genError);
    char key[] = "*";
    EXPECT_EQ(var_dependTable(key, nullptr, &r.pdu), genError);
    EXPECT_EQ(var_dependTable(key, cols.list(), nullptr), genError);
}

TEST_F(DependencyTable, SelectBadColumn) {
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    addAged(makeDep("myhost", "10.0.0.2", dependDNS, "53"), 0);
    Columns cols({1, 2, 18});
    Reply r;
    testing::internal::CaptureStderr();
    EXPECT_EQ(select("*", cols, r), noSuchName);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.pdu.errorStatus, noSuchName);
    EXPECT_EQ(r.pdu.errorIndex, 2u);
    EXPECT_EQ(r.pdu.numberVariables, 2u);
    EXPECT_NE(err.find("var_dependTable: invalid column\n"), std::string::npos);
    Columns zero({0});
    Reply r0;
    EXPECT_EQ(select("*", zero, r0), noSuchName);
    EXPECT_EQ(r0.pdu.errorIndex, 0u);
}

TEST_F(DependencyTable, SelectEveryColumnText) {
    dependency_t *out = addAged(makeDep("myhost", "10.0.0.1", dependDNS, "udp/53"), 0);
    dependency_t *in = addAged(makeDep("10.0.0.2", "myhost", dependLogin, "ssh", dependInbound, dependSrcUndef), 0);
    ASSERT_EQ(addGeneralDependencyByArgs("gen-client", "myhost.example.com", dependWeb, "80", dependSrcDynamic), 1);
    ASSERT_EQ(addGeneralDependencyByArgs("myhost.example.com", "gen-server", dependWeb, "81", dependSrcDynamic), 1);
    graphLock(theGraph, "test");
    out->lastUpdate = 86400;
    out->createTime = 3600;
    out->reachable = 1;
    out->reachableTime = 7200;
    out->score = 5;
    out->numIcmp = 6;
    out->avgIcmpRespTime = 7;
    out->movAvgIcmpRespTime = 8;
    out->icmpRespTime = 9;
    out->ipVersion = 4;
    in->reachable = 0;
    in->createTime = 0;
    graphUnlock(theGraph, "test");
    std::vector<unsigned> all;
    for (unsigned i = 1; i <= 17; i++)
        all.push_back(i);
    Columns cols(all);
    {
        Reply r;
        EXPECT_EQ(select("3.host1.example.com.udp/53", cols, r), noError);
        EXPECT_EQ(r.values(), (std::vector<std::string>{"3", "1970-01-02T00:00:00+00:00", "udp/53", "3",
                                                        "host1.example.com", "0", "true", "1970-01-01T02:00:00+00:00",
                                                        "myhost.example.com", "host1.example.com",
                                                        "1970-01-01T01:00:00+00:00", "5", "6", "7", "8", "9", "4"}));
        std::vector<qelSyntax_t> syntaxes;
        for (qelVariable_t *x = r.pdu.varList; x; x = x->next)
            syntaxes.push_back(x->varSyntax);
        EXPECT_EQ(syntaxes, (std::vector<qelSyntax_t>{integer, displayString, displayString, integer, displayString,
                                                      integer, extendedBoolean, dateTime, displayString, displayString,
                                                      dateTime, integer, integer, integer, integer, integer, integer}));
    }
    {
        Reply r;
        testing::internal::CaptureStderr();
        EXPECT_EQ(select("10.host2.example.com.ssh", cols, r), noError);
        std::string err = testing::internal::GetCapturedStderr();
        auto v = r.values();
        ASSERT_EQ(v.size(), 17u);
        EXPECT_EQ(v[3], "0");
        EXPECT_NE(err.find("varDependTable: 0 depend src\n"), std::string::npos);
        EXPECT_EQ(v[4], "host2.example.com") << "inbound: the client is the peer";
        EXPECT_EQ(v[5], "1");
        EXPECT_EQ(v[6], "false");
        EXPECT_EQ(v[7], "") << "never reachable: no time";
        EXPECT_EQ(v[10], "") << "no creation time";
    }
    {
        Reply r;
        EXPECT_EQ(select("11.gen-client.myhost.example.com.80", cols, r), noError);
        auto v = r.values();
        ASSERT_EQ(v.size(), 17u);
        EXPECT_EQ(v[4], "myhost.example.com");
        EXPECT_EQ(v[5], "1") << "general, the local host is the server";
        EXPECT_EQ(v[6], "unknown");
    }
    {
        Reply r;
        EXPECT_EQ(select("11.myhost.example.com.gen-server.81", cols, r), noError);
        auto v = r.values();
        ASSERT_EQ(v.size(), 17u);
        EXPECT_EQ(v[4], "gen-server");
        EXPECT_EQ(v[5], "0") << "general, the local host is the client";
    }
}

TEST_F(DependencyTable, SelectKeyIsCut) {
    std::string args(3000, 'a');
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, args.c_str()), 0);
    Columns cols({1});
    Reply r;
    EXPECT_EQ(select("*", cols, r), noError);
    ASSERT_EQ(r.keys().size(), 1u);
    std::string key = r.keys()[0];
    EXPECT_EQ(key.size(), 2047u);
    EXPECT_EQ(key.substr(0, 22), "3.host1.example.com.aa");
    // The cut key selects the row exactly.
    Reply r2;
    EXPECT_EQ(select(key.c_str(), cols, r2), noError);
    EXPECT_EQ(r2.pdu.numberVariables, 1u);
}

TEST_F(DependencyTable, AccessorsCopyTheLocalTable) {
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    addAged(makeDep("10.0.0.2", "myhost", dependLogin, "22", dependInbound), 0);
    ASSERT_EQ(addGeneralDependencyByArgs("10.0.0.1", "10.0.0.2", dependDNS, "x", dependSrcDynamic), 1);
    EXPECT_EQ(getNumberDependencies(), 2);
    int n = -1;
    EXPECT_EQ(getDependencies(nullptr), nullptr);
    dependency_t *copy = getDependencies(&n);
    ASSERT_EQ(n, 2);
    EXPECT_STREQ(copy[0].dependServer, "host1.example.com");
    EXPECT_STREQ(copy[1].dependClient, "host2.example.com");
    free(copy);
    auto rows = kestrova::getDependencyRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].dtype, dependDNS);
    EXPECT_EQ(rows[0].pov, dependOutbound);
    EXPECT_EQ(rows[0].server, "host1.example.com");
    EXPECT_EQ(rows[1].pov, dependInbound);
    EXPECT_EQ(rows[1].args, "22");
}

// ---- the worker ----

// Recorders stand in for the sixteen modules of the worker's table, with
// its names and groups.
struct Recorder {
    static inline std::mutex mu;
    static inline std::vector<std::string> calls;
    static inline int stopInGroup = -1;
};

template <int I>
int record() {
    const discoveryEntry_t &e = kestrovaDiscoveryOrder[I];
    std::lock_guard g(Recorder::mu);
    Recorder::calls.push_back(e.name);
    if (e.group == Recorder::stopInGroup)
        kestrova_thread_kill = 1;
    return 0;
}

template <int... I>
std::vector<discoveryEntry_t> recorders(std::integer_sequence<int, I...>) {
    return {discoveryEntry_t{kestrovaDiscoveryOrder[I].name, record<I>, kestrovaDiscoveryOrder[I].group}...};
}

TEST(DiscoveryTable, NoneUntilInstalled) {
    // Without init_dependencies a pass runs no module and still ages out.
    kestrovaSetDiscoveryTable(nullptr, 0);
    kestrova_thread_kill = 0;
    EXPECT_EQ(kestrovaDependencyPass(), 1);
}

TEST_F(DependencyTable, PassRunsGroupsThenAgeOutThenProbes) {
    auto table = recorders(std::make_integer_sequence<int, KESTROVA_NUM_DISCOVERY>{});
    kestrovaSetDiscoveryTable(table.data(), (int)table.size());
    for (int stopAfter = 0; stopAfter <= 6; stopAfter++) {
        {
            std::lock_guard g(Recorder::mu);
            Recorder::calls.clear();
            Recorder::stopInGroup = stopAfter < 6 ? stopAfter : -1;
        }
        {
            std::lock_guard g(script.mu);
            script.calls.clear();
        }
        kestrova_thread_kill = 0;
        addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 700);
        int rc = kestrovaDependencyPass();
        std::vector<std::string> expect;
        for (const auto &e : table)
            if (stopAfter == 6 || e.group <= stopAfter)
                expect.push_back(e.name);
        {
            std::lock_guard g(Recorder::mu);
            EXPECT_EQ(Recorder::calls, expect) << "stop in group " << stopAfter;
        }
        if (stopAfter < 6) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(getNumberDependencies(), 1) << "no age-out after a stop in group " << stopAfter;
            EXPECT_TRUE(probeCalls().empty()) << "no probes after a stop in group " << stopAfter;
        } else {
            EXPECT_EQ(rc, 1);
            EXPECT_EQ(getNumberDependencies(), 0) << "the stale dependency aged out";
        }
    }
    // A fresh dependency is probed at the end of a full pass.
    {
        std::lock_guard g(Recorder::mu);
        Recorder::stopInGroup = -1;
    }
    kestrova_thread_kill = 0;
    addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    EXPECT_EQ(kestrovaDependencyPass(), 1);
    auto calls = probeCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().hosts, std::vector<std::string>{"host1.example.com"});
}

TEST_F(DependencyTable, WorkerRunsPassesAndLeavesOnStop) {
    auto table = recorders(std::make_integer_sequence<int, KESTROVA_NUM_DISCOVERY>{});
    kestrovaSetDiscoveryTable(table.data(), (int)table.size());
    {
        std::lock_guard g(Recorder::mu);
        Recorder::calls.clear();
        Recorder::stopInGroup = -1;
    }
    ASSERT_EQ(kestrovaSetTimeDivisor("60"), 1);
    dependencyScanInterval = 4; // four quarter sleeps of 1 s / 60
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::thread worker([] { dependency_dowork(nullptr); });
    auto deadline = std::chrono::steady_clock::now() + 10s;
    size_t seen = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard g(Recorder::mu);
            seen = Recorder::calls.size();
        }
        if (seen >= 3 * KESTROVA_NUM_DISCOVERY)
            break;
        std::this_thread::sleep_for(10ms);
    }
    kestrovaStopWorkers(0);
    worker.join();
    size_t afterStop = 0;
    {
        std::lock_guard g(Recorder::mu);
        afterStop = Recorder::calls.size();
    }
    // A stop seen at a check inside a pass ends the thread at once, and
    // one seen by the loop prints its leaving: which one this stop met
    // depends on timing, so the loop's way out is run apart, with the flag
    // already set.
    dependency_dowork(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    kestrovaSetTimeDivisor("1");
    dependencyScanInterval = KESTROVA_DEFAULT_DEPENDENCY_SCAN;
    EXPECT_GE(seen, 3u * KESTROVA_NUM_DISCOVERY) << "three passes within 10 s";
    EXPECT_NE(err.find("dependency_dowork starting\n"), std::string::npos);
    EXPECT_NE(out.find("dependency worker returning\n"), std::string::npos) << out;
    {
        std::lock_guard g(Recorder::mu);
        EXPECT_EQ(Recorder::calls.size(), afterStop) << "no discovery once stopped";
    }
}

} // namespace

namespace {

// A probe pass that waits until other threads have used the table meanwhile:
// selects, adds and removes all go on while the probes are out.
TEST_F(DependencyTable, TableServedWhileProbesWait) {
    for (int i = 0; i < 50; i++) {
        std::string srv = "server" + std::to_string(i) + ".test";
        addAged(makeDep("myhost", srv.c_str(), dependWeb, "80"), 0);
    }
    std::atomic<int> selects{0}, changes{0};
    std::atomic<bool> probing{false}, done{false};
    {
        std::lock_guard g(script.mu);
        script.checkLockFree = false;
        script.during = [&](int) {
            probing = true;
            auto deadline = std::chrono::steady_clock::now() + 20s;
            while ((selects < 5 || changes < 5) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
        };
    }
    std::thread reader([&] {
        Columns cols({1, 2, 5, 7, 10, 13});
        while (!done) {
            Reply r;
            if (select("*", cols, r) == noError && probing)
                selects++;
        }
    });
    std::thread writer([&] {
        for (int i = 0; !done; i++) {
            dependency_t d = makeDep("myhost", "churn.test", dependDB, std::to_string(i % 3).c_str());
            addLocalDependency(&d);
            dependency_t r = makeDep("myhost", "churn.test", dependDB, std::to_string((i + 1) % 3).c_str());
            removeLocalDependency(&r);
            if (probing)
                changes++;
        }
    });
    EXPECT_EQ(checkDependencies(), 1);
    done = true;
    reader.join();
    writer.join();
    EXPECT_GE(selects.load(), 5) << "dependencyTable answered while the probes were out";
    EXPECT_GE(changes.load(), 5);
    for (int i = 0; i < 50; i++) {
        std::string srv = "server" + std::to_string(i) + ".test";
        dependency_t *d = findLocalDependencyNoArgs(dependWeb, srv.c_str(), dependOutbound);
        ASSERT_NE(d, nullptr);
        graphLock(theGraph, "test");
        EXPECT_EQ(d->reachable, 0);
        EXPECT_EQ(d->numIcmp, 1);
        graphUnlock(theGraph, "test");
    }
}

} // namespace

namespace {

// ---- rows of a peer's reply ----

struct PeerReply {
    qelPdu_t pdu;
    PeerReply() { memset(&pdu, 0, sizeof pdu); }
    ~PeerReply() { qelPduCleanup(&pdu); }
    void row(const std::string &type, const std::string &args, const std::string &client, const std::string &pov,
             const std::string &server) {
        qelAddVariable(&pdu, "kestrova", "dependType", "k", integer, type.c_str());
        qelAddVariable(&pdu, "kestrova", "dependArgs", "k", displayString, args.c_str());
        qelAddVariable(&pdu, "kestrova", "dependClient", "k", displayString, client.c_str());
        qelAddVariable(&pdu, "kestrova", "dependReference", "k", integer, pov.c_str());
        qelAddVariable(&pdu, "kestrova", "dependServer", "k", displayString, server.c_str());
    }
};

TEST_F(DependencyTable, PeerRowsReadFiveToARow) {
    PeerReply r;
    r.row("3", "udp/53", "peerhost", "0", "dns1");
    r.row("abc", "x", "c", "1", "s");
    r.row("-5", std::string(3000, 'a'), std::string(300, 'c'), "7", std::string(300, 's'));
    // Surplus bindings that make no whole row.
    qelAddVariable(&r.pdu, "kestrova", "dependType", "k", integer, "4");
    qelAddVariable(&r.pdu, "kestrova", "dependArgs", "k", displayString, "orphan");
    std::vector<kestrova::DependencyRow> rows;
    EXPECT_EQ(kestrova::readPeerDependencyRows(r.pdu.varList, rows), 0u);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].dtype, 3);
    EXPECT_EQ(rows[0].args, "udp/53");
    EXPECT_EQ(rows[0].client, "peerhost");
    EXPECT_EQ(rows[0].server, "dns1");
    EXPECT_EQ(rows[1].dtype, 0);
    EXPECT_EQ(rows[1].pov, 1);
    EXPECT_EQ(rows[2].dtype, -5);
    EXPECT_EQ(rows[2].args.size(), 2047u);
    EXPECT_EQ(rows[2].client.size(), 255u);
    EXPECT_EQ(rows[2].server.size(), 255u);
}

TEST_F(DependencyTable, PeerRowsMergeAsGeneralDependencies) {
    std::vector<kestrova::DependencyRow> rows = {{3, 0, "localhost", "10.0.0.5", "udp/53"},
                                                 {4, 1, "10.0.0.1", "127.0.0.1", "ntp"},
                                                 {5, 0, "127.0.0.53", "mx.test", "25"},
                                                 {6, 0, "::1", "ldap.test", "389"},
                                                 {11, 0, "", "web.test", "80"},      // no client: dropped
                                                 {11, 0, "a.test", "", "80"},        // no server: dropped
                                                 {40, 2, "a.test", "b.test", "odd"}, // out of range: kept as given
                                                 {8, 0, "my.localhost.net", "lp.test", "lp"}};
    ASSERT_EQ(kestrova::mergePeerDependencyRows(rows, "10.0.0.2"), 6);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].client, "host2.example.com") << "the peer itself, normalised";
    EXPECT_EQ(rows[0].server, "srv5.example.com");
    EXPECT_EQ(rows[1].client, "host1.example.com");
    EXPECT_EQ(rows[1].server, "host2.example.com");
    EXPECT_EQ(rows[2].client, "host2.example.com");
    EXPECT_EQ(rows[3].client, "host2.example.com");
    EXPECT_EQ(rows[4].dtype, 40);
    EXPECT_EQ(rows[5].client, "host2.example.com");
    for (const auto &r : rows)
        EXPECT_EQ(r.pov, dependNA);
    EXPECT_EQ(getSizeOfGraph(theGraph), 6);
    dependency_t *dns = findDependencyByType(dependDNS, "host2.example.com", "srv5.example.com");
    ASSERT_NE(dns, nullptr);
    EXPECT_EQ(dns->pov, dependNA);
    EXPECT_EQ(dns->dsrc, dependSrcDynamic);
    EXPECT_EQ(dns->reachable, 2);
    // Merged again: refreshed, not added twice.
    std::vector<kestrova::DependencyRow> again = {{3, 0, "localhost", "10.0.0.5", "udp/53"}};
    EXPECT_EQ(kestrova::mergePeerDependencyRows(again, "10.0.0.2"), 1);
    EXPECT_EQ(getSizeOfGraph(theGraph), 6);
    EXPECT_EQ(kestrova::mergePeerDependencyRows(again, nullptr), -1);
}

TEST_F(DependencyTable, PeerRowsAreBounded) {
    PeerReply r;
    for (int i = 0; i < 5; i++)
        r.row(std::to_string(i + 1), "a", "c", "0", "s");
    std::vector<kestrova::DependencyRow> rows;
    EXPECT_EQ(kestrova::readPeerDependencyRows(r.pdu.varList, rows, 2), 3u);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].dtype, 2) << "the first rows are kept";
    EXPECT_EQ(kestrova::kMaxPeerDependencyRows, 50000u);
}

// ---- the probe pass's write-back and kept memory ----

TEST_F(DependencyTable, AddsDuringTheProbesWaitAPassAndEachRecordIsAnsweredOnce) {
    dependency_t *a = addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    dependency_t *b = addAged(makeDep("myhost", "10.0.0.2", dependDNS, "53"), 0);
    // This host at both ends: one record, both ends one vertex.
    dependency_t *self = addAged(makeDep("myhost", "myhost", dependWeb, "80"), 0);
    ASSERT_TRUE(a && b && self);
    ASSERT_EQ(self->client, self->server);
    answer("host1.example.com", 1, 4);
    answer("host2.example.com", 0, 5000);
    answer("myhost.example.com", 1, 6);
    answer("srv5.example.com", 1, 8);
    dependency_t late = makeDep("myhost", "10.0.0.5", dependNTP, "123");
    {
        std::lock_guard g(script.mu);
        // Only an add: nothing leaves the graph meanwhile.
        script.during = [&](int index) {
            if (index == 0) {
                dependency_t l = late;
                EXPECT_EQ(addLocalDependency(&l), 1);
            }
        };
    }
    checkDependencies();
    dependency_t *lateRec = findLocalDependencyNoArgs(dependNTP, "10.0.0.5", dependOutbound);
    ASSERT_NE(lateRec, nullptr);
    EXPECT_EQ(lateRec->reachable, 2) << "added during the probes: probed next pass";
    EXPECT_EQ(lateRec->numIcmp, 0);
    EXPECT_EQ(a->reachable, 1);
    EXPECT_EQ(a->numIcmp, 1);
    EXPECT_EQ(a->icmpRespTime, 4);
    EXPECT_EQ(b->reachable, 0);
    EXPECT_EQ(b->numIcmp, 1);
    EXPECT_EQ(self->numIcmp, 1) << "a record with this host at both ends is answered once";
    EXPECT_EQ(self->icmpRespTime, 6);
    auto calls = probeCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(std::count(calls[0].hosts.begin(), calls[0].hosts.end(), "myhost.example.com"), 1);

    {
        std::lock_guard g(script.mu);
        script.during = nullptr;
    }
    checkDependencies();
    EXPECT_EQ(lateRec->reachable, 1);
    EXPECT_EQ(lateRec->numIcmp, 1);
    EXPECT_EQ(lateRec->icmpRespTime, 8);
    EXPECT_EQ(a->numIcmp, 2);
    EXPECT_EQ(self->numIcmp, 2);
}

TEST_F(DependencyTable, APassCarriesNothingOverFromTheLastOne) {
    // First pass: a retry with the name discovery gave, and many records.
    dependency_t *d = addAged(makeDep("myhost", "10.0.0.5", dependNTP, "123"), 0);
    std::vector<dependency_t> extra;
    for (int i = 0; i < 300; i++) {
        extra.push_back(makeDep("myhost", ("extra" + std::to_string(i) + ".test").c_str(), dependWeb, "443"));
        addAged(extra.back(), 0);
    }
    answer("srv5.example.com", -4, 0);
    answer("10.0.0.5", 1, 9);
    checkDependencies();
    ASSERT_EQ(d->reachable, 1);
    ASSERT_EQ(d->icmpRespTime, 9);
    ASSERT_EQ(probeCalls().size(), 2u);
    for (dependency_t &e : extra) {
        dependency_t r = e;
        ASSERT_EQ(removeLocalDependency(&r), 1);
    }
    // Second pass over one record: its own result only, no retry left over.
    answer("srv5.example.com", 0, 5000);
    checkDependencies();
    auto calls = probeCalls();
    ASSERT_EQ(calls.size(), 3u) << "no second wave";
    EXPECT_EQ(calls[2].hosts, std::vector<std::string>{"srv5.example.com"});
    EXPECT_EQ(d->reachable, 0);
    EXPECT_EQ(d->reachableTime, 0);
    EXPECT_EQ(d->numIcmp, 2);
    EXPECT_EQ(d->icmpRespTime, 5000);
}

// Adds and removals between passes (a server shared by several records,
// names that come back as new records): each pass asks for exactly the
// distinct targets of the records there, and answers each record once.
TEST_F(DependencyTable, KeptCopiesFollowTheRecordsFromPassToPass) {
    std::mt19937 rng(12);
    std::map<std::pair<int, int>, int> live; // (server, type) -> passes answered
    auto dep = [](int server, int type) {
        return makeDep("myhost", ("churn" + std::to_string(server) + ".test").c_str(), type,
                       std::to_string(1000 + type).c_str());
    };
    const int types[3] = {dependDNS, dependWeb, dependNTP};
    for (int pass = 0; pass < 12; pass++) {
        int adds = (int)(rng() % 12), drops = pass == 0 ? 0 : (int)(rng() % 6);
        for (int i = 0; i < drops && !live.empty(); i++) {
            auto it = live.begin();
            std::advance(it, rng() % live.size());
            dependency_t r = dep(it->first.first, types[it->first.second]);
            ASSERT_EQ(removeLocalDependency(&r), 1);
            live.erase(it);
        }
        for (int i = 0; i < adds; i++) {
            std::pair<int, int> k{(int)(rng() % 15), (int)(rng() % 3)};
            if (live.count(k))
                continue;
            ASSERT_NE(addAged(dep(k.first, types[k.second]), 0), nullptr);
            live[k] = 0;
        }
        {
            std::lock_guard g(script.mu);
            script.calls.clear();
        }
        checkDependencies();
        std::set<std::string> want;
        for (auto &[k, n] : live) {
            want.insert("churn" + std::to_string(k.first) + ".test");
            n++;
        }
        auto calls = probeCalls();
        std::vector<std::string> asked;
        for (const ProbeCall &c : calls)
            asked.insert(asked.end(), c.hosts.begin(), c.hosts.end());
        std::sort(asked.begin(), asked.end());
        EXPECT_EQ(asked, std::vector<std::string>(want.begin(), want.end())) << "pass " << pass;
        for (auto &[k, n] : live) {
            dependency_t probe = dep(k.first, types[k.second]);
            dependency_t *rec = findLocalDependencyNoArgs(types[k.second], probe.dependServer, dependOutbound);
            ASSERT_NE(rec, nullptr);
            EXPECT_EQ(rec->numIcmp, n) << "pass " << pass << " server " << k.first;
            EXPECT_EQ(rec->reachable, 0);
        }
    }
}

// A record whose address family was changed in place between passes is
// probed under the new one, and the records after it are still answered
// once.
TEST_F(DependencyTable, ARecordChangedInPlaceIsCopiedAfresh) {
    dependency_t *a = addAged(makeDep("myhost", "10.0.0.1", dependDNS, "53"), 0);
    dependency_t *b = addAged(makeDep("myhost", "10.0.0.2", dependDNS, "53"), 0);
    dependency_t *c = addAged(makeDep("myhost", "10.0.0.5", dependDNS, "53"), 0);
    ASSERT_TRUE(a && b && c);
    answer("host1.example.com", 1, 2);
    answer("host2.example.com", 1, 3);
    answer("srv5.example.com", 1, 4);
    checkDependencies();
    graphLock(theGraph, "test");
    a->ipVersion = 6;
    graphUnlock(theGraph, "test");
    {
        std::lock_guard g(script.mu);
        script.calls.clear();
    }
    checkDependencies();
    std::map<int, std::vector<std::string>> byVersion;
    for (const ProbeCall &call : probeCalls())
        byVersion[call.version].insert(byVersion[call.version].end(), call.hosts.begin(), call.hosts.end());
    for (auto &[v, hosts] : byVersion)
        std::sort(hosts.begin(), hosts.end());
    EXPECT_EQ(byVersion[6], std::vector<std::string>{"host1.example.com"});
    EXPECT_EQ(byVersion[0], (std::vector<std::string>{"host2.example.com", "srv5.example.com"}));
    for (dependency_t *d : {a, b, c}) {
        EXPECT_EQ(d->numIcmp, 2);
        EXPECT_EQ(d->reachable, 1);
    }
}

} // namespace
