// Two hosts, alpha and bravo, each a network namespace of its own with its
// own host name, joined by one veth link (198.51.100.0/24, no route beyond),
// each running qeld with mib2, kestrova and depfeed on port 5270. Both are
// fed a dependency on the same DNS server. Alpha finds bravo among its ARP
// neighbours, asks bravo's agent for its table and lists bravo in its
// peerTable as a peer through the shared server.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "agent_testutil.h"
#include "netns_agent.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

struct Host {
    std::string name, addr;
    netnstest::Netns ns;
    netnstest::NetnsAgent agent;
};

class PeerAgents : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/unshare", X_OK) != 0 && access("/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "needs unshare (util-linux)";
        std::string tag = std::to_string(getpid()), why;
        const char *names[] = {"alpha", "bravo"};
        for (int i = 0; i < 2; i++) {
            hosts[i] = std::make_unique<Host>();
            Host &h = *hosts[i];
            h.name = std::string(names[i]) + ".peers.test";
            h.addr = "198.51.100." + std::to_string(i + 1);
            auto made = h.ns.create("kq-" + std::string(names[i]) + "-" + tag, why);
            if (made == netnstest::Netns::Result::refused)
                GTEST_SKIP() << why;
            ASSERT_EQ(made, netnstest::Netns::Result::made) << why;
        }
        std::string va = "kqa" + tag, vb = "kqb" + tag;
        run({"link", "add", va, "type", "veth", "peer", "name", vb});
        run({"link", "set", va, "netns", hosts[0]->ns.name()});
        run({"link", "set", vb, "netns", hosts[1]->ns.name()});
        for (int i = 0; i < 2; i++) {
            Host &h = *hosts[i];
            const std::string &ns = h.ns.name(), &dev = i == 0 ? va : vb;
            run({"-n", ns, "addr", "add", h.addr + "/24", "dev", dev});
            run({"-n", ns, "link", "set", dev, "up"});
            testutil::writeFile(h.agent.file("kestrova.xml"),
                                "<?xml version=\"1.0\"?>\n"
                                "<kestrovaConfig version=\"1\">\n"
                                "<peerScanInterval>15</peerScanInterval>\n"
                                "</kestrovaConfig>\n");
            testutil::writeFile(h.agent.file("depfeed.txt"), "add 3 0 localhost 192.0.2.53 udp/53\n");
        }
    }

    void TearDown() override {
        for (auto &h : hosts) {
            if (!h)
                continue;
            h->agent.stop();
            EXPECT_EQ(h->agent.sanitizerReports(), "") << h->name;
        }
    }

    void run(const std::vector<std::string> &args) {
        auto r = netnstest::ip(args);
        ASSERT_EQ(r.exitCode, 0) << "ip " << args[0] << " " << args[1] << ": " << r.err;
    }

    // qeld in the host's namespace under the host's own name, on port 5270.
    bool start(Host &h) {
        netnstest::AgentOptions o;
        o.hostName = h.name;
        o.port = 5270;
        o.env = {{"KESTROVA_TIME_DIVISOR", "60"}, {"MIB2_REFRESH_SECONDS", "1"}, {"KESTROVA_PEER_TIMEOUT", "5"}};
        return h.agent.start(h.ns.name(), o, 60); // sanitizer builds start slowly
    }

    // Runs fn with a session to the host's agent, from inside its namespace.
    void inHost(Host &h, const std::function<void(qelSession_t *)> &fn) {
        if (!h.agent.withSession(fn))
            ADD_FAILURE() << "no session to the agent of " << h.name;
    }

    void pingBravo() { run({"netns", "exec", hosts[0]->ns.name(), "ping", "-c", "1", "-W", "2", hosts[1]->addr}); }

    std::unique_ptr<Host> hosts[2];
};

using Rows = std::map<std::string, std::map<std::string, std::string>>;

Rows peerRows(qelSession_t *s) {
    qelPdu_t req, reply;
    agenttest::buildSelect(req, "kestrova", "peerTable", "*", 0,
                           {"peerName", "peerServer", "peerDependType", "peerReachable"});
    Rows rows;
    if (agenttest::transact(s, req, reply) == 1)
        for (const Var &v : agenttest::variables(reply))
            rows[v.key][v.obj] = v.value;
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return rows;
}

