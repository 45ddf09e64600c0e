// Another plug-in reads mib2's tables through qelGetSymbolValue inside a
// running qeld; what it copies must be what mib2's own tables answer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "agent_testutil.h"

using namespace agenttest;

namespace {

std::string mib2Plugin() {
    return std::string(KESTROVA_PLUGIN_DIR) + "/mib2-linux.so";
}
std::string clientPlugin() {
    return testPluginDir() + "/mib2client-linux.so";
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// A listener and one established connection to it on 127.0.0.1.
struct LoopbackPair {
    Fd listener{socket(AF_INET, SOCK_STREAM, 0)}, client{socket(AF_INET, SOCK_STREAM, 0)};
    Fd server;
    int listenPort = 0, clientPort = 0;
    bool open() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener.fd, 4) != 0 ||
            getsockname(listener.fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return false;
        listenPort = ntohs(a.sin_port);
        if (connect(client.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        server.fd = accept(listener.fd, nullptr, nullptr);
        sockaddr_in c{};
        len = sizeof c;
        getsockname(client.fd, reinterpret_cast<sockaddr *>(&c), &len);
        clientPort = ntohs(c.sin_port);
        return server.fd >= 0;
    }
};

// Rows of a select reply, one map from column name to value per row key, in
// reply order.
std::vector<std::pair<std::string, std::map<std::string, std::string>>>
selectRows(qelSession_t *s, const std::string &table, const std::vector<std::string> &columns, int *status = nullptr) {
    qelPdu_t req, reply;
    buildSelect(req, "mib2", table, "*", 0, columns);
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> rows;
    int rc = transact(s, req, reply);
    if (status)
        *status = rc == 1 ? reply.errorStatus : -100;
    if (rc == 1)
        for (const auto &v : variables(reply)) {
            if (rows.empty() || rows.back().first != v.key)
                rows.push_back({v.key, {}});
            rows.back().second[v.obj] = v.value;
        }
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return rows;
}

std::string tableAddressList(qelSession_t *s) {
    std::string out;
    for (auto &r : selectRows(s, "ipAddrTable", {"ipAdEntAddr"}))
        out += r.second["ipAdEntAddr"] + ",";
    return out;
}

std::string tableRoutes(qelSession_t *s) {
    std::string out;
    for (auto &r : selectRows(s, "ipRouteTable", {"ipRouteDest", "ipRouteMask", "ipRouteNextHop", "ipRouteIfname"})) {
        auto &c = r.second;
        out += c["ipRouteDest"] + "/" + c["ipRouteMask"] + ">" + c["ipRouteNextHop"] + "@" + c["ipRouteIfname"] + ";";
    }
    return out;
}

std::string tableTcp(qelSession_t *s) {
    std::string out;
    for (auto &r : selectRows(
             s, "tcpConnTable",
             {"tcpConnState", "tcpConnLocalAddress", "tcpConnLocalPort", "tcpConnRemAddress", "tcpConnRemPort"})) {
        auto &c = r.second;
        out += c["tcpConnLocalAddress"] + ":" + c["tcpConnLocalPort"] + "-" + c["tcpConnRemAddress"] + ":" +
               c["tcpConnRemPort"] + "=" + c["tcpConnState"] + ";";
    }
    return out;
}

size_t countOf(const std::string &text, char sep) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), sep));
}

class Mib2Accessors : public ::testing::Test {
protected:
    static Agent *agent;
    static LoopbackPair *pair;
    static bool started;
    // A failure in SetUpTestSuite would make Google Test skip the suite,
    // and a skip passes in CTest: the failure to start is reported by
    // every test instead.
    static void SetUpTestSuite() {
        // Opened before the agent so the first snapshot already holds it.
        pair = new LoopbackPair;
        agent = new Agent;
        started = pair->open() && agent->start({mib2Plugin(), clientPlugin()});
    }
    static void TearDownTestSuite() {
        delete agent;
        delete pair;
        agent = nullptr;
        pair = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(started) << "the loopback pair or the agent did not start: " << agent->output();
        session = connect(agent->port());
        ASSERT_NE(session, nullptr);
        // The worker's first snapshot runs right after start; wait for it.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::atoi(getValue(session, "mib2client", "addressCount").c_str()) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    void TearDown() override {
        if (session)
            destroyQelSession(session);
    }
    // The accessor's answer and the table's, from one snapshot: a refresh
    // may fall between the reads, so both sides are read again until the
    // accessor's answer was the same before and after the table.
    void expectSame(const std::string &obj, std::string (*table)(qelSession_t *)) {
        std::string before, fromTable, after;
        for (int attempt = 0; attempt < 3; ++attempt) {
            before = getValue(session, "mib2client", obj);
            fromTable = table(session);
            after = getValue(session, "mib2client", obj);
            if (before == after)
                break;
        }
        EXPECT_EQ(before, after);
        EXPECT_EQ(before, fromTable) << obj;
    }
    qelSession_t *session = nullptr;
};
Agent *Mib2Accessors::agent = nullptr;
LoopbackPair *Mib2Accessors::pair = nullptr;
bool Mib2Accessors::started = false;

