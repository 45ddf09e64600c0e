// link: kestrova_core
#include <gtest/gtest.h>

#include <string>

#include "kestrova_test_host.h"
#include "dependency.h"
#include "graph.h"
#include "peer.h"

namespace {

dependency_t makeDep(const char *client, const char *server, int dtype, const char *args,
                     dependencyReference_t pov = dependOutbound) {
    dependency_t d;
    memset(&d, 0, sizeof(d));
    qelCopyField(d.dependClient, client);
    qelCopyField(d.dependServer, server);
    qelCopyField(d.args, args);
    d.dtype = (dependencyType_t)dtype;
    d.pov = pov;
    d.dsrc = dependSrcDynamic;
    return d;
}

// Silences the chatter of the add operations that a test does not check.
struct Quiet {
    Quiet() { testing::internal::CaptureStdout(); }
    ~Quiet() { testing::internal::GetCapturedStdout(); }
};

class DependencyTest : public testing::Test {
protected:
    void SetUp() override {
        testhost::reset();
        testhost::addHost("10.0.0.1", "host1.example.com");
        testhost::addHost("10.0.0.2", "host2.example.com");
        testhost::addHost("10.0.0.5", "srv5.example.com");
        testhost::setupGraph("myhost.example.com");
        peerList = newLinkedList(sizeof(peerNode_t), comparePeers, printPeer, freePeer, "peerList", 1);
    }
    void TearDown() override {
        testhost::teardownGraph();
        destroyLinkedList(peerList);
        peerList = nullptr;
    }
    int edgesOfMe() { return graphGetVertexDegree(theGraph, myVertex); }
};

TEST(DependencyText, StringToInt) {
    EXPECT_EQ(dependencyStringToInt("DNS"), 3);
    EXPECT_EQ(dependencyStringToInt("dependDNS"), 3);
    EXPECT_EQ(dependencyStringToInt("dependdns(3)"), 3);
    EXPECT_EQ(dependencyStringToInt("Printer"), 8);
    EXPECT_EQ(dependencyStringToInt("dns"), 0);
    EXPECT_EQ(dependencyStringToInt("DEPENDVM(31)"), 31);
    EXPECT_EQ(dependencyStringToInt("dependMAX(32)"), 0);
    EXPECT_EQ(dependencyStringToInt(nullptr), -1);
}

TEST(DependencyText, TypeToStr) {
    char buf[64];
    EXPECT_EQ(dependencyTypeToStr(3, buf, sizeof(buf)), 1);
    EXPECT_STREQ(buf, "dependDNS(3)");
    EXPECT_EQ(dependencyTypeToStr(32, buf, sizeof(buf)), 1);
    EXPECT_STREQ(buf, "dependMAX(32)");
    EXPECT_EQ(dependencyTypeToStr(40, buf, sizeof(buf)), -1);
    EXPECT_STREQ(buf, "undef(40)");
    strcpy(buf, "untouched");
    EXPECT_EQ(dependencyTypeToStr(3, buf, 19), -1);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(dependencyTypeToStr(3, nullptr, 64), -1);
    // Bounded by maxlen.
    char small[21];
    EXPECT_EQ(dependencyTypeToStr(dependMiddleware, small, 20), 1);
    EXPECT_STREQ(small, "dependMiddleware(24");
    EXPECT_EQ(strlen(small), 19u);
}

TEST(DependencyText, CompareAndAccessors) {
    vertex_t *a = vertexNew("a"), *b = vertexNew("b");
    dependency_t x = makeDep("a", "b", 3, "53"), y = x;
    x.client = y.client = a;
    x.server = y.server = b;
    EXPECT_EQ(dependencyCompare(&x, &y), 0);
    qelCopyField(y.args, "54");
    EXPECT_EQ(dependencyCompare(&x, &y), -1);
    EXPECT_EQ(dependencyCompareNoArgs(&x, &y), 0);
    EXPECT_EQ(dependencyHash(&x), dependencyHash(&x));
    y.server = a;
    EXPECT_EQ(dependencyCompareNoArgs(&x, &y), -1);
    EXPECT_EQ(dependencyCompare(&x, nullptr), -1);
    EXPECT_EQ(dependencyGetClient(&x), a);
    EXPECT_EQ(dependencyGetServer(nullptr), nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(dependencySetClient(&x, nullptr), -1);
    EXPECT_EQ(dependencySetServer(nullptr, a), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "dependencySetClient: bogus\ndependencySetServer: bogus\n");
    EXPECT_EQ(dependencySetServer(&x, a), 0);
    EXPECT_EQ(x.server, a);

    char expect[512];
    snprintf(expect, sizeof(expect), "Dependency: src:3 client:a/%lx dtype:3 server:a/%lx pov:0 args:'53'\n",
             (unsigned long)a, (unsigned long)a);
    testing::internal::CaptureStdout();
    dependencyPrint(&x);
    dependencyPrint(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expect);
    vertexFree(a);
    vertexFree(b);
}

TEST_F(DependencyTest, LocalAddThenRefresh) {
    Quiet q;
    dependency_t d = makeDep("myhost.example.com", "10.0.0.5", dependDNS, "53");
    d.ipVersion = 4;
    EXPECT_EQ(addLocalDependency(&d), 1);
    dependency_t *rec = findLocalDependency(&d);
    ASSERT_NE(rec, nullptr);
    EXPECT_NE(rec, &d); // the graph keeps its own copy
    EXPECT_STREQ(rec->dependServer, "srv5.example.com");
    EXPECT_STREQ(rec->originalServer, "10.0.0.5");
    EXPECT_STREQ(rec->name, "type='dependDNS(3)' args='53'");
    EXPECT_EQ(rec->reachable, 2);
    EXPECT_EQ(rec->ipVersion, 4);
    EXPECT_EQ(rec->client, myVertex);
    EXPECT_NE(rec->createTime, 0);
    rec->lastUpdate = 1;
    dependency_t again = makeDep("myhost.example.com", "srv5.example.com", dependDNS, "53");
    EXPECT_EQ(addLocalDependency(&again), 0);
    EXPECT_GT(rec->lastUpdate, 1);
    EXPECT_EQ(again.server, rec->server);
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    // Other args make another dependency.
    dependency_t other = makeDep("myhost.example.com", "10.0.0.5", dependDNS, "5353");
    EXPECT_EQ(addLocalDependency(&other), 1);
    EXPECT_EQ(getSizeOfGraph(theGraph), 2);
    EXPECT_EQ(getOrderOfGraph(theGraph), 2);
    EXPECT_EQ(edgesOfMe(), 2);
    EXPECT_EQ(findLocalDependencyNoArgs(dependDNS, "10.0.0.5", dependOutbound), rec);
    EXPECT_EQ(findLocalDependencyNoArgs(dependDNS, "10.0.0.5", dependInbound), nullptr);
    EXPECT_EQ(findLocalDependencyNoArgs(dependDNS, "10.0.0.5", dependNA), nullptr);
    EXPECT_EQ(amIClient(dependDNS), 1);
    EXPECT_EQ(amIClient(dependNTP), 0);
}

// A dependency removed, pruned or dropped with its vertex is made anew by
// the next add of the same text; a host name that changes is seen at once.
TEST_F(DependencyTest, LocalAddAfterRemovalsAndARenamedHost) {
    Quiet q;
    dependency_t d = makeDep("10.0.0.1", "myhost", dependLogin, "ssh", dependInbound);
    ASSERT_EQ(addLocalDependency(&d), 1);
    ASSERT_EQ(addLocalDependency(&d), 0);
    dependency_t r = d;
    ASSERT_EQ(removeLocalDependency(&r), 1);
    EXPECT_EQ(addLocalDependency(&d), 1);
    ASSERT_EQ(graphRemoveEdge(theGraph, findLocalDependency(&d), 1), 0);
    EXPECT_EQ(addLocalDependency(&d), 1);
    ASSERT_EQ(graphRemoveNode(theGraph, d.client), 0);
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    EXPECT_EQ(addLocalDependency(&d), 0);
    EXPECT_EQ(d.server, myVertex);
    // "myhost" is no longer this host: a vertex of its own.
    qelCopyField(myhostname, "other.example.com");
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_NE(d.server, myVertex);
    EXPECT_STREQ(d.server->name, "myhost");
    qelCopyField(myhostname, "myhost.example.com");
}

TEST_F(DependencyTest, LocalAddRefusals) {
    struct Case {
        dependency_t d;
        const char *msg;
    } cases[] = {
        {makeDep("", "10.0.0.5", 3, ""), "addLocalDependency: 0 client or server\n"},
        {makeDep("myhost.example.com", "", 3, ""), "addLocalDependency: 0 client or server\n"},
        {makeDep("myhost.example.com", "255.255.255.255", 3, ""), "addLocalDependency: dont add broadcast depend\n"},
        {makeDep("myhost.example.com", "10.0.0.5", 0, ""), "addLocalDependency: invalid dtype\n"},
        {makeDep("myhost.example.com", "10.0.0.5", 32, ""), "addLocalDependency: invalid dtype\n"},
    };
    for (auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(addLocalDependency(&c.d), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.msg);
    }
    EXPECT_EQ(addLocalDependency(nullptr), -1);
    EXPECT_EQ(getSizeOfGraph(theGraph), 0);
    EXPECT_EQ(getOrderOfGraph(theGraph), 1);
}

TEST_F(DependencyTest, LoopbackClientBecomesLocalHost) {
    dependency_t d = makeDep("127.0.0.1", "10.0.0.1", dependWeb, "<80>");
    EXPECT_EQ(addLocalDependency(&d), 1);
    dependency_t *rec = findLocalDependency(&d);
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->dependClient, "myhost.example.com");
    EXPECT_STREQ(rec->originalClient, "127.0.0.1");
    EXPECT_EQ(rec->client, myVertex);
    EXPECT_STREQ(rec->args, "[80]");
    EXPECT_STREQ(d.args, "[80]");
    EXPECT_STREQ(rec->name, "type='dependWeb(11)' args='[80]'");
}

TEST_F(DependencyTest, InboundAndNotReallyLocal) {
    dependency_t in = makeDep("10.0.0.1", "localhost", dependLogin, "22", dependInbound);
    EXPECT_EQ(addLocalDependency(&in), 1);
    EXPECT_EQ(in.server, myVertex);
    EXPECT_EQ(findLocalDependencyNoArgs(dependLogin, "host1.example.com", dependInbound)->client, in.client);
    EXPECT_EQ(amIClient(dependLogin), 0);

    dependency_t odd = makeDep("10.0.0.1", "10.0.0.2", dependLogin, "22");
    testing::internal::CaptureStdout();
    EXPECT_EQ(addLocalDependency(&odd), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "addLocalDependency: is this really local? host1.example.com host2.example.com myhost.example.com\n");
}

TEST_F(DependencyTest, TransitAddRefreshAndRefusals) {
    dependency_t d = makeDep("10.0.0.1", "10.0.0.2", dependDB, "1521", dependTransit);
    testing::internal::CaptureStdout();
    EXPECT_EQ(addTransitDependency(&d), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("addTransitDependency: ", 0), 0u);
    EXPECT_NE(out.find(" host1.example.com/"), std::string::npos);
    dependency_t *rec = findTransitDependency(dependDB, "10.0.0.1", "host2.example.com", "1521");
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->originalClient, "");
    EXPECT_EQ(findTransitDependencyNoArgs(dependDB, "host1.example.com", "10.0.0.2"), rec);
    EXPECT_EQ(findTransitDependency(dependDB, "10.0.0.1", "10.0.0.2", "1522"), nullptr);
    EXPECT_EQ(findDependencyByType(dependDB, "10.0.0.1", "10.0.0.2"), rec);
    EXPECT_EQ(findDependencyByName("type='dependDB(14)' args='1521'", "10.0.0.1", "10.0.0.2"), rec);
    EXPECT_EQ(findDependency(&d), rec);
    EXPECT_EQ(findLocalDependency(&d), nullptr);