TEST_F(PeerAgents, AlphaFindsBravoThroughItsNeighboursAndTheSharedServer) {
    ASSERT_TRUE(start(*hosts[1])) << hosts[1]->agent.output();
    ASSERT_TRUE(start(*hosts[0])) << hosts[0]->agent.output();
    // Traffic between the two makes each a resolved neighbour of the other.
    pingBravo();
    // Bravo's own name, from its table; its address, which also uses the
    // shared server (the pairing of both tables says so), answers probes
    // and the agent check.
    Rows rows, deps;
    inHost(*hosts[0], [&](qelSession_t *s) {
        auto deadline = std::chrono::steady_clock::now() + 90s; // sanitizer builds are slow
        while (std::chrono::steady_clock::now() < deadline) {
            rows = peerRows(s);
            if (rows.count("bravo.peers.test.3") && rows["198.51.100.2.3"]["peerReachable"] == "true")
                break;
            std::this_thread::sleep_for(250ms);
        }
        qelPdu_t req, reply;
        agenttest::buildSelect(req, "kestrova", "dependencyTable", "*", 0, {"dependClient", "dependServer"});
        if (agenttest::transact(s, req, reply) == 1)
            for (const Var &v : agenttest::variables(reply))
                deps[v.key][v.obj] = v.value;
        qelPduCleanup(&req);
        qelPduCleanup(&reply);
    });
    EXPECT_EQ(rows["198.51.100.2.3"]["peerReachable"], "true");
    EXPECT_EQ(rows["198.51.100.2.3"]["peerServer"], "192.0.2.53");
    // Bravo's dependencies are in alpha's graph, not in its table.
    EXPECT_FALSE(deps.empty());
    for (const auto &[key, cols] : deps)
        EXPECT_TRUE(cols.at("dependClient") == "alpha.peers.test" || cols.at("dependServer") == "alpha.peers.test")
            << key;
    ASSERT_EQ(rows.count("bravo.peers.test.3"), 1u) << hosts[0]->agent.log() << hosts[0]->agent.output();
    auto &bravo = rows["bravo.peers.test.3"];
    EXPECT_EQ(bravo["peerName"], "bravo.peers.test");
    EXPECT_EQ(bravo["peerServer"], "192.0.2.53");
    EXPECT_EQ(bravo["peerDependType"], "3");
    // Alpha itself and the unanswering DNS server are no peers.
    for (const auto &[key, cols] : rows) {
        EXPECT_EQ(key.find("alpha.peers.test"), std::string::npos) << key;
        EXPECT_EQ(key.find("192.0.2.53."), std::string::npos) << key;
    }
}

// A dependency alpha no longer sees ages out; alpha tells its peers, and
// bravo's agent records the trap.
TEST_F(PeerAgents, PrunedDependencyTrapReachesThePeer) {
    testutil::writeFile(hosts[0]->agent.file("depfeed.txt"),
                        "add 3 0 localhost 192.0.2.53 udp/53\n"
                        "add 10 0 localhost 192.0.2.99 ssh\n");
    ASSERT_TRUE(start(*hosts[1])) << hosts[1]->agent.output();
    ASSERT_TRUE(start(*hosts[0])) << hosts[0]->agent.output();
    pingBravo();
    bool peered = false;
    inHost(*hosts[0], [&](qelSession_t *s) {
        auto deadline = std::chrono::steady_clock::now() + 90s;
        while (!peered && std::chrono::steady_clock::now() < deadline) {
            peered = peerRows(s).count("198.51.100.2.3") == 1;
            if (!peered)
                std::this_thread::sleep_for(250ms);
        }
        qelPdu_t set, reply;
        agenttest::buildRequest(set, SetRequest, {{"kestrova", "dependencyAgeOutInterval", "", "2"}});
        EXPECT_EQ(agenttest::transact(s, set, reply), 1);
        EXPECT_EQ(reply.errorStatus, noError);
        qelPduCleanup(&set);
        qelPduCleanup(&reply);
    });
    ASSERT_TRUE(peered) << hosts[0]->agent.log();
    testutil::writeFile(hosts[0]->agent.file("depfeed.txt"), "add 3 0 localhost 192.0.2.53 udp/53\n");
    std::string seen;
    inHost(*hosts[1], [&](qelSession_t *s) {
        auto deadline = std::chrono::steady_clock::now() + 90s;
        while (std::chrono::steady_clock::now() < deadline) {
            qelPdu_t req, reply;
            agenttest::buildSelect(req, "core", "trapTable", "*", 0,
                                   {"trapDirection", "trapEventType", "trapVariables"});
            if (agenttest::transact(s, req, reply) == 1)
                for (const Var &v : agenttest::variables(reply))
                    if (v.obj == "trapVariables" && v.value.find("kestrova.pruneDependency") != std::string::npos)
                        seen = v.value;
            qelPduCleanup(&req);
            qelPduCleanup(&reply);
            if (!seen.empty())
                break;
            std::this_thread::sleep_for(250ms);
        }
    });
    ASSERT_FALSE(seen.empty()) << hosts[0]->agent.log() << hosts[1]->agent.log();
    EXPECT_NE(seen.find("kestrova.dependType=dependLogin(10)/10"), std::string::npos) << seen;
    EXPECT_NE(seen.find("kestrova.dependReference=outbound(0)"), std::string::npos) << seen;
    EXPECT_NE(seen.find("kestrova.dependPeer=192.0.2.99"), std::string::npos) << seen;
    EXPECT_NE(seen.find("kestrova.dependArgs=ssh"), std::string::npos) << seen;
}

} // namespace
