// link: qelmapcore
// qelmap's store: the merge of a round writes only what changed, in one
// transaction, and the history of changes reads back in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "store.h"
#include "test_qelmap_stores.h"
#include "testutil.h"

namespace {

using namespace qelmap;

ObservedDependency dep(int type, const std::string &client, const std::string &server, Reach reach = Reach::yes,
                       const std::string &args = "") {
    ObservedDependency d;
    d.type = type;
    d.client = client;
    d.server = server;
    d.args = args;
    d.pov = "client";
    d.reachable = reach;
    d.reachableTime = 1000;
    return d;
}

AgentReport answered(const std::string &agent, const std::string &name, std::vector<ObservedDependency> deps) {
    AgentReport r;
    r.agent = agent;
    r.answered = true;
    r.sysName = name;
    r.sysDescr = "Linux";
    r.version = "1.0";
    r.hasKestrova = true;
    r.dependencies = std::move(deps);
    r.metrics = {{"totalMem", "1000"}};
    return r;
}

AgentReport failed(const std::string &agent, const std::string &why) {
    AgentReport r;
    r.agent = agent;
    r.failure = why;
    return r;
}

// Every row of every table, for comparing whole stores.
std::vector<Row> dump(Database &db) {
    std::vector<Row> all;
    for (const char *sql : {"SELECT * FROM hosts ORDER BY name", "SELECT * FROM agents ORDER BY agent",
                            "SELECT * FROM dependencies ORDER BY id", "SELECT * FROM peers ORDER BY agent, name",
                            "SELECT * FROM changes ORDER BY id", "SELECT * FROM rounds ORDER BY id"}) {
        auto rows = db.query(sql);
        all.push_back(Row{std::string(sql)});
        all.insert(all.end(), rows.begin(), rows.end());
    }
    return all;
}

std::vector<std::string> kinds(const std::vector<ChangeRow> &changes) {
    std::vector<std::string> out;
    for (const ChangeRow &c : changes)
        out.push_back(c.kind + " " + c.host);
    return out;
}

// Every case runs on both engines.
struct StoreTest : ::testing::TestWithParam<std::string> {
    testutil::TempDir dir;
    std::string skip;
    std::string url = qelmaptest::newStoreUrl(GetParam(), dir, "map.db", skip);
    std::unique_ptr<Database> db = url.empty() ? nullptr : openDatabase(url);
    std::unique_ptr<Store> store = db ? std::make_unique<Store>(*db) : nullptr;

