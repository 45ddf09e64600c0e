// qelmap crawl of a real kestrova agent in a network namespace of its own,
// fed two dependencies: the store's answers match what was fed, and a
// dependency taken away leaves the dependents and shows in the changes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent_testutil.h"
#include "netns_agent.h"
#include "testutil.h"

namespace {

using nlohmann::json;
using Rows = std::map<std::string, std::map<std::string, std::string>>;

const char *kHosts =
    "127.0.0.1 localhost\n"
    "192.0.2.53 ns.map.test\n"
    "192.0.2.14 db.map.test\n";
// Both servers are off the link with no route to them: the crawl's guess
// that they run agents fails at once, and they are not kept as agents.
const char *kFeed =
    "add 3 0 localhost ns.map.test udp/53\n"
    "add 14 0 localhost db.map.test db\n";
const char *kFeedWithoutDb =
    "add 3 0 localhost ns.map.test udp/53\n"
    "remove 14 0 localhost db.map.test db\n";

class MapBed : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/bin/unshare", X_OK) != 0 && access("/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "needs unshare (util-linux)";
        std::string why;
        auto made = ns.create("kq-qmap-" + std::to_string(getpid() % 100000), why);
        if (made == netnstest::Netns::Result::refused)
            GTEST_SKIP() << "network namespaces cannot be made here: " << why;
        ASSERT_EQ(made, netnstest::Netns::Result::made) << why;
        ASSERT_EQ(mkdir(files.file("root").c_str(), 0755), 0);
        ASSERT_EQ(symlink("/proc", files.file("root/proc").c_str()), 0);
        ASSERT_EQ(symlink("/sys", files.file("root/sys").c_str()), 0);
        testutil::writeFile(client.file("kestrova.pem"), testutil::readFile(agenttest::caDir() + "/kestrova.pem"));
        testutil::writeFile(agent.file("depfeed.txt"), kFeed);
        netnstest::AgentOptions o;
        o.hostName = "alpha.map.test";
        o.hostsFile = files.write("hosts", kHosts);
        o.env = {
            {"KESTROVA_TIME_DIVISOR", "60"}, {"MIB2_REFRESH_SECONDS", "1"}, {"KESTROVA_HOST_ROOT", files.file("root")}};
        ASSERT_TRUE(agent.start(ns.name(), o, 60)) << agent.output();
    }
    void TearDown() override {
        if (agent.running()) {
            agent.stop();
            EXPECT_EQ(agent.sanitizerReports(), "");
        }
    }

    // The agent's dependency servers, as its table shows them.
    std::set<std::string> servers() {
        std::set<std::string> out;
        agent.withSession([&](qelSession_t *s) {
            qelPdu_t req, reply;
            agenttest::buildSelect(req, "kestrova", "dependencyTable", "*", 0, {"dependServer"});
            if (agenttest::transact(s, req, reply) == 1)
                for (const agenttest::Var &v : agenttest::variables(reply))
                    out.insert(v.value);
            qelPduCleanup(&req);
            qelPduCleanup(&reply);
        });
        return out;
    }
    bool waitForServers(const std::set<std::string> &want) {
        for (int i = 0; i < 240; ++i) {
            if (servers() == want)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return false;
    }
    testutil::ProcessResult crawl() {
        return agent.runInside({testutil::binPath("qelmap"), "crawl", "--db", db, "--deadline", "5",
                                "127.0.0.1," + std::to_string(agent.port())},
                               client.path(), 60);
    }
    json query(const std::vector<std::string> &args, int status = 0) {
        std::vector<std::string> a = {testutil::binPath("qelmap"), "query", "--db", db, "-json"};
        a.insert(a.end(), args.begin(), args.end());
        auto r = testutil::runProcess(a, client.path(), 60);
        EXPECT_EQ(r.exitCode, status) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    netnstest::Netns ns;
    netnstest::NetnsAgent agent;
    testutil::TempDir files, client;
    std::string db = client.file("map.db");
};

TEST_F(MapBed, CrawlMatchesTheAgentAndFollowsARemoval) {
    ASSERT_TRUE(waitForServers({"ns.map.test", "db.map.test"})) << agent.log();
    auto r = crawl();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ASSERT_NE(r.out.find("1 answered, 0 failed"), std::string::npos) << r.out << r.err << query({"missing"}).dump();

    json hosts = query({"hosts"});
    std::set<std::string> names;
    for (const auto &h : hosts)
        names.insert(h["host"]);
    EXPECT_EQ(names, (std::set<std::string>{"alpha.map.test", "db.map.test", "ns.map.test"})) << hosts.dump();
    json users = query({"dependents", "ns.map.test"});
    ASSERT_EQ(users.size(), 1u) << users.dump();
    EXPECT_EQ(users[0]["host"], "alpha.map.test");
    EXPECT_EQ(users[0]["types"], "DNS");
    json alpha = query({"host", "alpha.map.test"});
    EXPECT_EQ(alpha["dependencies"].size(), 2u) << alpha.dump();
    EXPECT_TRUE(alpha["metrics"].contains("totalMem")) << alpha.dump();
    EXPECT_EQ(alpha["agents"][0]["state"], "ok");
    // The servers were tried as agents and, never answering, not kept.
    EXPECT_TRUE(query({"missing"}).empty());

    testutil::writeFile(agent.file("depfeed.txt"), kFeedWithoutDb);
    ASSERT_TRUE(waitForServers({"ns.map.test"})) << agent.log();
    r = crawl();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(query({"dependents", "db.map.test"}).empty());
    json changes = query({"changes"});
    std::vector<std::string> last;
    for (const auto &c : changes)
        if (c["round"] == 2 && c["host"] == "db.map.test") // ns's probes may have failed meanwhile
            last.push_back(c["kind"].get<std::string>() + " " + c["host"].get<std::string>());
    EXPECT_EQ(last, (std::vector<std::string>{"left db.map.test", "host left db.map.test"})) << changes.dump();
    EXPECT_EQ(query({"host", "db.map.test"})["present"], false);
    query({"host", "nosuch.map.test"}, 1);
}

} // namespace