    rec->lastUpdate = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(addTransitDependency(&d), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("addTransitDependency: updating entry: Dependency: src:3 client:host1.example.com/", 0), 0u);
    EXPECT_GT(rec->lastUpdate, 1);

    dependency_t mine = makeDep("127.0.0.1", "10.0.0.2", dependDB, "x", dependTransit);
    testing::internal::CaptureStderr();
    EXPECT_EQ(addTransitDependency(&mine), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "addTransitDependency: I cant be client if transit\n");
    dependency_t mineServer = makeDep("10.0.0.1", "myhost", dependDB, "x", dependTransit);
    testing::internal::CaptureStderr();
    EXPECT_EQ(addTransitDependency(&mineServer), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "addTransitDependency: I cant be server if transit\n");
    dependency_t notTransit = makeDep("10.0.0.1", "10.0.0.2", dependDB, "x", dependOutbound);
    testing::internal::CaptureStderr();
    EXPECT_EQ(addTransitDependency(&notTransit), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    dependency_t bcast = makeDep("10.0.0.1", "255.255.255.255", dependDB, "x", dependTransit);
    testing::internal::CaptureStderr();
    EXPECT_EQ(addTransitDependency(&bcast), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "addTransitDependency: dont add broadcast depend\n");
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
}

TEST_F(DependencyTest, GeneralDependencies) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(addGeneralDependencyByArgs("10.0.0.1", "10.0.0.2", 0, "x", dependSrcStatic), -1);
    EXPECT_EQ(addGeneralDependencyByArgs(nullptr, "10.0.0.2", 3, "x", dependSrcStatic), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "addGeneralDependencyByArgs: invalid info\naddGeneralDependencyByArgs: invalid info\n");
    EXPECT_EQ(getSizeOfGraph(theGraph), 0);
    EXPECT_EQ(getOrderOfGraph(theGraph), 1);