TEST_F(Mib2Accessors, AddressListMatchesTheAddressTable) {
    std::string list = getValue(session, "mib2client", "addressList");
    EXPECT_NE(list.find("127.0.0.1,"), std::string::npos) << list;
    EXPECT_EQ(getValue(session, "mib2client", "addressCount"), std::to_string(countOf(list, ',')));
    expectSame("addressList", tableAddressList);
}

// The accessor's IPv4 routes are the table's rows; its IPv6 routes (marked
// "v6 ") are left out of the table.
std::string ipv4Routes(const std::string &routes) {
    std::string out;
    for (size_t at = 0, end; (end = routes.find(';', at)) != std::string::npos; at = end + 1)
        if (routes.compare(at, 3, "v6 ") != 0)
            out += routes.substr(at, end + 1 - at);
    return out;
}

TEST_F(Mib2Accessors, RoutesMatchTheRouteTable) {
    std::string routes = getValue(session, "mib2client", "routes");
    EXPECT_EQ(getValue(session, "mib2client", "routeCount"), std::to_string(countOf(routes, ';')));
    std::string accessor, fromTable;
    for (int attempt = 0; attempt < 3; ++attempt) {
        accessor = ipv4Routes(getValue(session, "mib2client", "routes"));
        fromTable = tableRoutes(session);
        if (accessor == ipv4Routes(getValue(session, "mib2client", "routes")))
            break;
    }
    EXPECT_EQ(accessor, fromTable);
}

TEST_F(Mib2Accessors, TcpConnectionsMatchTheTableAndHoldOurs) {
    std::string conns = getValue(session, "mib2client", "tcpConnections");
    EXPECT_EQ(getValue(session, "mib2client", "tcpCount"), std::to_string(countOf(conns, ';')));
    std::string lp = std::to_string(pair->listenPort), cp = std::to_string(pair->clientPort);
    // listen(2) and established(5), in MIB-II numbering
    EXPECT_NE(conns.find("127.0.0.1:" + lp + "-0.0.0.0:0=2;"), std::string::npos) << conns;
    EXPECT_NE(conns.find("127.0.0.1:" + cp + "-127.0.0.1:" + lp + "=5;"), std::string::npos) << conns;
    EXPECT_NE(conns.find("127.0.0.1:" + lp + "-127.0.0.1:" + cp + "=5;"), std::string::npos) << conns;
    expectSame("tcpConnections", tableTcp);
}

// Without mib2 the symbols are missing: the caller fails cleanly and says so.
TEST(Mib2AccessorsMissing, CallerSkipsWithAMessage) {
    Agent agent;
    ASSERT_TRUE(agent.start({clientPlugin()})) << agent.output();
    qelSession_t *s = connect(agent.port());
    ASSERT_NE(s, nullptr);
    for (const char *obj : {"addressList", "routeCount", "tcpConnections"}) {
        qelPdu_t req, reply;
        buildRequest(req, GetRequest, {{"mib2client", obj, "", ""}});
        ASSERT_EQ(transact(s, req, reply), 1);
        EXPECT_EQ(reply.errorStatus, genError) << obj;
        qelPduCleanup(&req);
        qelPduCleanup(&reply);
    }
    destroyQelSession(s);
    agent.stop();
    std::string out = agent.output();
    EXPECT_NE(out.find("mib2client: mib2GetAddressList not found, skipping\n"), std::string::npos) << out;
    EXPECT_NE(out.find("mib2client: mib2GetRoutes not found, skipping\n"), std::string::npos);
    EXPECT_NE(out.find("mib2client: mib2GetTcpConnections not found, skipping\n"), std::string::npos);
}

} // namespace
