// link: kestrova_frame kestrova_core
// Discovery from TCP connections and the TCP/UDP snapshots, against a double
// of the mib2 accessors found by name: dependency texts and byte order, both
// directions giving one connection text, listeners and other states, the
// smtp line limit, missing accessors, growth, the endpoint states found by
// their tuples; the connection-list index giving what findConnectionInfo's
// walk gives.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "depend_tcp.h"
#include "dependency.h"
#include "kestrova.h"
#include "kestrova_test_host.h"
#include "vertex.h"

namespace {

// ---- the mib2 double ----
std::vector<mib2TcpConn_t> tcpConns;
std::vector<mib2UdpEndpt_t> udpEndpts;
std::vector<int> tcpMaxSeen;

int numTcp() {
    return static_cast<int>(tcpConns.size());
}
int getTcp(mib2TcpConn_t *t, int max) {
    tcpMaxSeen.push_back(max);
    int n = std::min(max, numTcp());
    for (int i = 0; i < n; i++)
        t[i] = tcpConns[i];
    return n;
}
int numUdp() {
    return static_cast<int>(udpEndpts.size());
}
int getUdp(mib2UdpEndpt_t *t, int max) {
    int n = std::min(max, numUdp());
    for (int i = 0; i < n; i++)
        t[i] = udpEndpts[i];
    return n;
}

void installAccessors() {
    std::lock_guard g(testhost::mu);
    testhost::symbols["mib2GetNumberTcpConnections"] = reinterpret_cast<void *>(&numTcp);
    testhost::symbols["mib2GetTcpConnections"] = reinterpret_cast<void *>(&getTcp);
    testhost::symbols["mib2GetNumberUdpEndpoints"] = reinterpret_cast<void *>(&numUdp);
    testhost::symbols["mib2GetUdpEndpoints"] = reinterpret_cast<void *>(&getUdp);
}

uint32_t ip(const char *text) {
    return inet_addr(text);
}

mib2TcpConn_t conn(const char *local, unsigned lport, const char *rem, unsigned rport, unsigned state = 5) {
    mib2TcpConn_t c;
    memset(&c, 0, sizeof c);
    c.ipVersion = 4;
    c.localIp = ip(local);
    c.localPort = lport;
    c.remIp = ip(rem);
    c.remPort = rport;
    c.state = static_cast<u_char>(state);
    return c;
}

void addConnInfo(const char *proto, unsigned port, dependencyType_t type, const char *args) {
    auto *c = static_cast<connInfo_t *>(calloc(1, sizeof(connInfo_t)));
    qelCopyField(c->proto, proto);
    qelCopyField(c->args, args);
    c->port = static_cast<uint16_t>(port);
    c->dtype = type;
    insertTail(connectionInfoList, c);
}

std::vector<dependency_t> dependencies() {
    std::vector<dependency_t> out;
    graphLock(theGraph, "test");
    for (linkedElement_t *e = myVertex->setOfEdges->head; e; e = e->next)
        out.push_back(*static_cast<dependency_t *>(e->data));
    graphUnlock(theGraph, "test");
    return out;
}

class DependTcp : public testing::Test {
protected:
    void SetUp() override {
        testhost::reset();
        testhost::setupGraph("myhost.example.com");
        connectionInfoList = newLinkedList(sizeof(connInfo_t), connectionInfoCompare, connectionInfoPrint,
                                           freeConnectionInfo, "connectionInfoList", 1);
        addConnInfo("tcp", 53, dependDNS, "dns");
        addConnInfo("tcp", 25, dependEmail, "smtp");
        tcpConns.clear();
        udpEndpts.clear();
        tcpMaxSeen.clear();
        installAccessors();
        debugLevel = 0;
    }
    void TearDown() override {
        dependTcpSetSmtpClock(nullptr);
        destroyLinkedList(connectionInfoList);
        connectionInfoList = nullptr;
        testhost::teardownGraph();
    }
};

TEST_F(DependTcp, OutboundTextsAndByteOrder) {
    // 10.0.0.10 sorts before 10.0.0.2: bytes, not numbers.
    testhost::addHost("10.0.0.2", "myhost.example.com");
    tcpConns = {conn("10.0.0.2", 40000, "10.0.0.10", 53)};
    ASSERT_EQ(dependency_discover_tcp(), 1);
    std::vector<dependency_t> d = dependencies();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].pov, dependOutbound);
    EXPECT_STREQ(d[0].originalServer, "10.0.0.10");
    EXPECT_STREQ(d[0].originalClient, "10.0.0.2");
    EXPECT_EQ(d[0].dtype, dependDNS);
    EXPECT_EQ(d[0].dsrc, dependSrcDynamic);
    EXPECT_EQ(d[0].ipVersion, 4);
    EXPECT_STREQ(d[0].args, "dns connection='[10.0.0.10] =x= [10.0.0.2]'");
    EXPECT_GT(d[0].lastUpdate, 0);
    EXPECT_EQ(getNumberTCPEndPts(), 1);
}