    EXPECT_EQ(addGeneralDependencyByArgs("10.0.0.1", "10.0.0.2", 40, "<a&b>", dependSrcStatic), 1);
    EXPECT_EQ(addGeneralDependencyByArgs("host1.example.com", "10.0.0.2", 40, "<a&b>", dependSrcStatic), 0);
    dependency_t *rec = findDependencyByType(40, "10.0.0.1", "10.0.0.2");
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->pov, dependNA);
    EXPECT_EQ(rec->dsrc, dependSrcStatic);
    EXPECT_STREQ(rec->args, "<a&b>"); // general dependencies keep their args
    EXPECT_STREQ(rec->name, "type='undef(40)' args='<a&b>'");
    EXPECT_EQ(getOrderOfGraph(theGraph), 3);
}

TEST_F(DependencyTest, RemoveLocalSendsOneTrapPerPeer) {
    insertTail(peerList, peerNew("peerA"));
    insertTail(peerList, peerNew("peerB"));
    dependency_t d = makeDep("myhost.example.com", "10.0.0.5", dependDNS, "53");
    ASSERT_EQ(addLocalDependency(&d), 1);

    dependency_t absent = makeDep("myhost.example.com", "10.0.0.5", dependDNS, "54");
    EXPECT_EQ(removeLocalDependency(&absent), 0);
    EXPECT_TRUE(testhost::sentTraps().empty());
    dependency_t unknownHost = makeDep("myhost.example.com", "10.9.9.9", dependDNS, "53");
    EXPECT_EQ(removeLocalDependency(&unknownHost), -1);

    dependency_t gone = makeDep("localhost", "srv5.example.com", dependDNS, "53");
    EXPECT_EQ(removeLocalDependency(&gone), 1);
    EXPECT_EQ(getSizeOfGraph(theGraph), 0);
    EXPECT_EQ(edgesOfMe(), 0);
    EXPECT_EQ(findLocalDependency(&d), nullptr);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 2u);
    EXPECT_EQ(traps[0].host, "peerA");
    EXPECT_EQ(traps[1].host, "peerB");
    for (auto &t : traps) {
        EXPECT_EQ(t.eventType, "kestrova.pruneDependency");
        EXPECT_EQ(t.sysObjectID, KESTROVA_ENTERPRISE_OID);
        EXPECT_EQ(t.user, "qelUser");
        EXPECT_EQ(t.msgType, Trap);
        ASSERT_EQ(t.vars.size(), 6u);
        EXPECT_EQ(t.vars[0].mib + "." + t.vars[0].obj + "=" + t.vars[0].value,
                  "core.trapType=kestrova.pruneDependency");
        EXPECT_EQ(t.vars[1].obj + "=" + t.vars[1].value, std::string("sysObjectID=") + KESTROVA_ENTERPRISE_OID);
        EXPECT_EQ(t.vars[2].mib + "." + t.vars[2].obj + "=" + t.vars[2].value, "kestrova.dependType=dependDNS(3)/3");
        EXPECT_EQ(t.vars[3].obj + "=" + t.vars[3].value, "dependReference=outbound(0)");
        EXPECT_EQ(t.vars[4].obj + "=" + t.vars[4].value, "dependPeer=srv5.example.com");
        EXPECT_EQ(t.vars[5].obj + "=" + t.vars[5].value, "dependArgs=53");
        for (auto &v : t.vars)
            EXPECT_EQ(v.syntax, displayString);
    }
    // The vertices stay.
    EXPECT_EQ(getOrderOfGraph(theGraph), 2);
}

