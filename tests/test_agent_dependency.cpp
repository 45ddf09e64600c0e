// link: kestrova_core
// The real agent with mib2, kestrova and the depfeed test plug-in, inside a
// network namespace this test makes with nothing but its loopback
// interface: dependencies fed from a file appear in dependencyTable, a line
// taken out of the file ages out, and the table fetched the way a peer
// fetches it lands in a graph as general dependencies.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "kestrova_test_host.h"
#include "agent_testutil.h"
#include "dependency.h"
#include "netns_agent.h"
#include "qel/qel_session.h"
#include "testutil.h"

namespace {

using agenttest::Var;
using namespace std::chrono_literals;

// Documentation addresses: nothing routes them in the namespace, so probes
// fail at once.
const char *kFeed =
    "add 3 0 localhost 192.0.2.53 udp/53\n"
    "add 15 0 localhost 192.0.2.1 default\n"
    "add 10 1 192.0.2.77 localhost ssh\n"
    "this line is ignored\n";

class DependencyAgent : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        auto made = ns.create("kq-depend-" + std::to_string(getpid()), why);
        if (made == netnstest::Netns::Result::refused)
            GTEST_SKIP() << why;
        ASSERT_EQ(made, netnstest::Netns::Result::made) << why;
        // A host root without configuration files, so discovery finds only
        // what is fed; the kernel's views stay live.
        ASSERT_EQ(symlink("/proc", root.file("proc").c_str()), 0);
        ASSERT_EQ(symlink("/sys", root.file("sys").c_str()), 0);
    }

    void TearDown() override {
        agent.stop();
        EXPECT_EQ(agent.sanitizerReports(), "");
    }

    bool startAgent() {
        netnstest::AgentOptions o;
        o.env = {{"KESTROVA_TIME_DIVISOR", "15"}, {"KESTROVA_HOST_ROOT", root.path()}};
        return agent.start(ns.name(), o);
    }

    // Runs fn on a thread inside the namespace, with a session to the agent.
    void inNamespace(const std::function<void(qelSession_t *)> &fn) {
        if (!agent.withSession(fn))
            ADD_FAILURE() << "no session to the agent";
    }

    std::string log() const { return agent.log(); }
    std::string output() const { return agent.output(); }

    netnstest::Netns ns;
    testutil::TempDir root;
    netnstest::NetnsAgent agent;
};

// Rows of dependencyTable by key, each column by name.
using Rows = std::map<std::string, std::map<std::string, std::string>>;

Rows selectRows(qelSession_t *s, const std::vector<std::string> &columns, qelErrorStatus_t *status = nullptr) {
    qelPdu_t req, reply;
    agenttest::buildSelect(req, "kestrova", "dependencyTable", "*", 0, columns);
    Rows rows;
    if (agenttest::transact(s, req, reply) == 1) {
        for (const Var &v : agenttest::variables(reply))
            rows[v.key][v.obj] = v.value;
        if (status)
            *status = reply.errorStatus;
    }
    qelPduCleanup(&req);
    qelPduCleanup(&reply);
    return rows;
}

// The rows the feed made (discovery adds its own, the test's own session
// among them).
Rows fedOnly(const Rows &rows) {
    Rows out;
    for (const auto &[key, cols] : rows) {
        auto a = cols.find("dependArgs");
        if (a != cols.end() && (a->second == "udp/53" || a->second == "default" || a->second == "ssh"))
            out[key] = cols;
    }
    return out;
}

