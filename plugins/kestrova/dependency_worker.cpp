// The dependency worker: every scan interval it runs the discovery modules
// in their fixed order, ages dependencies out and probes them.
#include <stdio.h>

#include <algorithm>
#include <atomic>

#include "dependency.h"
#include "discovery.h"
#include "kestrova_data.h"
#include "kestrova_globals.h"
#include "qelplugin.h"

extern "C" {

const discoveryEntry_t kestrovaDiscoveryOrder[KESTROVA_NUM_DISCOVERY] = {
    {"dependency_discover_dns", dependency_discover_dns, 0},
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
    {"dependency_discover_other", dependency_discover_other, 5},
};

} // extern "C"

namespace {

std::atomic<const discoveryEntry_t *> discoveryTable{kestrovaDiscoveryOrder};
std::atomic<int> discoveryCount{KESTROVA_NUM_DISCOVERY};

char connDataFile[KESTROVA_PATH_LEN];

bool stopping() { return kestrova_thread_kill.load(std::memory_order_relaxed) != 0; }

} // namespace

extern "C" {

void kestrovaSetDiscoveryTable(const discoveryEntry_t *table, int count) {
    if (!table || count <= 0) {
        table = kestrovaDiscoveryOrder;
        count = KESTROVA_NUM_DISCOVERY;
    }
    discoveryCount.store(count, std::memory_order_relaxed);
    discoveryTable.store(table, std::memory_order_release);
}

int init_dependencies(void) {
    if (!connectionInfoList)
        connectionInfoList = newLinkedList(sizeof(connInfo_t), connectionInfoCompare, connectionInfoPrint,
                                           freeConnectionInfo, "connectionInfoList", 1);
    int n = snprintf(connDataFile, sizeof connDataFile, "%s/connectiondata.xml", kestrovaHomeDir);
    if (n < 0 || (size_t)n >= sizeof connDataFile)
        connDataFile[0] = '\0'; // a cut path would name another file
    if (readConnectionDataFile(connDataFile, connectionInfoList) < 0)
        fprintf(stderr, "init_dependencies: readConnectionDataFile failed\n");
    return 1;
}

// One pass of the worker; 0 when the stop flag ended it.
int kestrovaDependencyPass(void) {
    if (connectionInfoList && connDataFile[0])
        readConnectionDataFile(connDataFile, connectionInfoList);
    const discoveryEntry_t *table = discoveryTable.load(std::memory_order_acquire);
    int n = discoveryCount.load(std::memory_order_relaxed);
    for (int i = 0; i < n; i++) {
        if (table[i].fn)
            table[i].fn();
        if ((i + 1 == n || table[i + 1].group != table[i].group) && stopping())
            return 0;
    }
    pruneDependencies(1, dependencyAgeOutInterval.load(std::memory_order_relaxed));
    if (stopping())
        return 0;
    pruneDependencies(0, peerAgeOutInterval.load(std::memory_order_relaxed));
    if (stopping())
        return 0;
    checkDependencies();
    if (stopping())
        return 0;
    return 1;
}

void *dependency_dowork(void *) {
    fprintf(stderr, "dependency_dowork starting\n");
    try {
        while (!stopping()) {
            // The parameter file refuses intervals below 4; a 0-second
            // quarter would spin.
            int quarter = std::max(1, dependencyScanInterval.load(std::memory_order_relaxed) / 4);
            bool slept = true;
            for (int i = 0; i < 4 && slept; i++)
                slept = kestrovaSleep(quarter) != 0;
            // Woken by the stop flag: no discovery run after it.
            if (!slept)
                continue;
            if (!kestrovaDependencyPass())
                return nullptr;
        }
    } catch (...) {
        fprintf(stderr, "dependency_dowork: unexpected failure\n");
        qeldLog("dependency_dowork: unexpected failure");
    }
    printf("dependency worker returning\n");
    fflush(stdout);
    return nullptr;
}

} // extern "C"
