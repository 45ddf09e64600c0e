// link: kestrova_frame kestrova_core qelhost
// The local add's refresh path with the agent's own name cache: random
// sequences of adds, removals, prunes, renamed hosts, expired, evicted and
// cleared names and new vertices give the same returns, records, vertices,
// times, messages and name-cache counts with remembered adds as with every
// add taking the full path, also when the adds are a log rule's matches
// (which settle their point of view, or skip that for a remembered add);
// a removed or pruned dependency comes back on
// the next add; adds raced by removals and prunes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "depend_logfile.h"
#include "dependency.h"
#include "dependency_add.h"
#include "graph.h"
#include "graph_internal.h"
#include "kestrova.h"
#include "logtail.h"
#include "qel/strutil.h"
#include "qelhost.h"
#include "vertex.h"

namespace {

using Clock = std::chrono::steady_clock;

// The hosts' names as the test's resolvers answer them, changed by tests.
std::mutex namesMu;
std::map<std::string, std::string> nameOf;    // qelNameAddrToHostname
std::map<std::string, std::string> reverseOf; // qelIpAddrToHostname

std::atomic<long long> clockSeconds{0};
const Clock::time_point clockBase = Clock::now();
Clock::time_point testClock() { return clockBase + std::chrono::seconds(clockSeconds.load()); }

int answer(const std::map<std::string, std::string> &m, const std::string &q, std::string &name) {
    std::lock_guard<std::mutex> g(namesMu);
    auto it = m.find(q);
    if (it == m.end())
        return -1;
    name = it->second;
    return 1;
}

qelhost::NameResolvers testResolvers() {
    qelhost::NameResolvers r;
    r.ipAddr = [](const std::string &q, std::string &name) { return answer(reverseOf, q, name); };
    r.nameAddr = [](const std::string &q, std::string &name) { return answer(nameOf, q, name); };
    r.ipv4 = [](const std::string &) -> uint32_t { return 0; };
    r.ipv6 = [](const std::string &, in6_addr *) { return -1; };
    return r;
}

void initialNames() {
    std::lock_guard<std::mutex> g(namesMu);
    nameOf = {{"web", "web.example"}, {"10.0.0.2", "db.example"}, {"mail", "mail.example"}};
    // An address look-up that answers another name than the vertex is
    // named: such a vertex is found by a later look-up, which a new vertex
    // can take over.
    reverseOf = {{"10.0.0.2", "db.example"}, {"web.example", "www.example"}};
}

const char *const kMe = "addtest.example";

void setUpGraph() {
    qelCopyField(myhostname, kMe);
    theGraph = graphNew("add test graph");
    myVertex = kestrova::vertexNewNamed(myhostname);
    myVertex->reachable = 1;
    graphInsertNode(theGraph, myVertex);
}

void tearDownGraph() {
    while (theGraph->setOfNodes->head)
        graphRemoveNode(theGraph, static_cast<vertex_t *>(theGraph->setOfNodes->head->data));
    graphDestroy(theGraph);
    theGraph = nullptr;
    myVertex = nullptr;
}

void setUpNames(size_t capacity) {
    clockSeconds = 0;
    initialNames();
    qelhost::setNameResolvers(testResolvers());
    qelhost::setNameCacheClock(testClock);
    // Resolvers answer at once: a long wait keeps a busy machine (or a
    // sanitizer) from turning an answer into "no name" in one run only.
    qelhost::setNameCacheLimits(600, 60, 30000);
    qelhost::setNameCacheCapacity(capacity);
    qelhost::clearNameCache();
}

void tearDownNames() {
    qelhost::setNameResolvers({});
    qelhost::setNameCacheClock(nullptr);
    qelhost::setNameCacheLimits(600, 60, 2000);
    qelhost::setNameCacheCapacity(qelhost::kDefaultNameCacheEntries);
    qelhost::clearNameCache();
    kestrova::setRefreshCacheEnabled(true);
    qelCopyField(myhostname, kMe);
}

dependency_t makeDep(const std::string &client, const std::string &server, int dtype, const std::string &args) {
    dependency_t d{};
    qelCopyField(d.dependClient, client.c_str());
    qelCopyField(d.dependServer, server.c_str());
    qelCopyField(d.args, args.c_str());
    d.dtype = (dependencyType_t)dtype;
    d.dsrc = dependSrcLogfile;
    d.pov = dependInbound;
    d.logfileDependencyAgeOut = 300;
    return d;
}

template <class Fn> void eachData(linkedList_t *l, Fn fn) {
    int i = 0;
    for (linkedElement_t *c = l ? l->head : nullptr; c; c = c->next)
        fn(c->data, i++);
}

std::string graphText() {
    std::string s;
    eachData(theGraph->setOfNodes, [&](void *p, int) { (s += static_cast<vertex_t *>(p)->name) += ' '; });
    s += '\n';
    eachData(theGraph->setOfEdges, [&](void *p, int) {
        auto *d = static_cast<dependency_t *>(p);
        s += std::to_string(d->dtype) + ' ' + d->client->name + '>' + d->server->name + " '" + d->args + "' " +
             d->originalClient + ' ' + d->originalServer + ' ' + std::to_string(d->pov) + ' ' +
             std::to_string(d->logfileDependencyAgeOut) + '\n';
    });
    return s;
}

// Which records and vertices an operation touched: every time is set to 0
// before it, and those it set read back after.
void clearTimes() {
    eachData(theGraph->setOfNodes, [](void *p, int) { static_cast<vertex_t *>(p)->lastUpdate = 0; });
    eachData(theGraph->setOfEdges, [](void *p, int) { static_cast<dependency_t *>(p)->lastUpdate = 0; });
}

std::string touched(time_t from) {
    std::string s;
    eachData(theGraph->setOfNodes, [&](void *p, int) {
        auto *v = static_cast<vertex_t *>(p);
        if (v->lastUpdate)
            s += std::string(v->name) + (v->lastUpdate >= from ? "@now " : "@old ");
    });
    eachData(theGraph->setOfEdges, [&](void *p, int i) {
        auto *d = static_cast<dependency_t *>(p);
        if (d->lastUpdate)
            s += "#" + std::to_string(i) + (d->lastUpdate >= from ? "@now " : "@old ");
    });
    return s;
}

void *nth(linkedList_t *l, size_t n) {
    size_t i = 0;
    for (linkedElement_t *c = l->head; c; c = c->next, ++i)
        if (i == n)
            return c->data;
    return nullptr;
}

struct Outcome {
    std::string log, graph, out;
    qelhost::NameCacheStats names;
    uint64_t refreshed = 0;
};

const char *const kHosts[] = {"10.0.0.1", "10.0.0.2", "web",       "web.example", "localhost", "127.0.0.1",
                              kMe,        "addtest",  "mail",      "db.example",  "www.example"};
const char *const kAnswers[] = {"web.example", "db.example", "other.example", "www.example", "10.0.0.1", ""};
const char *const kArgs[] = {"", "ssh", "from=<a@b>"};

// A log rule of type dtype whose lines "c=CLIENT s=SERVER a=ARGS" name a
// dependency: its matches settle their point of view and add as a rule's
// matches do (an add remembered before is refreshed first).
struct LogRule {
    logfileDependency_t rule{};
    explicit LogRule(int dtype) {
        rule.dtype = dtype;
        qelCopyField(rule.addExpression, "^c=(\\S*) s=(\\S*) a=(.*)$");
        qelCopyField(rule.dependClient, "$1");
        qelCopyField(rule.dependServer, "$2");
        qelCopyField(rule.args, "$3");
        rule.timeout = 300;
        std::string err;
        size_t off = 0;
        rule.addRe = logtail::compileExpression(rule.addExpression, err, off);
    }
    ~LogRule() { pcre2_code_free(rule.addRe); }
    int match(const dependency_t &d) {
        std::string line = std::string("c=") + d.dependClient + " s=" + d.dependServer + " a=" + d.args + "\n";
        return dependencyCheckLogEntry(&rule, line.c_str(), 1);
    }
};

// text with each run of six or more hexadecimal digits made one "@".
std::string withoutAddresses(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t j = i;
        while (j < text.size() && std::isxdigit(static_cast<unsigned char>(text[j])))
            ++j;
        if (j - i >= 6) {
            out += '@';
            i = j;
        } else if (j > i) {
            out.append(text, i, j - i);
            i = j;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// One random sequence; remember: whether adds may be answered from
// remembered ones; logWay: adds made as a log rule's matches, which settle
// their point of view (and so may be transit adds).
Outcome runSequence(uint32_t seed, bool remember, size_t capacity, int steps, bool logWay = false) {
    setUpNames(capacity);
    setUpGraph();
    kestrova::setRefreshCacheEnabled(remember);
    std::mt19937 rng(seed);
    auto pick = [&](auto &arr) { return arr[rng() % (sizeof(arr) / sizeof(arr[0]))]; };
    // Adds repeat a few texts, as a log rule's do; any host may be a
    // server, but mostly this one.
    std::vector<dependency_t> adds;
    for (int i = 0; i < 16; ++i)
        adds.push_back(makeDep(pick(kHosts), i % 4 ? kMe : pick(kHosts), 1 + (int)(rng() % 2), pick(kArgs)));
    Outcome o;
    LogRule rules[2] = {LogRule(1), LogRule(2)};
    testing::internal::CaptureStdout();
    for (int i = 0; i < steps; ++i) {
        unsigned op = rng() % 100;
        std::string line;
        if (op < 84 && logWay) {
            dependency_t d = adds[rng() % adds.size()];
            clearTimes();
            time_t from = time(nullptr);
            int rc = rules[d.dtype - 1].match(d);
            line = "log " + std::to_string(rc) + " '" + d.dependClient + "' '" + d.dependServer + "' " +
                   std::to_string(getSizeOfGraph(theGraph)) + ' ' + touched(from);
        } else if (op < 84) {
            dependency_t d = adds[rng() % adds.size()];
            clearTimes();
            time_t from = time(nullptr);
            int rc = addLocalDependency(&d);
            line = "add " + std::to_string(rc) + ' ' + (d.client ? d.client->name : "-") + '>' +
                   (d.server ? d.server->name : "-") + " '" + d.args + "' " + touched(from);
        } else if (op < 87) {
            dependency_t d = rng() % 2 ? adds[rng() % adds.size()]
                                       : makeDep(pick(kHosts), pick(kHosts), 1 + (int)(rng() % 2), pick(kArgs));
            line = "remove " + std::to_string(removeLocalDependency(&d));
        } else if (op < 90) {
            // The age-out's way: the record taken out of the graph as it is.
            int n = getSizeOfGraph(theGraph);
            if (n > 0) {
                auto *d = static_cast<dependency_t *>(nth(theGraph->setOfEdges, rng() % (size_t)n));
                line = "prune " + std::string(d->name) + ' ';
                line += std::to_string(graphRemoveEdge(theGraph, d, 1));
            }
        } else if (op < 91) {
            int n = getOrderOfGraph(theGraph);
            auto *v = static_cast<vertex_t *>(nth(theGraph->setOfNodes, rng() % (size_t)n));
            if (v != myVertex) {
                line = "drop " + std::string(v->name) + ' ';
                line += std::to_string(graphRemoveNode(theGraph, v));
            }
        } else if (op < 94) {
            std::string host = pick(kHosts), to = pick(kAnswers);
            bool reverse = rng() % 2;
            {
                std::lock_guard<std::mutex> g(namesMu);
                auto &m = reverse ? reverseOf : nameOf;
                if (to.empty())
                    m.erase(host);
                else
                    m[host] = to;
            }
            line = "rename " + host + (reverse ? " r " : " n ") + to;
        } else if (op < 96) {
            int s = rng() % 2 ? 61 : 601;
            clockSeconds += s;
            line = "later " + std::to_string(s);
        } else if (op < 97) {
            qelhost::clearNameCache();
            line = "clear";
        } else if (op < 99) {
            // A vertex that a later look-up of a remembered add would find
            // before the one it found.
            std::string name = pick(kAnswers);
            vertex_t *v = kestrova::vertexNewNamed(name.c_str());
            int rc = name.empty() ? -1 : graphInsertNode(theGraph, v);
            if (rc != 0)
                vertexFree(v);
            line = "vertex " + name + ' ' + std::to_string(rc);
        } else {
            qelCopyField(myhostname, strcmp(myhostname, kMe) == 0 ? "addtest2.example" : kMe);
            line = std::string("host ") + myhostname;
        }
        o.log += line + '\n';
    }
    o.out = testing::internal::GetCapturedStdout();
    o.graph = graphText();
    o.names = qelhost::nameCacheStats();
    o.refreshed = kestrova::refreshCacheStats().refreshed;
    tearDownGraph();
    tearDownNames();
    return o;
}

TEST(DependencyAdd, RandomSequencesGiveWhatTheFullPathGives) {
    const int kSeeds = 8, kSteps = 250;
    uint64_t refreshed = 0;
    for (size_t capacity : {size_t(qelhost::kDefaultNameCacheEntries), size_t(5)}) {
        for (int seed = 1; seed <= kSeeds; ++seed) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " capacity " + std::to_string(capacity));
            Outcome full = runSequence((uint32_t)seed, false, capacity, kSteps);
            EXPECT_EQ(full.refreshed, 0u);
            Outcome fast = runSequence((uint32_t)seed, true, capacity, kSteps);
            refreshed += fast.refreshed;
            // The first step told apart, not the whole log.
            size_t at = std::mismatch(fast.log.begin(), fast.log.end(), full.log.begin(), full.log.end()).first -
                        fast.log.begin();
            size_t from = full.log.rfind('\n', at);
            from = from == std::string::npos ? 0 : from + 1;
            ASSERT_EQ(fast.log.substr(from, 300), full.log.substr(from, 300));
            EXPECT_EQ(fast.graph, full.graph);
            EXPECT_EQ(fast.out, full.out);
            EXPECT_EQ(fast.names.hits, full.names.hits);
            EXPECT_EQ(fast.names.misses, full.names.misses);
            EXPECT_EQ(fast.names.evictions, full.names.evictions);
        }
    }
    // The comparison means something only if adds were answered the short way.
    EXPECT_GT(refreshed, 300u);
}

// A log rule's match refreshes a remembered add before settling its point
// of view: only what a local-host test would have said again may be left
// out (host name changes, vertices and records gone, names changed), and
// transit adds, never remembered, still take their way.
TEST(DependencyAdd, LogRuleAddsGiveWhatTheFullPathGives) {
    const int kSeeds = 8, kSteps = 250;
    uint64_t refreshed = 0;
    for (int seed = 1; seed <= kSeeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Outcome full = runSequence((uint32_t)seed, false, qelhost::kDefaultNameCacheEntries, kSteps, true);
        Outcome fast = runSequence((uint32_t)seed, true, qelhost::kDefaultNameCacheEntries, kSteps, true);
        refreshed += fast.refreshed;
        size_t at = std::mismatch(fast.log.begin(), fast.log.end(), full.log.begin(), full.log.end()).first -
                    fast.log.begin();
        size_t from = full.log.rfind('\n', at);
        from = from == std::string::npos ? 0 : from + 1;
        ASSERT_EQ(fast.log.substr(from, 300), full.log.substr(from, 300));
        EXPECT_EQ(fast.graph, full.graph);
        // The transit add prints its records' addresses.
        EXPECT_EQ(withoutAddresses(fast.out), withoutAddresses(full.out));
        EXPECT_EQ(fast.names.hits, full.names.hits);
        EXPECT_EQ(fast.names.misses, full.names.misses);
    }
    // Many of these adds are transit ones or bracket their arguments.
    EXPECT_GT(refreshed, 150u);
}

class DependencyAddCases : public ::testing::Test {
protected:
    void SetUp() override {
        setUpNames(qelhost::kDefaultNameCacheEntries);
        setUpGraph();
        kestrova::setRefreshCacheEnabled(true);
    }
    void TearDown() override {
        tearDownGraph();
        tearDownNames();
    }
    static uint64_t refreshed() { return kestrova::refreshCacheStats().refreshed; }
};

TEST_F(DependencyAddCases, RemovedOrPrunedDependencyComesBackOnTheNextAdd) {
    dependency_t d = makeDep("10.0.0.1", kMe, 10, "ssh");
    ASSERT_EQ(addLocalDependency(&d), 1);
    ASSERT_EQ(addLocalDependency(&d), 0); // remembered now
    uint64_t before = refreshed();
    ASSERT_EQ(addLocalDependency(&d), 0);
    EXPECT_EQ(refreshed(), before + 1);

    dependency_t r = makeDep("10.0.0.1", kMe, 10, "ssh");
    ASSERT_EQ(removeLocalDependency(&r), 1);
    EXPECT_EQ(addLocalDependency(&d), 1);
    ASSERT_NE(findLocalDependency(&d), nullptr);

    // Pruned as the age-out does it.
    addLocalDependency(&d);
    ASSERT_EQ(graphRemoveEdge(theGraph, findLocalDependency(&d), 1), 0);
    EXPECT_EQ(addLocalDependency(&d), 1);

    // Its client vertex dropped with all its records.
    addLocalDependency(&d);
    ASSERT_EQ(graphRemoveNode(theGraph, d.client), 0);
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    EXPECT_EQ(addLocalDependency(&d), 0);
}

TEST_F(DependencyAddCases, RenamedHostSeenWhenTheNameCacheLetsItGo) {
    dependency_t d = makeDep("10.0.0.1", kMe, 10, "ssh");
    ASSERT_EQ(addLocalDependency(&d), 1);
    ASSERT_EQ(addLocalDependency(&d), 0);
    {
        std::lock_guard<std::mutex> g(namesMu);
        nameOf["10.0.0.1"] = "renamed.example";
    }
    // The cache still answers "no name" for 60 s: the same record.
    clockSeconds += 59;
    uint64_t before = refreshed();
    EXPECT_EQ(addLocalDependency(&d), 0);
    EXPECT_EQ(refreshed(), before + 1);
    EXPECT_STREQ(d.client->name, "10.0.0.1");
    // Expired: the new name, a new record.
    clockSeconds += 2;
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_STREQ(d.client->name, "renamed.example");
    // Forgotten entries are asked again too.
    {
        std::lock_guard<std::mutex> g(namesMu);
        nameOf["10.0.0.1"] = "again.example";
    }
    ASSERT_EQ(addLocalDependency(&d), 0);
    qelhost::clearNameCache();
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_STREQ(d.client->name, "again.example");
}

TEST_F(DependencyAddCases, NewVertexTakingTheFirstLookUpIsUsed) {
    // "web.example"'s address look-up answers "www.example": its vertex is
    // found by the second look-up until a "www.example" vertex exists.
    dependency_t d = makeDep("web", kMe, 11, "");
    ASSERT_EQ(addLocalDependency(&d), 1);
    ASSERT_EQ(addLocalDependency(&d), 0);
    EXPECT_STREQ(d.client->name, "web.example");
    vertex_t *v = kestrova::vertexNewNamed("www.example");
    ASSERT_EQ(graphInsertNode(theGraph, v), 0);
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_EQ(d.client, v);
    // A vertex found by its first look-up stays remembered across new ones.
    dependency_t e = makeDep("10.0.0.1", kMe, 11, "");
    ASSERT_EQ(addLocalDependency(&e), 1);
    ASSERT_EQ(addLocalDependency(&e), 0);
    ASSERT_EQ(graphInsertNode(theGraph, kestrova::vertexNewNamed("10.0.0.9")), 0);
    uint64_t before = refreshed();
    EXPECT_EQ(addLocalDependency(&e), 0);
    EXPECT_EQ(refreshed(), before + 1);
}

TEST_F(DependencyAddCases, ChangedHostNameIsSeenAtOnce) {
    dependency_t d = makeDep("10.0.0.1", "addtest", 3, "");
    ASSERT_EQ(addLocalDependency(&d), 1);
    ASSERT_EQ(addLocalDependency(&d), 0);
    EXPECT_EQ(d.server, myVertex);
    // "addtest" is no longer this host: a vertex of its own.
    qelCopyField(myhostname, "other.example");
    EXPECT_EQ(addLocalDependency(&d), 1);
    EXPECT_STREQ(d.server->name, "addtest");
}

// Adds raced by removals, prunes, vertex drops and expiring names; every
// dependency is there once after a last round of adds.
TEST_F(DependencyAddCases, ConcurrentAddsRemovalsAndPrunes) {
    const int kDeps = 24, kRounds = 400;
    auto dep = [](int i) {
        return makeDep("10.1.0." + std::to_string(i % 12), kMe, 1 + i / 12, i % 3 ? "x" : "");
    };
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < kRounds; ++n)
                for (int i = t; i < kDeps; i += 2) {
                    dependency_t d = dep(i);
                    if (addLocalDependency(&d) < 0)
                        failed = true;
                }
        });
    threads.emplace_back([&] {
        std::mt19937 rng(7);
        for (int n = 0; n < kRounds; ++n) {
            // -1 (a vertex not there) is an answer too.
            dependency_t d = dep((int)(rng() % kDeps));
            removeLocalDependency(&d);
            if (n % 50 == 0)
                clockSeconds += 61;
        }
    });
    threads.emplace_back([&] {
        std::mt19937 rng(9);
        for (int n = 0; n < kRounds; ++n) {
            graphLock(theGraph, "test");
            int size = getSizeOfGraph(theGraph);
            auto *d = size ? static_cast<dependency_t *>(nth(theGraph->setOfEdges, rng() % (size_t)size)) : nullptr;
            if (d)
                graphRemoveEdge(theGraph, d, 0);
            graphUnlock(theGraph, "test");
            if (n % 100 == 99) {
                graphLock(theGraph, "test");
                auto *v = static_cast<vertex_t *>(nth(theGraph->setOfNodes, 1));
                if (v && v != myVertex)
                    graphRemoveNodeLocked(theGraph, v);
                graphUnlock(theGraph, "test");
            }
        }
    });
    for (auto &t : threads)
        t.join();
    EXPECT_FALSE(failed);
    for (int i = 0; i < kDeps; ++i) {
        dependency_t d = dep(i);
        EXPECT_GE(addLocalDependency(&d), 0);
        EXPECT_NE(findLocalDependency(&d), nullptr) << i;
    }
    EXPECT_EQ(getSizeOfGraph(theGraph), kDeps);
}

} // namespace