TEST_F(DependTcp, BothDirectionsGiveOneText) {
    testhost::addHost("10.0.0.10", "myhost.example.com");
    tcpConns = {conn("10.0.0.10", 53, "10.0.0.2", 40000)};
    ASSERT_EQ(dependency_discover_tcp(), 1);
    std::vector<dependency_t> d = dependencies();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].pov, dependInbound);
    EXPECT_STREQ(d[0].args, "dns connection='[10.0.0.10] =x= [10.0.0.2]'");
    char a[64], b[64];
    dependTcpConnectionText("192.0.2.1", "192.0.2.10", a, sizeof a);
    dependTcpConnectionText("192.0.2.10", "192.0.2.1", b, sizeof b);
    EXPECT_STREQ(a, b);
    EXPECT_STREQ(a, "[192.0.2.1] =x= [192.0.2.10]");
}

TEST_F(DependTcp, ListenersAndOtherStatesGiveNothing) {
    tcpConns = {conn("10.0.0.10", 53, "0.0.0.0", 0, 5),      // no peer
                conn("10.0.0.10", 53, "0.0.0.0", 0, 2),      // listening
                conn("10.0.0.2", 40001, "10.0.0.9", 53, 8),  // close-wait
                conn("10.0.0.2", 40002, "10.0.0.9", 80, 5)}; // not listed
    ASSERT_EQ(dependency_discover_tcp(), 1);
    EXPECT_TRUE(dependencies().empty());
    EXPECT_EQ(getNumberTCPEndPts(), 4);
}

time_t fakeNow = 1000;
time_t fakeClock() {
    return fakeNow;
}

TEST_F(DependTcp, SmtpLinesAreLimited) {
    testhost::addHost("10.0.0.2", "myhost.example.com");
    testhost::addHost("10.0.0.25", "myhost.example.com");
    dependTcpSetSmtpClock(fakeClock);
    fakeNow = 1000;
    for (unsigned i = 0; i < 30; i++)
        tcpConns.push_back(conn("10.0.0.2", 41000 + i, "10.0.0.25", 25));
    testing::internal::CaptureStderr();
    ASSERT_EQ(dependency_discover_tcp(), 1);
    std::string out = testing::internal::GetCapturedStderr();
    size_t lines = 0;
    for (size_t p = out.find("depend_tcp: outgoing smtp, local port is "); p != std::string::npos;
         p = out.find("depend_tcp: outgoing smtp, local port is ", p + 1))
        lines++;
    EXPECT_EQ(lines, 20u);
    EXPECT_NE(out.find("depend_tcp: outgoing smtp, local port is 41000\n"), std::string::npos);
    EXPECT_EQ(out.find("local port is 41020\n"), std::string::npos);
    EXPECT_EQ(dependencies().size(), 1u); // one host pair, one dependency
    // A minute on: the count of the left-out lines, then lines again.
    fakeNow += 60;
    tcpConns = {conn("10.0.0.25", 25, "10.0.0.3", 50000)};
    testing::internal::CaptureStderr();
    ASSERT_EQ(dependency_discover_tcp(), 1);
    out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out,
              "depend_tcp: 10 more smtp connection lines left out in the last minute\n"
              "depend_tcp: incoming smtp, rem port is 50000\n");
}