    void SetUp() override {
        if (!db)
            GTEST_SKIP() << skip;
    }
};

TEST_P(StoreTest, SchemaIsVersionedAndReopens) {
    EXPECT_EQ(store->schemaVersion(), Store::kSchemaVersion);
    store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1")})}, 100, "c1");
    auto again = openDatabase(url);
    Store reopened(*again);
    EXPECT_EQ(reopened.schemaVersion(), Store::kSchemaVersion);
    EXPECT_EQ(reopened.dependenciesWith("ns1", true).size(), 1u);
    // A store of a later schema is refused rather than written.
    again->exec("INSERT INTO schema_version (version) VALUES (99)");
    EXPECT_THROW(Store{*again}, StoreError);
}

TEST_P(StoreTest, RoundsWriteWhatChangedAndKeepHistory) {
    // Round 1: alpha's agent answers with two dependencies.
    auto r1 =
        store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1"), dep(4, "alpha", "ntp1")})}, 100, "c1");
    EXPECT_EQ(r1.answered, 1);
    EXPECT_EQ(r1.changes, 6); // agent, two dependencies, three hosts
    EXPECT_EQ(kinds(store->changes(0)),
              (std::vector<std::string>{"agent answered alpha", "appeared ns1", "appeared ntp1", "host appeared alpha",
                                        "host appeared ns1", "host appeared ntp1"}));

    // The same answers again: no change rows, only the last answer moves.
    auto r2 =
        store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1"), dep(4, "alpha", "ntp1")})}, 200, "c1");
    EXPECT_EQ(r2.changes, 0);
    EXPECT_EQ(store->changes(0).size(), 6u);
    ASSERT_EQ(store->dependenciesWith("ntp1", true).size(), 1u);
    EXPECT_EQ(store->dependenciesWith("ntp1", true)[0].firstSeen, 100);
    EXPECT_EQ(store->dependenciesWith("ntp1", true)[0].lastSeen, 200);

    // Round 3: ns1 stops answering probes and the NTP dependency is gone.
    auto r3 = store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1", Reach::no)})}, 300, "c1");
    EXPECT_EQ(r3.changes, 3);
    auto since3 = store->changes(300);
    EXPECT_EQ(kinds(since3), (std::vector<std::string>{"unreachable ns1", "left ntp1", "host left ntp1"}));
    for (const ChangeRow &c : since3)
        EXPECT_EQ(c.round, r3.round);
    EXPECT_TRUE(store->dependenciesWith("ntp1", true).empty());
    auto ntp = store->host("ntp1");
    ASSERT_TRUE(ntp);
    EXPECT_FALSE(ntp->present);
    // The departed dependency keeps the last time it was seen.
    auto rows = db->query("SELECT last_seen, present FROM dependencies WHERE server = 'ntp1'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "200");
    EXPECT_EQ(rows[0][1], "0");
    // Gone once is not gone again: the same answers write nothing.
    EXPECT_EQ(store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1", Reach::no)})}, 350, "c1").changes,
              0);

    // Round 4: the agent refuses; its dependencies stay as last seen.
    auto r4 = store->applyRound({failed("a,5270", "refused")}, 400, "c1");
    EXPECT_EQ(r4.failed, 1);
    EXPECT_EQ(kinds(store->changes(400)), (std::vector<std::string>{"agent failed alpha"}));
    EXPECT_EQ(store->dependenciesWith("ns1", true).size(), 1u);
    EXPECT_EQ(store->dependenciesWith("ns1", true)[0].lastSeen, 350);
    auto agents = store->agents();
    ASSERT_EQ(agents.size(), 1u);
    EXPECT_EQ(agents[0].state, "failed");
    EXPECT_EQ(agents[0].failure, "refused");
    EXPECT_EQ(agents[0].lastAnswered, 350);
    EXPECT_EQ(agents[0].lastFailed, 400);
    // Failing again is no new change.
    EXPECT_EQ(store->applyRound({failed("a,5270", "timeout")}, 450, "c1").changes, 0);

    // Round 5: back, with NTP again.
    store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1", Reach::no), dep(4, "alpha", "ntp1")})}, 500,
                      "c2");
    EXPECT_EQ(kinds(store->changes(500)),
              (std::vector<std::string>{"agent answered alpha", "appeared ntp1", "host appeared ntp1"}));
    EXPECT_EQ(store->changes(500)[0].collector, "c2");
    EXPECT_EQ(store->dependenciesWith("ntp1", true)[0].firstSeen, 100);
    // Changes come in time order, each round's after the one before.
    auto all = store->changes(0);
    EXPECT_TRUE(
        std::is_sorted(all.begin(), all.end(), [](const ChangeRow &a, const ChangeRow &b) { return a.time < b.time; }));
    EXPECT_EQ(all.size(), 6u + 3 + 1 + 3);
}

TEST_P(StoreTest, OrderOfAnswersDoesNotChangeTheResult) {
    std::vector<AgentReport> reports = {answered("a,5270", "alpha", {dep(3, "alpha", "ns1"), dep(11, "alpha", "web1")}),
                                        answered("b,5270", "beta", {dep(3, "beta", "ns1"), dep(14, "beta", "db1")}),
                                        failed("c,5270", "refused")};
    store->applyRound(reports, 100, "c1");
    testutil::TempDir other;
    std::string why;
    auto db2 = openDatabase(qelmaptest::newStoreUrl(GetParam(), other, "map.db", why));
    Store store2(*db2);
    std::reverse(reports.begin(), reports.end());
    for (auto &r : reports)
        std::reverse(r.dependencies.begin(), r.dependencies.end());
    store2.applyRound(reports, 100, "c1");
    auto a = store->changes(0), b = store2.changes(0);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_EQ(a[i].kind + a[i].host + a[i].detail, b[i].kind + b[i].host + b[i].detail) << i;
    EXPECT_EQ(store->hosts().size(), 5u); // alpha beta ns1 web1 db1; c never answered
    EXPECT_EQ(store2.hosts().size(), 5u);
}

TEST_P(StoreTest, SharedDependencyStaysWhileAnotherAgentReportsIt) {
    // The client's and the server's agent both report alpha -> ns1.
    store->applyRound(
        {answered("a,5270", "alpha", {dep(3, "alpha", "ns1")}), answered("n,5270", "ns1", {dep(3, "alpha", "ns1")})},
        100, "c1");
    EXPECT_EQ(store->dependenciesWith("ns1", true).size(), 2u);
    store->applyRound({answered("a,5270", "alpha", {}), answered("n,5270", "ns1", {dep(3, "alpha", "ns1")})}, 200,
                      "c1");
    EXPECT_EQ(store->dependenciesWith("ns1", true).size(), 1u);
    EXPECT_TRUE(store->host("alpha")->present);
    EXPECT_TRUE(store->host("ns1")->present);
}

TEST_P(StoreTest, CandidatesAreKeptOnlyOnceTheyAnswer) {
    AgentReport guess = failed("web1,5270", "refused");
    guess.candidate = true;
    EXPECT_EQ(store->applyRound({guess}, 100, "c1").failed, 0); // a wrong guess is no failure
    EXPECT_TRUE(store->agents().empty());
    EXPECT_TRUE(store->changes(0).empty());
    AgentReport real = answered("web1,5270", "web1", {});
    real.candidate = true;
    store->applyRound({real}, 200, "c1");
    EXPECT_EQ(store->agents().size(), 1u);
}

TEST_P(StoreTest, PeersAndMetricsAreReplaced) {
    AgentReport r = answered("a,5270", "alpha", {});
    r.peers = {{"beta", "beta", 23, Reach::yes}, {"gamma", "gamma", 23, Reach::no}};
    store->applyRound({r}, 100, "c1");
    EXPECT_EQ(store->peersOf("alpha").size(), 2u);
    r.peers = {{"gamma", "gamma", 23, Reach::yes}};
    r.metrics = {{"totalMem", "2000"}, {"usedMem", "10"}};
    store->applyRound({r}, 200, "c1");
    auto peers = store->peersOf("alpha");
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0].name, "gamma");
    EXPECT_EQ(peers[0].reachable, Reach::yes);
    EXPECT_EQ(store->metricsOf("alpha"), (std::map<std::string, std::string>{{"totalMem", "2000"}, {"usedMem", "10"}}));
}

