// link: kestrova_frame kestrova_core qelhost
// The discovery modules the dependency worker runs: one table, in the
// worker's order and in groups, installed by init_dependencies. The test
// reads the table itself and checks what must hold of it, and that a pass
// runs its entries in its order.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dependency.h"
#include "discovery.h"
#include "kestrova_globals.h"
#include "graph.h"
#include "qel/strutil.h"
#include "vertex.h"

namespace {

TEST(DiscoveryOrder, GroupsRiseByOneFromTheFirstToTheLast) {
    ASSERT_GT(KESTROVA_NUM_DISCOVERY, 0);
    EXPECT_EQ(kestrovaDiscoveryOrder[0].group, 0);
    for (int i = 1; i < KESTROVA_NUM_DISCOVERY; i++) {
        const int step = kestrovaDiscoveryOrder[i].group - kestrovaDiscoveryOrder[i - 1].group;
        EXPECT_TRUE(step == 0 || step == 1)
            << kestrovaDiscoveryOrder[i].name << " after " << kestrovaDiscoveryOrder[i - 1].name;
    }
    EXPECT_EQ(kestrovaDiscoveryOrder[KESTROVA_NUM_DISCOVERY - 1].group, KESTROVA_NUM_DISCOVERY_GROUPS - 1);
}

TEST(DiscoveryOrder, EachModuleOnceUnderItsName) {
    std::set<std::string> names;
    std::set<discoveryFn_t> fns;
    for (const discoveryEntry_t &e : kestrovaDiscoveryOrder) {
        ASSERT_NE(e.name, nullptr);
        EXPECT_EQ(std::string(e.name).rfind("dependency_discover_", 0), 0u) << e.name;
        EXPECT_NE(e.fn, nullptr) << e.name;
        EXPECT_TRUE(names.insert(e.name).second) << e.name << " twice";
        EXPECT_TRUE(fns.insert(e.fn).second) << e.name << " shares its entry point";
    }
    // The entry points the table must hold, whatever their place.
    for (discoveryFn_t fn : {dependency_discover_dns, dependency_discover_filesys, dependency_discover_tcp,
                             dependency_discover_router, dependency_discover_other})
        EXPECT_EQ(fns.count(fn), 1u);
}

// Stand-ins under the table's names and groups, which note each call.
std::mutex callsMu;
std::vector<std::string> calls;

template <int I>
int record() {
    std::lock_guard g(callsMu);
    calls.push_back(kestrovaDiscoveryOrder[I].name);
    return 0;
}

template <int... I>
std::vector<discoveryEntry_t> recorders(std::integer_sequence<int, I...>) {
    return {discoveryEntry_t{kestrovaDiscoveryOrder[I].name, record<I>, kestrovaDiscoveryOrder[I].group}...};
}

TEST(DiscoveryOrder, APassRunsTheTableInItsOrder) {
    // A graph of the local host alone: the pass ages out and probes nothing.
    qelCopyField(myhostname, "myhost.example.com");
    theGraph = graphNew("myhost.example.com graph");
    myVertex = vertexNew(myhostname);
    ASSERT_EQ(graphInsertNode(theGraph, myVertex), 0);
    auto table = recorders(std::make_integer_sequence<int, KESTROVA_NUM_DISCOVERY>{});
    kestrovaSetDiscoveryTable(table.data(), static_cast<int>(table.size()));
    kestrova_thread_kill = 0;
    calls.clear();
    EXPECT_EQ(kestrovaDependencyPass(), 1);
    kestrovaSetDiscoveryTable(nullptr, 0);
    graphRemoveNode(theGraph, myVertex);
    graphDestroy(theGraph);
    theGraph = nullptr;
    myVertex = nullptr;
    std::vector<std::string> expected;
    for (const discoveryEntry_t &e : kestrovaDiscoveryOrder)
        expected.push_back(e.name);
    std::lock_guard g(callsMu);
    EXPECT_EQ(calls, expected);
}

} // namespace