TEST_F(DependencyTest, PruneTrapWithoutPeers) {
    dependency_t d = makeDep("10.0.0.1", "myhost.example.com", dependLogin, "22", dependInbound);
    ASSERT_EQ(addLocalDependency(&d), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(removeLocalDependency(&d), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "sendPruneDependencyTrap: cant get copy of peer list\n");
    EXPECT_TRUE(testhost::sentTraps().empty());
    ASSERT_EQ(testhost::logs.size(), 1u);
    EXPECT_EQ(testhost::logs[0], "Kestrova: could not get copy of peer list for sending prune dependency trap");

    insertTail(peerList, peerNew("peerA"));
    dependency_t odd = makeDep("a", "b", 40, "x", dependNA);
    EXPECT_EQ(sendPruneDependencyTrap(&odd), 1);
    dependency_t in = makeDep("host1.example.com", "b", 3, "x", dependInbound);
    EXPECT_EQ(sendPruneDependencyTrap(&in), 1);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 2u);
    EXPECT_EQ(traps[0].vars[2].value, "40");
    EXPECT_EQ(traps[0].vars[3].value, "3");
    EXPECT_EQ(traps[0].vars[4].value, "");
    EXPECT_EQ(traps[1].vars[3].value, "inbound(1)");
    EXPECT_EQ(traps[1].vars[4].value, "host1.example.com");
}