// Polls until pred holds for the fed rows; the last rows read.
Rows waitRows(qelSession_t *s, const std::function<bool(const Rows &)> &pred, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    Rows rows;
    do {
        rows = fedOnly(selectRows(s, {"dependType", "dependPeer", "dependReference", "dependClient", "dependServer",
                                      "dependArgs", "dependNumIcmp", "dependReachable"}));
        if (pred(rows))
            break;
        std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return rows;
}

bool hasArgs(const Rows &rows, const std::string &args) {
    for (const auto &[key, cols] : rows)
        if (cols.count("dependArgs") && cols.at("dependArgs") == args)
            return true;
    return false;
}

TEST_F(DependencyAgent, FedDependenciesAreListedProbedAndAgeOut) {
    testutil::writeFile(agent.file("depfeed.txt"), kFeed);
    ASSERT_TRUE(startAgent()) << output();
    inNamespace([&](qelSession_t *s) {
        Rows rows = waitRows(
            s, [](const Rows &r) { return r.size() == 3; }, 20s);
        ASSERT_EQ(rows.size(), 3u) << output();
        std::map<std::string, std::map<std::string, std::string>> byArgs;
        for (const auto &[key, cols] : rows)
            byArgs[cols.at("dependArgs")] = cols;
        EXPECT_EQ(byArgs["udp/53"]["dependType"], "3");
        EXPECT_EQ(byArgs["udp/53"]["dependReference"], "0");
        EXPECT_EQ(byArgs["udp/53"]["dependPeer"], byArgs["udp/53"]["dependServer"]);
        EXPECT_EQ(byArgs["ssh"]["dependReference"], "1");
        EXPECT_EQ(byArgs["ssh"]["dependPeer"], byArgs["ssh"]["dependClient"]);
        // "localhost" stands for the agent's host.
        EXPECT_EQ(byArgs["udp/53"]["dependClient"], byArgs["ssh"]["dependServer"]);
        EXPECT_NE(byArgs["udp/53"]["dependClient"], "localhost");
        EXPECT_EQ(rows.count("3." + byArgs["udp/53"]["dependServer"] + ".udp/53"), 1u);

        // Probed each pass: unroutable targets answer nothing.
        rows = waitRows(
            s,
            [](const Rows &r) {
                for (const auto &[k, c] : r)
                    if (c.count("dependReachable") == 0 || c.at("dependReachable") == "unknown")
                        return false;
                return !r.empty();
            },
            20s);
        for (const auto &[key, cols] : rows)
            EXPECT_EQ(cols.at("dependReachable"), "false") << key;

        // The example request of the full table.
        qelPdu_t req, reply;
        ASSERT_EQ(
            parseQelMessageByFilename(KESTROVA_SOURCE_DIR "/examples/queries/kestrova-dependency-table.xml", &req), 1);
        ASSERT_EQ(agenttest::transact(s, req, reply), 1);
        EXPECT_EQ(reply.errorStatus, noError);
        std::map<std::string, int> perRow;
        for (const Var &v : agenttest::variables(reply))
            perRow[v.key]++;
        for (const auto &[key, cols] : rows) {
            ASSERT_EQ(perRow.count(key), 1u) << key;
            EXPECT_EQ(perRow[key], 17) << key;
        }
        EXPECT_EQ(reply.numberVariables, 17u * perRow.size());
        qelPduCleanup(&req);
        qelPduCleanup(&reply);

        // A short age-out, then a line dropped from the file ages out; the
        // refreshed ones stay.
        ASSERT_EQ(agenttest::getValue(s, "kestrova", "dependencyAgeOutInterval"), "600");
        qelPdu_t set;
        agenttest::buildRequest(set, SetRequest, {{"kestrova", "dependencyAgeOutInterval", "", "2"}});
        ASSERT_EQ(agenttest::transact(s, set, reply), 1);
        EXPECT_EQ(reply.errorStatus, noError);
        qelPduCleanup(&set);
        qelPduCleanup(&reply);
        testutil::writeFile(agent.file("depfeed.txt"),
                            "add 3 0 localhost 192.0.2.53 udp/53\n"
                            "add 10 1 192.0.2.77 localhost ssh\n");
        rows = waitRows(
            s, [](const Rows &r) { return !hasArgs(r, "default"); }, 30s);
        EXPECT_FALSE(hasArgs(rows, "default")) << "the dropped line aged out";
        EXPECT_TRUE(hasArgs(rows, "udp/53"));
        EXPECT_TRUE(hasArgs(rows, "ssh"));
        EXPECT_EQ(rows.size(), 2u);

        // An explicit removal goes at once.
        testutil::writeFile(agent.file("depfeed.txt"),
                            "add 3 0 localhost 192.0.2.53 udp/53\n"
                            "remove 10 1 192.0.2.77 localhost ssh\n");
        rows = waitRows(
            s, [](const Rows &r) { return r.size() == 1; }, 10s);
        EXPECT_EQ(rows.size(), 1u);
        EXPECT_TRUE(hasArgs(rows, "udp/53"));
    });
    // Without peers the prune has nobody to tell, which is logged.
    EXPECT_NE(log().find("could not get copy of peer list for sending prune dependency trap"), std::string::npos);
}

// The table fetched as a peer fetches it: five columns, merged into this
// process's graph as general dependencies of the agent's host.
TEST_F(DependencyAgent, PeerExchangeMergesTheTable) {
    testutil::writeFile(agent.file("depfeed.txt"), kFeed);
    ASSERT_TRUE(startAgent()) << output();
    testhost::reset();
    testhost::setupGraph("tester.example.test");
    inNamespace([&](qelSession_t *s) {
        Rows rows = waitRows(
            s, [](const Rows &r) { return r.size() == 3; }, 20s);
        ASSERT_EQ(rows.size(), 3u);
        std::string agentHost = rows.begin()->second.at("dependPeer") == rows.begin()->second.at("dependServer")
                                    ? rows.begin()->second.at("dependClient")
                                    : rows.begin()->second.at("dependServer");
        std::vector<kestrova::DependencyRow> got;
        int total = kestrova::getPeerDependencyRows(s, "peer.example.test", got);
        ASSERT_GE(total, 3);
        EXPECT_EQ((size_t)total, got.size());
        std::set<std::string> args;
        for (const auto &r : got) {
            EXPECT_EQ(r.pov, dependNA);
            args.insert(r.args);
            EXPECT_TRUE(r.client == agentHost || r.server == agentHost) << r.client << " " << r.server;
        }
        for (const char *a : {"udp/53", "default", "ssh"})
            EXPECT_EQ(args.count(a), 1u) << a;
        dependency_t *dns = findDependencyByType(dependDNS, agentHost.c_str(), "192.0.2.53");
        ASSERT_NE(dns, nullptr);
        EXPECT_EQ(dns->pov, dependNA);
        EXPECT_EQ(dns->dsrc, dependSrcDynamic);
        int edges = getSizeOfGraph(theGraph);
        EXPECT_GE(edges, 3);
        // Again: the records are refreshed, not added twice; the C form
        // gives the same rows.
        int n = -1;
        dependency_t *arr = getPeerDependencies(s, &n, "peer.example.test");
        ASSERT_NE(arr, nullptr);
        EXPECT_GE(n, 3);
        for (int i = 0; i < n; i++)
            EXPECT_EQ(arr[i].pov, dependNA);
        free(arr);
        // Only rows discovery made in the agent meanwhile can be new.
        EXPECT_LE(getSizeOfGraph(theGraph), edges + std::max(0, n - total));
        EXPECT_EQ(getPeerDependencies(nullptr, &n, "x"), nullptr);
        EXPECT_EQ(getPeerDependencies(s, nullptr, "x"), nullptr);
    });
    testhost::teardownGraph();
}

} // namespace