// More distinct dependencies than the cache's floor: each is still
// refreshed the short way on its next add, instead of the cache forgetting
// them all in turn.
TEST_F(DependencyAddCases, MoreDependenciesThanTheFloorAreAllRemembered) {
    const int n = (int)kestrova::kRefreshCacheEntries + 2000;
    std::vector<dependency_t> deps;
    deps.reserve((size_t)n);
    // Distinct by their arguments: the names resolve once.
    for (int i = 0; i < n; ++i)
        deps.push_back(makeDep("10.0.0.1", kMe, 10, "port=" + std::to_string(i)));
    for (auto &d : deps)
        ASSERT_EQ(addLocalDependency(&d), 1);
    // By the end of this round every one is remembered (a name's very first
    // answer, just resolved, comes without a lease).
    for (auto &d : deps)
        ASSERT_EQ(addLocalDependency(&d), 0);
    uint64_t before = refreshed();
    for (auto &d : deps)
        ASSERT_EQ(addLocalDependency(&d), 0);
    EXPECT_EQ(refreshed(), before + (uint64_t)n);
}

// A transit add of the same two hosts, type and arguments as a local record
// (the host name changed since, so neither end is this host by name any
// more) refreshes that record instead of inserting a copy: the vertices
// would refuse the copy, and dropping one of them left it pointing at the
// released vertex.
TEST_F(DependencyAddCases, TransitAddOfALocalRecordRefreshesIt) {
    dependency_t d = makeDep("10.0.0.1", kMe, 10, "ssh");
    ASSERT_EQ(addLocalDependency(&d), 1);
    vertex_t *client = d.client;
    ASSERT_NE(client, nullptr);
    qelCopyField(myhostname, "addtest2.example");
    dependency_t t = makeDep("10.0.0.1", kMe, 10, "ssh");
    t.pov = dependTransit;
    testing::internal::CaptureStdout();
    EXPECT_EQ(addTransitDependency(&t), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("updating entry"), std::string::npos);
    EXPECT_EQ(getSizeOfGraph(theGraph), 1);
    // Another pair of hosts still makes a transit record.
    dependency_t other = makeDep("10.0.0.1", "mail", 10, "ssh");
    other.pov = dependTransit;
    testing::internal::CaptureStdout();
    EXPECT_EQ(addTransitDependency(&other), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(getSizeOfGraph(theGraph), 2);
    // Dropping the client takes every record naming it.
    ASSERT_EQ(graphRemoveNode(theGraph, client), 0);
    EXPECT_EQ(getSizeOfGraph(theGraph), 0);
    eachData(theGraph->setOfEdges, [&](void *p, int) {
        auto *e = static_cast<dependency_t *>(p);
        EXPECT_NE(e->client, client);
        EXPECT_NE(e->server, client);
    });
}

// The remembered add keeps the given texts short ones side by side and long
// ones apart: at every length, on both sides of those bounds, adds whose
// texts differ only in their last byte (or length) refresh their own record
// and never each other's.
TEST_F(DependencyAddCases, TextsOfEveryLengthRefreshOnlyTheirOwnRecord) {
    int records = 0;
    for (size_t len : {size_t(0), size_t(1), size_t(30), size_t(46), size_t(47), size_t(48), size_t(49), size_t(51),
                       size_t(52), size_t(64), size_t(65), size_t(200), size_t(1000)}) {
        SCOPED_TRACE(len);
        const std::string base(len, 'x');
        dependency_t a = makeDep("10.0.1.1", kMe, 10, base + "a");
        dependency_t b = makeDep("10.0.1.1", kMe, 10, base + "b");
        dependency_t c = makeDep("10.0.1.12", kMe, 10, base + "a"); // client one longer
        dependency_t e = makeDep("10.0.1.1", kMe, 10, base); // arguments one shorter
        ASSERT_EQ(addLocalDependency(&a), 1);
        ASSERT_EQ(addLocalDependency(&a), 0); // remembered now
        EXPECT_EQ(addLocalDependency(&b), 1);
        EXPECT_EQ(addLocalDependency(&c), 1);
        EXPECT_EQ(addLocalDependency(&e), 1);
        records += 4;
        EXPECT_EQ(getSizeOfGraph(theGraph), records);
        for (dependency_t *d : {&b, &c, &e}) // each found now: remembered
            EXPECT_EQ(addLocalDependency(d), 0);
        for (dependency_t *d : {&b, &c, &e, &a, &b, &c, &e}) {
            const uint64_t before = refreshed();
            EXPECT_EQ(addLocalDependency(d), 0);
            EXPECT_EQ(refreshed(), before + 1);
            dependency_t *rec = findLocalDependency(d);
            ASSERT_NE(rec, nullptr);
            EXPECT_STREQ(rec->args, d->args);
            EXPECT_STREQ(rec->originalClient, d->dependClient);
        }
        EXPECT_EQ(getSizeOfGraph(theGraph), records);
    }
}

// Adds remembered again and again (each removal sends the next add the full
// way, which remembers it anew in its old place), between neighbours whose
// texts are of other lengths, and after the whole cache was forgotten: each
// add afterwards refreshes its own record the short way, so no entry's texts
// were written over another's.
TEST_F(DependencyAddCases, AddsRememberedAgainKeepTheirOwnTexts) {
    std::vector<dependency_t> deps;
    for (int i = 0; i < 24; ++i)
        deps.push_back(makeDep("10.0.2." + std::to_string(1 + i % 7), kMe, 10,
                               std::string((size_t)(i * 5) % 60, (char)('a' + i % 26)) + std::to_string(i)));
    for (auto &d : deps)
        ASSERT_EQ(addLocalDependency(&d), 1);
    for (auto &d : deps)
        ASSERT_EQ(addLocalDependency(&d), 0);
    auto allShortWay = [&] {
        for (auto &d : deps) {
            const uint64_t before = refreshed();
            EXPECT_EQ(addLocalDependency(&d), 0);
            EXPECT_EQ(refreshed(), before + 1);
            dependency_t *rec = findLocalDependency(&d);
            ASSERT_NE(rec, nullptr);
            EXPECT_STREQ(rec->args, d.args);
            EXPECT_STREQ(rec->originalClient, d.dependClient);
        }
    };
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        for (size_t i = (size_t)round % 3; i < deps.size(); i += 3) {
            dependency_t r = deps[i];
            ASSERT_EQ(removeLocalDependency(&r), 1);
        }
        // The removed ones come back by the full way, the others too (a
        // removal stops every remembered add), and are remembered again.
        int made = 0;
        for (auto &d : deps)
            made += addLocalDependency(&d);
        EXPECT_EQ(made, 8);
        allShortWay();
        if (round == 3) {
            kestrova::setRefreshCacheEnabled(true); // forgets every entry
            for (auto &d : deps)
                ASSERT_EQ(addLocalDependency(&d), 0);
            allShortWay();
        }
    }
    EXPECT_EQ(getSizeOfGraph(theGraph), (int)deps.size());
}