TEST_F(DependencyTest, RemoveTransit) {
    insertTail(peerList, peerNew("peerA"));
    dependency_t d = makeDep("10.0.0.1", "10.0.0.2", dependDB, "1521", dependTransit);
    testing::internal::CaptureStdout();
    ASSERT_EQ(addTransitDependency(&d), 1);
    testing::internal::GetCapturedStdout();
    dependency_t other = makeDep("10.0.0.1", "10.0.0.2", dependDB, "1522", dependTransit);
    EXPECT_EQ(removeTransitDependency(&other), 0);
    EXPECT_TRUE(testhost::sentTraps().empty());
    EXPECT_EQ(removeTransitDependency(&d), 0);
    EXPECT_EQ(getSizeOfGraph(theGraph), 0);
    auto traps = testhost::sentTraps();
    ASSERT_EQ(traps.size(), 1u);
    EXPECT_EQ(traps[0].vars[3].value, "transit(2)");
    dependency_t bad = makeDep("10.0.0.1", "10.0.0.2", 0, "", dependTransit);
    testing::internal::CaptureStderr();
    EXPECT_EQ(removeTransitDependency(&bad), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "removeTransitDependency: invalid dtype\n");
}

int fakeAddressList(char *buf, int maxlen) {
    EXPECT_EQ(maxlen, 1023);
    qelCopyStr(buf, (size_t)maxlen + 1, "192.168.1.20,10.1.2.3,fe80::1,");
    return 1;
}

