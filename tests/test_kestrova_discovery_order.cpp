// link: kestrova_frame kestrova_core qelhost
// The discovery modules the dependency worker runs: sixteen entry points in
// six groups, in the worker's order, installed by init_dependencies.
#include <gtest/gtest.h>

#include "dependency.h"
#include "discovery.h"

namespace {

TEST(DiscoveryOrder, SixteenInSixGroups) {
    const struct {
        const char *name;
        discoveryFn_t fn;
        int group;
    } expected[] = {{"dependency_discover_dns", dependency_discover_dns, 0},
                    {"dependency_discover_filesys", dependency_discover_filesys, 1},
                    {"dependency_discover_filesys_clients", dependency_discover_filesys_clients, 1},
                    {"dependency_discover_samba_clients", dependency_discover_samba_clients, 1},
                    {"dependency_discover_ntp", dependency_discover_ntp, 2},
                    {"dependency_discover_dir", dependency_discover_dir, 2},
                    {"dependency_discover_printer", dependency_discover_printer, 2},
                    {"dependency_discover_router", dependency_discover_router, 3},
                    {"dependency_discover_email", dependency_discover_email, 3},
                    {"dependency_discover_dhcp_client", dependency_discover_dhcp_client, 3},
                    {"dependency_discover_dhcp_server", dependency_discover_dhcp_server, 3},
                    {"dependency_discover_tcp", dependency_discover_tcp, 4},
                    {"dependency_discover_udp", dependency_discover_udp, 4},
                    {"dependency_discover_raw", dependency_discover_raw, 4},
                    {"dependency_discover_voip", dependency_discover_voip, 5},
                    {"dependency_discover_other", dependency_discover_other, 5}};
    static_assert(sizeof expected / sizeof expected[0] == KESTROVA_NUM_DISCOVERY);
    for (int i = 0; i < KESTROVA_NUM_DISCOVERY; i++) {
        EXPECT_STREQ(kestrovaDiscoveryOrder[i].name, expected[i].name) << i;
        EXPECT_EQ(kestrovaDiscoveryOrder[i].fn, expected[i].fn) << expected[i].name;
        EXPECT_EQ(kestrovaDiscoveryOrder[i].group, expected[i].group) << expected[i].name;
    }
}

} // namespace