TEST_P(StoreTest, NamesComeInByteOrder) {
    // Whatever the database's language: capitals before small letters,
    // digits before the underscore.
    store->applyRound(
        {answered("a,5270", "alpha", {dep(3, "alpha", "beta_x"), dep(3, "alpha", "beta1"), dep(3, "alpha", "Zeta")})},
        100, "c1");
    std::vector<std::string> names;
    for (const HostRow &h : store->hosts())
        names.push_back(h.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha", "beta1", "beta_x"}));
    std::vector<std::string> servers;
    for (const Dependency &d : store->presentDependencies())
        servers.push_back(d.server);
    EXPECT_EQ(servers, (std::vector<std::string>{"Zeta", "beta1", "beta_x"}));
}

TEST_P(StoreTest, PruneDeletesOnlyOldChanges) {
    store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1")})}, 1000, "c1");
    store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns2")})}, 1000 + 5 * 86400, "c1");
    const size_t before = store->changes(0).size();
    const size_t recent = store->changes(1000 + 5 * 86400).size();
    // Keep 3 days at day 6: the first round's rows go.
    EXPECT_EQ(store->prune(3, 1000 + 6 * 86400), static_cast<int64_t>(before - recent));
    EXPECT_EQ(store->changes(0).size(), recent);
    EXPECT_EQ(store->prune(3, 1000 + 6 * 86400), 0);
    // Rows exactly as old as kept stay; a second older go.
    EXPECT_EQ(store->prune(1, 1000 + 6 * 86400), 0);
    EXPECT_EQ(store->prune(1, 1000 + 6 * 86400 + 1), static_cast<int64_t>(recent));
}

TEST_P(StoreTest, SeveralCollectorsWriteIntoOneStore) {
    // Two crawl processes, one per site, each with its own connection,
    // writing rounds at the same time: every round is kept whole and each
    // row says which collector saw it last.
    auto dbA = openDatabase(url), dbB = openDatabase(url);
    Store a(*dbA), b(*dbB);
    constexpr int kRounds = 10;
    std::thread siteB([&] {
        for (int i = 0; i < kRounds; ++i)
            b.applyRound(
                {answered("b,5270", "beta", {dep(3, "beta", "ns1"), dep(4, "beta", "ntp" + std::to_string(i))})},
                100 + i, "site-b");
    });
    for (int i = 0; i < kRounds; ++i)
        a.applyRound(
            {answered("a,5270", "alpha", {dep(3, "alpha", "ns1"), dep(11, "alpha", "web" + std::to_string(i))})},
            100 + i, "site-a");
    siteB.join();
    EXPECT_EQ(db->query("SELECT COUNT(*) FROM rounds")[0][0], std::to_string(2 * kRounds));
    std::map<std::string, std::string> collectorOf;
    for (const Row &r : db->query("SELECT agent, collector FROM agents"))
        collectorOf[*r[0]] = *r[1];
    EXPECT_EQ(collectorOf, (std::map<std::string, std::string>{{"a,5270", "site-a"}, {"b,5270", "site-b"}}));
    auto ns1 = store->dependenciesWith("ns1", true);
    ASSERT_EQ(ns1.size(), 2u);
    EXPECT_EQ(ns1[0].client, "alpha");
    EXPECT_EQ(ns1[1].client, "beta");
    // Each site's changes carry its name: the last round of each replaced
    // one dependency of its own agent.
    for (const ChangeRow &c : store->changes(100 + kRounds - 1)) {
        if (c.kind == "appeared" || c.kind == "left") {
            EXPECT_EQ(c.collector, c.detail.find("alpha") != std::string::npos ? "site-a" : "site-b") << c.detail;
        }
    }
    EXPECT_EQ(store->dependenciesWith("web9", true).size(), 1u);
    EXPECT_EQ(store->dependenciesWith("ntp9", true).size(), 1u);
    EXPECT_TRUE(store->dependenciesWith("web8", true).empty());
}

// A database that fails on the nth statement that changes something, as a
// full disk or a lost file would in the middle of a round.
class FailingDatabase final : public Database {
public:
    FailingDatabase(Database &real, int failAt) : real_(real), left_(failAt) {}
    void exec(const std::string &sql, const std::vector<Param> &params) override {
        tick(sql);
        real_.exec(sql, params);
    }
    std::vector<Row> query(const std::string &sql, const std::vector<Param> &params) override {
        tick(sql);
        return real_.query(sql, params);
    }
    void begin() override { real_.begin(); }
    void commit() override { real_.commit(); }
    void rollback() override { real_.rollback(); }
    std::string idColumn() const override { return real_.idColumn(); }
    int left() const { return left_; }

private:
    void tick(const std::string &sql) {
        if (sql.rfind("SELECT", 0) == 0)
            return;
        if (--left_ == 0)
            throw StoreError("disk full");
    }
    Database &real_;
    int left_;
};

TEST_P(StoreTest, FailureInMidRoundLeavesTheLastCompleteRound) {
    store->applyRound({answered("a,5270", "alpha", {dep(3, "alpha", "ns1"), dep(4, "alpha", "ntp1")}),
                       answered("b,5270", "beta", {dep(3, "beta", "ns1")})},
                      100, "c1");
    const auto before = dump(*db);
    const std::vector<AgentReport> round2 = {
        answered("a,5270", "alpha", {dep(3, "alpha", "ns1", Reach::no), dep(11, "alpha", "web1")}),
        answered("b,5270", "beta", {}), failed("c,5270", "refused")};
    // Fail at every writing statement in turn: each leaves round 1 whole.
    int writes = 0;
    for (int failAt = 1; failAt < 1000 && writes == 0; ++failAt) {
        FailingDatabase faulty(*db, failAt);
        bool threw = false;
        try {
            Store s(faulty);
            s.applyRound(round2, 200, "c1");
        } catch (const StoreError &) {
            threw = true;
        }
        if (!threw) {
            writes = failAt - 1;
            break;
        }
        ASSERT_EQ(dump(*db), before) << "failure at write " << failAt;
    }
    ASSERT_GT(writes, 0) << "the round never went through";
    // The round has many writes (agent rows, dependencies, hosts, changes),
    // so the loop did test failures in its middle, and the last pass kept it.
    EXPECT_GT(writes, 10);
    EXPECT_NE(dump(*db), before);
    EXPECT_EQ(kinds(store->changes(200)).size(), 7u);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values("sqlite", "postgresql"), qelmaptest::engineName);

} // namespace