TEST_F(DependencyTest, IsThisMe) {
    EXPECT_EQ(isThisMe(nullptr), 0);
    EXPECT_EQ(isThisMe(""), 1);
    EXPECT_EQ(isThisMe("0"), 1);
    EXPECT_EQ(isThisMe("my.localhost.domain"), 1);
    EXPECT_EQ(isThisMe("127.0.0.1"), 1);
    EXPECT_EQ(isThisMe("::1"), 1);
    EXPECT_EQ(isThisMe("0000:0000:0000:0000:0000:0000:0000:0001"), 1);
    EXPECT_EQ(isThisMe("myhost"), 1); // the short name
    EXPECT_EQ(isThisMe("myhost.example.com"), 1);
    EXPECT_EQ(isThisMe("myhost.example.com.au"), 1); // the name up to a "."
    EXPECT_EQ(isThisMe("host1.example.com"), 0);
    // Only whole names: a name inside another is another host.
    EXPECT_EQ(isThisMe("myhos"), 0);
    EXPECT_EQ(isThisMe("myhost.example.co"), 0);
    EXPECT_EQ(isThisMe("xmyhost.example.com"), 0);
    EXPECT_EQ(isThisMe("myhost2"), 0);
    // Every loopback address is this host.
    EXPECT_EQ(isThisMe("127.0.0.10"), 1);
    EXPECT_EQ(isThisMe("127.0.0.53"), 1);
    EXPECT_EQ(isThisMe("127.127.28.0"), 1);
    EXPECT_EQ(isThisMe("0:0:0:0:0:0:0:1"), 1);
    EXPECT_EQ(isThisMe("128.0.0.1"), 0);
    EXPECT_EQ(isThisMe("::2"), 0);

    // Not loaded while mib2 does not lend its list.
    testing::internal::CaptureStdout();
    EXPECT_EQ(isThisMe("10.1.2.3"), 0);
    {
        std::lock_guard<std::mutex> g(testhost::mu);
        testhost::symbols["mib2GetAddressList"] = reinterpret_cast<void *>(fakeAddressList);
    }
    EXPECT_EQ(isThisMe("10.1.2.3"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "kestrova: my local addresses are '192.168.1.20,10.1.2.3,fe80::1,'\n");
    EXPECT_EQ(isThisMe("192.168.1.20"), 1);
    EXPECT_EQ(isThisMe("fe80::1"), 1);
    EXPECT_EQ(isThisMe("0.1.2.3"), 0); // the tail of a listed address is not one
    EXPECT_EQ(isThisMe("192.168.1.2"), 0);

    // A dependency on one of the local addresses is a dependency on this host.
    dependency_t d = makeDep("10.1.2.3", "10.0.0.5", dependNTP, "123");
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_EQ(d.client, myVertex);
}

// A short host name against names that merely begin with it, and a short
// name against the full one, both ways.
TEST(DependencyShortName, WholeNamesOnly) {
    testhost::reset();
    qelCopyField(myhostname, "web1");
    EXPECT_EQ(isThisMe("web1"), 1);
    EXPECT_EQ(isThisMe("web10"), 0);
    EXPECT_EQ(isThisMe("web"), 0);
    EXPECT_EQ(isThisMe("web1.example.test"), 1);
    EXPECT_EQ(isThisMe("web10.example.test"), 0);
    qelCopyField(myhostname, "host.example.test");
    EXPECT_EQ(isThisMe("host"), 1);
    EXPECT_EQ(isThisMe("host.example.test"), 1);
    EXPECT_EQ(isThisMe("hostx"), 0);
    EXPECT_EQ(isThisMe("ost.example.test"), 0);
    EXPECT_EQ(isThisMe("example.test"), 0);
    myhostname[0] = '\0';
}

TEST(DependencyNoName, EmptyHostNameMatchesNothing) {
    testhost::reset();
    myhostname[0] = '\0';
    EXPECT_EQ(isThisMe("host1.example.com"), 0);
}

TEST_F(DependencyTest, ConnectionInfo) {
    connectionInfoList = newLinkedList(sizeof(connInfo_t), connectionInfoCompare, connectionInfoPrint,
                                       freeConnectionInfo, "connectionInfoList", 1);
    auto *c = static_cast<connInfo_t *>(calloc(1, sizeof(connInfo_t)));
    qelCopyField(c->proto, "tcp");
    qelCopyField(c->args, "imap");
    c->port = 143;
    c->dtype = dependEmail;
    insertTail(connectionInfoList, c);
    EXPECT_EQ(findConnectionInfo("tcp", 143), c);
    EXPECT_EQ(findConnectionInfo("udp", 143), nullptr);
    EXPECT_EQ(findConnectionInfo("tcp", 0), nullptr);
    EXPECT_EQ(findConnectionInfo(nullptr, 143), nullptr);
    testing::internal::CaptureStdout();
    connectionInfoPrint(c);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ConnectionInfo: proto:tcp port:143 dtype:5 args:'imap'\n");
    destroyLinkedList(connectionInfoList);
    connectionInfoList = nullptr;
}

} // namespace
