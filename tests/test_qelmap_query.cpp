// link: qelmapcore
// qelmap's questions on a small store whose answers are worked out by hand
// below, beside the graph they come from.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "query.h"
#include "store.h"
#include "test_qelmap_stores.h"
#include "testutil.h"

namespace {

using namespace qelmap;

// The graph (client -> server, type):
//
//   user1 -> app1 (Web)
//   app1  -> web1 (Web), app1 -> web2 (Web)
//   web1  -> db1 (DB),   web2 -> db1 (DB)
//   web1  -> ns1 (DNS),  web2 -> ns1 (DNS), web2 -> ns2 (DNS, unreachable since 500)
//   db1   -> ns1 (DNS),  db1  -> nfs1 (Filesys, unreachable since 300)
//
// Each client's own agent reports its dependencies; user1's agent answers
// in round 1 and is refused in round 2; ghost's agent never answers.
constexpr int kFilesys = 2, kDNS = 3, kWeb = 11, kDB = 14;

ObservedDependency dep(int type, const std::string &client, const std::string &server, Reach reach = Reach::yes,
                       int64_t since = 0) {
    ObservedDependency d;
    d.type = type;
    d.client = client;
    d.server = server;
    d.pov = "client";
    d.reachable = reach;
    d.reachableTime = since;
    return d;
}

AgentReport agent(const std::string &name, std::vector<ObservedDependency> deps) {
    AgentReport r;
    r.agent = name + ",5270";
    r.answered = true;
    r.hasKestrova = true;
    r.sysName = name;
    r.dependencies = std::move(deps);
    r.metrics = {{"loadAvg1Min", "0.5"}};
    return r;
}

// Every case runs on both engines; the command line is given the store's
// URL as an operator would.
struct QueryTest : ::testing::TestWithParam<std::string> {
    testutil::TempDir dir;
    std::string skip;
    std::string path = qelmaptest::newStoreUrl(GetParam(), dir, "map.db", skip);
    std::unique_ptr<Database> db = path.empty() ? nullptr : openDatabase(path);
    std::unique_ptr<Store> store = db ? std::make_unique<Store>(*db) : nullptr;

    void SetUp() override {
        if (!db)
            GTEST_SKIP() << skip;
        AgentReport ghost;
        ghost.agent = "ghost,5270";
        ghost.failure = "timeout (connect)";
        std::vector<AgentReport> round1 = {
            agent("user1", {dep(kWeb, "user1", "app1")}),
            agent("app1", {dep(kWeb, "app1", "web1"), dep(kWeb, "app1", "web2")}),
            agent("web1", {dep(kDB, "web1", "db1"), dep(kDNS, "web1", "ns1")}),
            agent("web2",
                  {dep(kDB, "web2", "db1"), dep(kDNS, "web2", "ns1"), dep(kDNS, "web2", "ns2", Reach::no, 500)}),
            agent("db1", {dep(kDNS, "db1", "ns1"), dep(kFilesys, "db1", "nfs1", Reach::no, 300)}),
            ghost};
        store->applyRound(round1, 100, "site-a");
        AgentReport refused;
        refused.agent = "user1,5270";
        refused.failure = "refused";
        round1[0] = refused;
        store->applyRound(round1, 200, "site-a");
    }

    // host@depth of each answer row, in order.
    static std::vector<std::string> reached(const std::vector<Reached> &rs) {
        std::vector<std::string> out;
        for (const Reached &r : rs)
            out.push_back(r.host + "@" + std::to_string(r.depth));
        return out;
    }

    struct Run {
        int status;
        std::string out, err;
    };
    Run query(std::vector<std::string> args) {
        args.insert(args.begin(), {"--db", path});
        FILE *out = std::tmpfile(), *err = std::tmpfile();
        Run r{runQuery(args, out, err), read(out), read(err)};
        std::fclose(out);
        std::fclose(err);
        return r;
    }
    static std::string read(FILE *f) {
        std::string s;
        std::rewind(f);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        return s;
    }
};

using V = std::vector<std::string>;

TEST_P(QueryTest, Dependents) {
    EXPECT_EQ(reached(dependents(*store, "db1", 1)), (V{"web1@1", "web2@1"}));
    EXPECT_EQ(reached(dependents(*store, "db1", 2)), (V{"web1@1", "web2@1", "app1@2"}));
    EXPECT_EQ(reached(dependents(*store, "db1", 3)), (V{"web1@1", "web2@1", "app1@2", "user1@3"}));
    // web1 and web2 depend on ns1 directly and through db1: depth 1 only.
    EXPECT_EQ(reached(dependents(*store, "ns1", 2)), (V{"db1@1", "web1@1", "web2@1", "app1@2"}));
    auto viaBoth = dependents(*store, "db1", 2);
    ASSERT_EQ(viaBoth.size(), 3u);
    EXPECT_EQ(viaBoth[2].via, (std::set<std::string>{"web1", "web2"}));
    EXPECT_EQ(viaBoth[0].types, (std::set<int>{kDB}));
    // The type selects the first hop.
    EXPECT_TRUE(dependents(*store, "ns1", 1, kDB).empty());
    EXPECT_EQ(reached(dependents(*store, "ns1", 2, kDNS)), (V{"db1@1", "web1@1", "web2@1", "app1@2"}));
    EXPECT_EQ(reached(dependents(*store, "web2", 1, kWeb)), (V{"app1@1"}));
    EXPECT_TRUE(dependents(*store, "user1", 5).empty());
}

TEST_P(QueryTest, DependsOn) {
    EXPECT_EQ(reached(dependsOn(*store, "user1", 1)), (V{"app1@1"}));
    EXPECT_EQ(reached(dependsOn(*store, "app1", 2)), (V{"web1@1", "web2@1", "db1@2", "ns1@2", "ns2@2"}));
    EXPECT_EQ(reached(dependsOn(*store, "app1", 0)), (V{"web1@1", "web2@1", "db1@2", "ns1@2", "ns2@2", "nfs1@3"}));
}

TEST_P(QueryTest, BlastRadius) {
    EXPECT_EQ(reached(blastRadius(*store, "nfs1")), (V{"db1@1", "web1@2", "web2@2", "app1@3", "user1@4"}));
    EXPECT_EQ(reached(blastRadius(*store, "ns2")), (V{"web2@1", "app1@2", "user1@3"}));
    EXPECT_TRUE(blastRadius(*store, "user1").empty());
}

TEST_P(QueryTest, SinglePointsOfFailure) {
    auto all = singlePoints(*store);
    std::vector<std::string> got;
    for (const SinglePoint &s : all)
        got.push_back(s.server + "/" + typeName(s.type) + "/" + std::to_string(s.clients.size()));
    // web2 has two name servers and app1 two web servers: neither counts.
    EXPECT_EQ(got, (V{"db1/DB/2", "ns1/DNS/2", "app1/Web/1", "nfs1/Filesys/1"}));
    EXPECT_EQ(all[1].clients, (std::set<std::string>{"db1", "web1"}));
    auto dns = singlePoints(*store, kDNS);
    ASSERT_EQ(dns.size(), 1u);
    EXPECT_EQ(dns[0].server, "ns1");
}

TEST_P(QueryTest, UnreachableOldestFirst) {
    auto j = answer(*store, "unreachable", {}, 1000);
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["server"], "nfs1");
    EXPECT_EQ(j[0]["reachableTime"], 300);
    EXPECT_EQ(j[1]["server"], "ns2");
    EXPECT_EQ(j[1]["client"], "web2");
}