TEST_F(DependTcp, MissingAccessorsAndEmptyTables) {
    testhost::reset();
    testing::internal::CaptureStderr();
    EXPECT_EQ(dependency_discover_tcp(), -1);
    EXPECT_EQ(dependency_discover_udp(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "dependency_discover_tcp: couldnt find symbol(s)\ndependency_discover_udp: couldnt find symbol(s)\n");
    EXPECT_EQ(testhost::logs, (std::vector<std::string>{"Kestrova: failed to get tcp table symbols",
                                                        "Kestrova: failed to get udp table symbols"}));
    installAccessors();
    testhost::logs.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(dependency_discover_tcp(), -1);
    EXPECT_EQ(dependency_discover_udp(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "dependTcp: no connections\n");
    EXPECT_EQ(testhost::logs, (std::vector<std::string>{"Kestrova: depend_discover_tcp: no conns to examine",
                                                        "Kestrova: depend_discover_udp: no endpoints to examine"}));
    EXPECT_EQ(getNumberTCPEndPts(), 0);
    EXPECT_EQ(getNumberUDPEndPts(), 0);
    EXPECT_EQ(dependency_discover_raw(), 0);
    EXPECT_EQ(get_socket_information(nullptr), -1);
}

TEST_F(DependTcp, TablesGrowWithAMargin) {
    for (unsigned i = 0; i < 3; i++)
        tcpConns.push_back(conn("10.0.0.2", 42000 + i, "10.0.0.9", 80));
    ASSERT_EQ(dependency_discover_tcp(), 1);
    for (unsigned i = 3; i < 200; i++)
        tcpConns.push_back(conn("10.0.0.2", 42000 + i, "10.0.0.9", 80));
    ASSERT_EQ(dependency_discover_tcp(), 1);
    tcpConns.resize(150);
    ASSERT_EQ(dependency_discover_tcp(), 1);
    ASSERT_EQ(tcpMaxSeen.size(), 3u);
    EXPECT_GE(tcpMaxSeen[0], 3);
    EXPECT_EQ(tcpMaxSeen[1], 225); // count + 25
    EXPECT_EQ(tcpMaxSeen[2], 225); // never shrunk
    EXPECT_EQ(getNumberTCPEndPts(), 150);
}

TEST_F(DependTcp, SocketInformationRules) {
    tcpConns = {conn("192.0.2.1", 8080, "192.0.2.2", 40000, 5)};
    mib2UdpEndpt_t u;
    memset(&u, 0, sizeof u);
    u.ipVersion = 4;
    u.localIp = ip("192.0.2.1");
    u.localPort = 5353;
    u.state = 2;
    udpEndpts = {u};
    ASSERT_EQ(dependency_discover_tcp(), 1);
    ASSERT_EQ(dependency_discover_udp(), 1);
    processEndpt_t e;
    e.localIp = ip("192.0.2.1");
    e.localPort = 8080;
    e.remIp = ip("192.0.2.2");
    e.remPort = 40000;
    EXPECT_EQ(get_socket_information(&e), 0);
    EXPECT_EQ(e.proto, 6u);
    EXPECT_EQ(e.state, 5);
    processEndpt_t f;
    f.localIp = ip("192.0.2.1");
    f.localPort = 5353;
    EXPECT_EQ(get_socket_information(&f), 0);
    EXPECT_EQ(f.proto, 17u);
    EXPECT_EQ(f.state, 2);
    processEndpt_t g; // matches nothing: keeps 254 and 0
    g.localPort = 1;
    EXPECT_EQ(get_socket_information(&g), 0);
    EXPECT_EQ(g.proto, 254u);
    EXPECT_EQ(g.state, 0);
}

// An endpoint takes the state of the snapshot entry with its whole tuple
// (version, addresses, ports): of duplicates the last one, IPv6 by address
// text, and a UDP entry before a TCP one when the protocol is not known.
TEST_F(DependTcp, SocketInformationMatchesTheWholeTuple) {
    auto v6 = [](const char *local, unsigned lport, const char *rem, unsigned rport, unsigned state) {
        mib2TcpConn_t c = conn("0.0.0.0", lport, "0.0.0.0", rport, state);
        c.ipVersion = 6;
        qelCopyField(c.localIPv6, local);
        qelCopyField(c.remIPv6, rem);
        return c;
    };
    const char *a6 = "fe80:0000:0000:0000:0000:0000:0000:0001";
    const char *b6 = "fe80:0000:0000:0000:0000:0000:0000:0002";
    tcpConns = {conn("192.0.2.1", 8080, "192.0.2.2", 40000, 5), conn("192.0.2.1", 8080, "192.0.2.2", 40000, 8),
                conn("192.0.2.1", 53, "0.0.0.0", 0, 2), v6(a6, 22, b6, 50000, 5)};
    mib2UdpEndpt_t u;
    memset(&u, 0, sizeof u);
    u.ipVersion = 4;
    u.localIp = ip("192.0.2.1");
    u.localPort = 53;
    u.state = 1;
    udpEndpts = {u};
    ASSERT_EQ(dependency_discover_tcp(), 1);
    ASSERT_EQ(dependency_discover_udp(), 1);
    using R = std::pair<unsigned, int>;
    auto ask = [](processEndpt_t e) {
        EXPECT_EQ(get_socket_information(&e), 0);
        return R(e.proto, static_cast<int>(e.state));
    };
    processEndpt_t e;
    e.localIp = ip("192.0.2.1");
    e.localPort = 8080;
    e.remIp = ip("192.0.2.2");
    e.remPort = 40000;
    EXPECT_EQ(ask(e), R(6u, 8)) << "the last of two equal tuples";
    processEndpt_t other = e;
    other.remPort = 40001;
    EXPECT_EQ(ask(other), R(6u, 0)) << "another remote port";
    other = e;
    other.remIp = ip("192.0.2.3");
    EXPECT_EQ(ask(other), R(6u, 0)) << "another remote address";
    other = e;
    other.ipVersion = 6;
    EXPECT_EQ(ask(other), R(6u, 0)) << "another address version";

    processEndpt_t dns;
    dns.localIp = ip("192.0.2.1");
    dns.localPort = 53;
    EXPECT_EQ(ask(dns), R(17u, 1)) << "UDP first for an unknown protocol";
    dns.proto = 6;
    EXPECT_EQ(ask(dns), R(6u, 2)) << "TCP asked for";
    dns.proto = 17;
    dns.localPort = 54;
    EXPECT_EQ(ask(dns), R(17u, 0)) << "no UDP entry on port 54";

    processEndpt_t s6;
    s6.ipVersion = 6;
    s6.localPort = 22;
    s6.remPort = 50000;
    qelCopyField(s6.localIPv6, a6);
    qelCopyField(s6.remIPv6, b6);
    EXPECT_EQ(ask(s6), R(6u, 5));
    qelCopyField(s6.remIPv6, a6);
    EXPECT_EQ(ask(s6), R(6u, 0)) << "another remote address text";
}

// The copy a TCP pass takes of the connection list answers what the list's
// own walk answers: its first match for duplicates, the protocol cut to its
// field, ports beyond 16 bits folded, no match for port 0 or no protocol.
TEST_F(DependTcp, ConnectionListIndexAgreesWithTheWalk) {
    std::mt19937 rng(777);
    auto pick = [&](int n) { return static_cast<unsigned>(rng() % static_cast<unsigned>(n)); };
    const char *protos[] = {"tcp", "udp", "sctp", "", "tcp6-and-something-long", "tcpXXXXXXXXXXXXX"};
    for (int round = 0; round < 5; round++) {
        drainLinkedList(connectionInfoList);
        int n = round == 0 ? 0 : 20 + static_cast<int>(pick(300));
        for (int i = 0; i < n; i++)
            addConnInfo(protos[pick(6)], pick(40), static_cast<dependencyType_t>(1 + pick(30)),
                        ("args-" + std::to_string(i)).c_str());
        ConnInfoIndex idx;
        ASSERT_TRUE(idx.build(connectionInfoList));
        EXPECT_LE(idx.size(), static_cast<size_t>(n));
        for (int i = 0; i < 3000; i++) {
            const char *proto = pick(20) == 0 ? nullptr : protos[pick(6)];
            int port = static_cast<int>(pick(42));
            if (pick(10) == 0)
                port += 65536 * (1 + static_cast<int>(pick(3)));
            const connInfo_t *walk = findConnectionInfo(proto, port);
            const connInfo_t *fast = idx.find(proto, port);
            ASSERT_EQ(walk == nullptr, fast == nullptr)
                << "round " << round << " " << (proto ? proto : "(null)") << "/" << port;
            if (walk) {
                EXPECT_NE(walk, fast) << "a copy, not the listed record";
                EXPECT_STREQ(walk->args, fast->args);
                EXPECT_STREQ(walk->proto, fast->proto);
                EXPECT_EQ(walk->port, fast->port);
                EXPECT_EQ(walk->dtype, fast->dtype);
            }
        }
    }
    // The copy outlives the list's records.
    drainLinkedList(connectionInfoList);
    addConnInfo("tcp", 25, dependEmail, "smtp");
    ConnInfoIndex idx;
    ASSERT_TRUE(idx.build(connectionInfoList));
    drainLinkedList(connectionInfoList);
    ASSERT_NE(idx.find("tcp", 25), nullptr);
    EXPECT_STREQ(idx.find("tcp", 25)->args, "smtp");
    EXPECT_TRUE(idx.build(nullptr));
    EXPECT_EQ(idx.find("tcp", 25), nullptr);
}

} // namespace