TEST_P(QueryTest, MissingAgents) {
    auto j = answer(*store, "missing", {}, 1000);
    ASSERT_EQ(j.size(), 2u);
    // ghost never answered, user1 last at 100.
    EXPECT_EQ(j[0]["agent"], "ghost,5270");
    EXPECT_EQ(j[0]["failure"], "timeout (connect)");
    EXPECT_EQ(j[1]["agent"], "user1,5270");
    EXPECT_EQ(j[1]["host"], "user1");
    EXPECT_EQ(j[1]["failure"], "refused");
    EXPECT_EQ(j[1]["lastAnswered"], 100);
    EXPECT_EQ(j[1]["lastFailed"], 200);
}

TEST_P(QueryTest, ChangesSince) {
    auto all = answer(*store, "changes", {}, 1000);
    auto round2 = answer(*store, "changes", {"--since", "200"}, 1000);
    ASSERT_EQ(round2.size(), 1u);
    EXPECT_EQ(round2[0]["kind"], "agent failed");
    EXPECT_EQ(round2[0]["host"], "user1");
    // Round 1: ghost failed, 5 agents answered, 10 dependencies, 8 hosts.
    EXPECT_EQ(all.size(), 1u + 5 + 10 + 8 + 1);
    EXPECT_EQ(answer(*store, "changes", {"--since", "1970-01-01T00:03:20"}, 1000).size(), 1u);
    EXPECT_EQ(answer(*store, "changes", {"--since", "850s"}, 1000).size(), 1u);
    EXPECT_THROW(answer(*store, "changes", {"--since", "yesterday"}, 1000), std::invalid_argument);
}

TEST_P(QueryTest, HostsAndHost) {
    auto hosts = answer(*store, "hosts", {}, 1000);
    V names;
    for (const auto &h : hosts)
        names.push_back(h["host"]);
    EXPECT_EQ(names, (V{"app1", "db1", "nfs1", "ns1", "ns2", "user1", "web1", "web2"}));
    auto web2 = answer(*store, "host", {"web2"}, 1000);
    EXPECT_EQ(web2["dependencies"].size(), 3u);
    ASSERT_EQ(web2["dependents"].size(), 1u);
    EXPECT_EQ(web2["dependents"][0]["client"], "app1");
    EXPECT_EQ(web2["metrics"]["loadAvg1Min"], "0.5");
    EXPECT_EQ(web2["agents"][0]["state"], "ok");
}

TEST_P(QueryTest, CommandLine) {
    auto r = query({"-json", "dependents", "db1", "--depth", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[2]["host"], "app1");
    EXPECT_EQ(j[2]["depth"], 2);
    EXPECT_EQ(j[2]["via"], "web1,web2");

    r = query({"dependents", "db1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "depth  host  types  via\n"
              "1      web1  DB     db1\n"
              "1      web2  DB     db1\n");

    for (const V &unknown : {V{"dependents", "nosuch"}, V{"host", "nosuch"}, V{"blast-radius", "nosuch"},
                             V{"-json", "depends-on", "nosuch"}}) {
        r = query(unknown);
        EXPECT_EQ(r.status, 1) << unknown[0];
        EXPECT_EQ(r.err, "qelmap: unknown host nosuch\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(query({"frobnicate"}).status, 2);
    EXPECT_EQ(query({"dependents", "db1", "--depth", "0"}).status, 2);
    EXPECT_EQ(query({"spof", "--type", "nosuchtype"}).status, 2);
    EXPECT_EQ(query({"-json", "spof", "--type", "dependDNS"}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, QueryTest, ::testing::Values("sqlite", "postgresql"), qelmaptest::engineName);

} // namespace
